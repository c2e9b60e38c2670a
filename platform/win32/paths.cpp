#include "platform/paths.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* plat_qumex_root() {
  const char* r = std::getenv("QUMEX_ROOT");
  return (r && *r) ? r : "C:\\Qumex";
}

// No sysfs or procfs here; kept so that a redirected root still joins the same way.
const char* plat_sysroot() {
  const char* r = std::getenv("QUMEX_SYSROOT");
  return (r && *r) ? r : "";
}

static int join(const char* a, const char* sep, const char* b, char* out, size_t size) {
  if (!out || size == 0) return 1;
  int n = std::snprintf(out, size, "%s%s%s", a, sep, b);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return 1;
  }
  return 0;
}

int plat_root_path(const char* rel, char* out, size_t size) {
  const char* root = plat_qumex_root();
  size_t len = std::strlen(root);
  bool ends = len > 0 && (root[len - 1] == '\\' || root[len - 1] == '/');
  if (join(root, ends ? "" : "\\", rel ? rel : "", out, size) != 0) return 1;
  // Callers name files with forward slashes; Windows paths below the root use backslashes.
  for (char* p = out + len; *p; ++p)
    if (*p == '/') *p = '\\';
  return 0;
}

int plat_sys_path(const char* abs, char* out, size_t size) {
  return join(plat_sysroot(), "", abs ? abs : "", out, size);
}

int plat_folder_tells_role(const char* dir) { return dir && *dir ? 1 : 0; }
