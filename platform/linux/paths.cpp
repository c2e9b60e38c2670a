#include "platform/paths.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* plat_qumex_root() {
  const char* r = std::getenv("QUMEX_ROOT");
  return (r && *r) ? r : "/opt/qumex";
}

const char* plat_sysroot() {
  const char* r = std::getenv("QUMEX_SYSROOT");
  if (!r || !*r || std::strcmp(r, "/") == 0) return "";
  return r;
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
  const char* sep = (len > 0 && root[len - 1] == '/') ? "" : "/";
  return join(root, sep, rel ? rel : "", out, size);
}

int plat_sys_path(const char* abs, char* out, size_t size) {
  return join(plat_sysroot(), "", abs ? abs : "", out, size);
}

int plat_folder_tells_role(const char* path) {
  char root[PATH_MAX], real[PATH_MAX];
  if (!path || !realpath(plat_qumex_root(), root) || !realpath(path, real)) return 0;
  size_t n = std::strlen(root);
  if (std::strncmp(real, root, n) != 0) return 0;
  return real[n] == '\0' || real[n] == '/' || (n == 1 && root[0] == '/');
}
