#include "app/launchers.h"

const char* launcher_command(int launcher, int os_code) {
  bool nt = os_code > 100;
  switch (launcher) {
    case LAUNCHER_NETWORK:
      return nt ? "start /B C:\\Windows\\System32\\ncpa.cpl" : "C:\\WINDOWS\\CONTROL.EXE netcpl.cpl";
    case LAUNCHER_DEVICE_MANAGER:
      return nt ? "start devmgmt.msc" : "C:\\WINDOWS\\CONTROL.EXE Sysdm.cpl, System,1";
    case LAUNCHER_CMD:
      return nt ? "start cmd.exe" : "start command.com";
    default:
      return nullptr;
  }
}
