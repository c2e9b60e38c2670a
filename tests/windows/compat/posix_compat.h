// setenv and unsetenv, which the Windows C library lacks, for the shared test helpers that
// point QUMEX_ROOT at a temporary root (forced include of every Windows test program).
#pragma once
#ifdef __cplusplus
#include <cerrno>
#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : (errno = EINVAL, -1);
}

// Windows removes a variable that is set to the empty text.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : (errno = EINVAL, -1); }
#endif
