#include "platform/launch.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// One argument as the C runtime's command-line parser reads it back.
void append_quoted(std::string* line, const char* arg) {
  std::string a(arg);
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
    *line += a;
    return;
  }
  *line += '"';
  size_t slashes = 0;
  for (char ch : a) {
    if (ch == '\\') {
      ++slashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    line->append(ch == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    *line += ch;
  }
  line->append(slashes * 2, '\\');
  *line += '"';
}

}  // namespace

int plat_launch_detached(const char* const* argv) {
  if (!argv || !argv[0]) return EINVAL;
  std::string line;
  for (int i = 0; argv[i]; ++i) {
    if (i) line += ' ';
    append_quoted(&line, argv[i]);
  }
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  // Not waited for, no console or handles of ours, and it outlives us.
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi))
    return static_cast<int>(GetLastError());
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

// The Windows command line of the tool, through the command interpreter as the C
// runtime's system() runs it; the "start" commands return at once.
int plat_launch_tool(int tool, const char* system_command) {
  if (tool < PLAT_TOOL_DEVICE_MANAGER || tool > PLAT_TOOL_CMD || !system_command ||
      !*system_command)
    return EINVAL;
  errno = 0;
  if (std::system(system_command) == -1) return errno ? errno : EINVAL;
  return 0;
}
