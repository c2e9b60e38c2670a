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

// The full long form of an existing path, separators as backslashes and without a
// trailing one. Returns 0, or 1 when the path does not exist or does not fit.
static int resolved(const char* path, char* out, DWORD size) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return 1;
  n = GetLongPathNameA(full, out, size);  // fails for a path that does not exist
  if (n == 0 || n >= size) return 1;
  for (char* p = out; *p; ++p)
    if (*p == '/') *p = '\\';
  size_t len = std::strlen(out);
  // "C:\" keeps its separator: it is the whole drive.
  if (len > 3 && out[len - 1] == '\\') out[len - 1] = '\0';
  return 0;
}

// Windows compares paths without regard to case.
int plat_in_root(const char* path) {
  char root[MAX_PATH], real[MAX_PATH];
  if (!path || resolved(plat_qumex_root(), root, sizeof root) != 0 ||
      resolved(path, real, sizeof real) != 0)
    return 0;
  size_t n = std::strlen(root);
  if (std::strlen(real) < n || _strnicmp(real, root, n) != 0) return 0;
  return real[n] == '\0' || real[n] == '\\' || root[n - 1] == '\\';
}
