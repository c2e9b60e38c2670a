// The few POSIX calls the shared test helpers make that the Windows C library lacks
// (mkdtemp, setenv, unsetenv), given to every Windows test program (forced include).
#pragma once
#ifdef __cplusplus
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <io.h>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : (errno = EINVAL, -1);
}

// Windows removes a variable that is set to the empty text.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : (errno = EINVAL, -1); }

// Makes a folder with a unique name from a template ending in XXXXXX.
inline char* mkdtemp(char* tmpl) {
  size_t n = std::strlen(tmpl);
  if (n < 6 || std::strcmp(tmpl + n - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  char* slash = std::strrchr(tmpl, '/');
  if (slash && slash != tmpl) {  // "/tmp" need not exist on a Windows drive
    *slash = '\0';
    _mkdir(tmpl);
    *slash = '/';
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = n - 6; i < n; ++i) tmpl[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[std::rand() % 36];
    if (_mkdir(tmpl) == 0) return tmpl;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}
#endif
