#include "platform/os_version.h"

#include <windows.h>

int plat_windows_version(int* platform_id, int* major, int* minor) {
  if (platform_id) *platform_id = 0;
  if (major) *major = 0;
  if (minor) *minor = 0;
  OSVERSIONINFOA v;
  ZeroMemory(&v, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // The launcher table is keyed by what GetVersionExA answers, manifest rules included.
  if (!GetVersionExA(&v)) return static_cast<int>(GetLastError());
#pragma GCC diagnostic pop
  if (platform_id) *platform_id = static_cast<int>(v.dwPlatformId);
  if (major) *major = static_cast<int>(v.dwMajorVersion);
  if (minor) *minor = static_cast<int>(v.dwMinorVersion);
  return 0;
}
