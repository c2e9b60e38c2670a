// The Windows entry: WinMain with the raw command line; the start-up test and the
// headless options, else the window.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/cli.h"
#include "app/startup.h"

// A program of the window subsystem gets no console: started from one, it writes to
// that one; pipes and files it was handed stay as they are.
static void attach_parent_console() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!std::freopen("CONOUT$", "w", stdout)) return;
  (void)std::freopen("CONOUT$", "w", stderr);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  attach_parent_console();
  std::snprintf(command_line, sizeof command_line, "%s", skip_program_name(GetCommandLineA()));
  int exit_code = 0;
  try {
    if (app_headless(__argc, __argv, &exit_code)) return exit_code;
    return app_window(__argc, __argv);
  } catch (const std::bad_alloc&) {  // the toolkit's widgets and text buffers allocate
    std::fputs("linkprobe: out of memory\n", stderr);
    return CLI_FAULT;
  }
}
