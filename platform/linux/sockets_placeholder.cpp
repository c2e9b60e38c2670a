// PLACEHOLDER until the ethernet transport's socket facility lands.
#include <cerrno>
#include <unistd.h>

#include "platform/sockets.h"

int sock_hostname(char* out, int size) {
  if (size <= 0) return EINVAL;
  if (gethostname(out, size_t(size)) != 0) {
    out[0] = 0;
    return errno;
  }
  out[size - 1] = 0;
  return 0;
}
