#include "platform/com_path.h"

#include <cstdio>

// Windows names every port itself; whether it exists shows when it is opened.
int plat_com_device_path(int com, char* out, size_t size) {
  if (!out || size == 0) return 2;
  out[0] = '\0';
  if (com < 1) return 1;
  int n = std::snprintf(out, size, "\\\\.\\COM%d", com);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return 2;
  }
  return 0;
}
