#include "platform/com_probe.h"

#include <windows.h>

#include "platform/com_path.h"

int plat_com_probe(int com, int* err) {
  int dummy;
  if (!err) err = &dummy;
  *err = 0;
  char path[100];
  if (plat_com_device_path(com, path, sizeof path) != 0) {
    *err = ERROR_FILE_NOT_FOUND;
    return PLAT_COM_ABSENT;
  }
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    *err = static_cast<int>(e);
    return (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) ? PLAT_COM_BUSY
                                                                      : PLAT_COM_ABSENT;
  }
  CloseHandle(h);
  return PLAT_COM_FREE;
}
