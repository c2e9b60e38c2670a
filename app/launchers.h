// The Windows launcher command lines, chosen by os_code.
#pragma once

enum Launcher {
  LAUNCHER_DEVICE_MANAGER = 0,
  LAUNCHER_NETWORK = 1,
  LAUNCHER_CMD = 2,
};

// The command line for the launcher: os_code 100 or below selects the older
// family's commands. Null for an unknown launcher.
const char* launcher_command(int launcher, int os_code);
