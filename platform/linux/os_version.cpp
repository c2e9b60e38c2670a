#include "platform/os_version.h"

#include <errno.h>

int plat_windows_version(int* platform_id, int* major, int* minor) {
  if (platform_id) *platform_id = 0;
  if (major) *major = 0;
  if (minor) *minor = 0;
  return ENOSYS;
}
