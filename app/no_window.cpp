// The window of a build without the toolkit (a Windows build that found no FLTK).
#include <cstdio>

#include "app/cli.h"
#include "app/startup.h"

int app_window(int /*argc*/, char** /*argv*/) {
  std::fputs("linkprobe: this build has no window (made without FLTK); use --run NAME, "
             "STARTUPTEST, --help or --version\n",
             stderr);
  return CLI_USAGE;
}
