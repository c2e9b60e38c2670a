#include "platform/com_path.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/paths.h"

// <root>/dev, when present, is the whole port map (like a Windows emulator's dosdevices
// folder); it keeps tests hermetic. Without it COMn is the n-th legacy UART.
int plat_com_device_path(int com, char* out, size_t size) {
  if (!out || size == 0) return 2;
  out[0] = '\0';
  if (com < 1) return 1;
  char dir[4096];
  if (plat_root_path("dev", dir, sizeof dir) != 0) return 2;
  struct stat st;
  if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
    int n = std::snprintf(out, size, "%s/COM%d", dir, com);
    if (n < 0 || static_cast<size_t>(n) >= size) {
      out[0] = '\0';
      return 2;
    }
    if (lstat(out, &st) != 0) {
      out[0] = '\0';
      return 1;
    }
    return 0;
  }
  int n = std::snprintf(out, size, "/dev/ttyS%d", com - 1);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return 2;
  }
  return 0;
}
