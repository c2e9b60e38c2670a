// Starting the system tools behind the launcher buttons, without waiting for them.
#pragma once

enum {
  PLAT_TOOL_DEVICE_MANAGER = 0,
  PLAT_TOOL_NETWORK = 1,
  PLAT_TOOL_CMD = 2,
};

// Starts the tool. system_command is the Windows command line for it; a system
// with tools of its own starts those instead. Returns 0 once it runs, or the
// system's error number (ENOENT for a missing tool).
int plat_launch_tool(int tool, const char* system_command);

// Starts argv[0] (looked up in PATH) with argv, detached from this process: it is
// not waited for and outlives us. Returns 0 once the program runs, or the error
// number of the failing step (the exec's own, for a missing program).
int plat_launch_detached(const char* const* argv);
