// The version block from the executable's VERSIONINFO resource, read through the
// system's version calls, given back in the seam's "Key=value\0" form.
#include "platform/version_block.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <sys/stat.h>

namespace {

// Appends "key=value\0" when the value is there and not empty; false when it was cut.
bool add_entry(const char* key, const char* value, char* buf, size_t size, size_t* len) {
  if (!value || !*value) return true;
  char entry[512];
  int n = std::snprintf(entry, sizeof entry, "%s=%s", key, value);
  if (n < 0) return true;
  size_t want = static_cast<size_t>(n) + 1;  // with its zero byte
  if (want > sizeof entry) want = sizeof entry;
  size_t room = size - *len;
  size_t put = want < room ? want : room;
  std::memcpy(buf + *len, entry, put);
  *len += put;
  return put == want;
}

}  // namespace

int plat_version_block(const char* path, char* buf, size_t size, size_t* len) {
  if (!path || !buf || !len) return EINVAL;
  *len = 0;
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? 1 : static_cast<int>(e);
  }
  DWORD ignored = 0;
  DWORD bytes = GetFileVersionInfoSizeA(path, &ignored);
  if (bytes == 0) return 2;
  std::unique_ptr<char[]> info(new (std::nothrow) char[bytes]());
  if (!info) return ENOMEM;
  if (!GetFileVersionInfoA(path, 0, bytes, info.get())) return 2;
  struct Translation {
    WORD language;
    WORD code_page;
  }* tr = nullptr;
  UINT tr_len = 0;
  if (!VerQueryValueA(info.get(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr),
                      &tr_len) ||
      tr_len < sizeof *tr)
    return 2;
  const char* keys[2] = {"PrivateBuild", "SpecialBuild"};
  for (const char* key : keys) {
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", tr->language,
                  tr->code_page, key);
    char* value = nullptr;
    UINT value_len = 0;
    if (VerQueryValueA(info.get(), query, reinterpret_cast<void**>(&value), &value_len) &&
        value_len > 0 && !add_entry(key, value, buf, size, len))
      break;
  }
  return *len > 0 ? 0 : 2;
}

// The system reads version blocks only from files: the image is put into one first.
int plat_version_block_image(const void* image, size_t image_size, char* buf, size_t size,
                             size_t* len) {
  if (!image || !buf || !len) return EINVAL;
  *len = 0;
  char dir[MAX_PATH], path[MAX_PATH];
  if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "lpv", 0, path) == 0)
    return static_cast<int>(GetLastError());
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    int e = static_cast<int>(GetLastError());
    DeleteFileA(path);
    return e;
  }
  const char* p = static_cast<const char*>(image);
  size_t done = 0;
  bool ok = true;
  while (ok && done < image_size) {
    DWORD chunk = image_size - done > 1u << 20 ? 1u << 20 : static_cast<DWORD>(image_size - done);
    DWORD put = 0;
    ok = WriteFile(h, p + done, chunk, &put, nullptr) && put == chunk;
    done += put;
  }
  int e = ok ? 0 : static_cast<int>(GetLastError());
  CloseHandle(h);
  int rc = e ? e : plat_version_block(path, buf, size, len);
  DeleteFileA(path);
  return rc == 1 ? 2 : rc;
}

// The runtime's own form, which pads the day with a zero ("Sat Dec 05 ...") where the
// C library of Linux pads it with a blank.
int plat_file_mtime_text(const char* path, char* out, size_t size) {
  if (!out || size == 0) return EINVAL;
  out[0] = '\0';
  struct _stat64 st;
  if (!path || _stat64(path, &st) != 0) return path ? errno : EINVAL;
  char text[26];  // what _ctime64_s always needs
  if (_ctime64_s(text, sizeof text, &st.st_mtime) != 0) return EOVERFLOW;
  int n = std::snprintf(out, size, "%s", text);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return ERANGE;
  }
  return 0;
}

int plat_self_exe_path(char* out, size_t size) {
  if (!out || size == 0) return EINVAL;
  DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
  if (n == 0) {
    int e = static_cast<int>(GetLastError());
    out[0] = '\0';
    return e;
  }
  if (n >= size) {  // cut: GetModuleFileNameA fills the buffer and says so only this way
    out[0] = '\0';
    return ENAMETOOLONG;
  }
  return 0;
}
