#include "platform/pty_root.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

PtyRoot::PtyRoot() {
  ok_ = mkdtemp(root_) && std::snprintf(dev_, sizeof dev_, "%s/dev", root_) > 0 && mkdir(dev_, 0700) == 0 &&
        setenv("QUMEX_ROOT", root_, 1) == 0;
}

PtyRoot::~PtyRoot() {
  for (int i = 0; i < count_; ++i) {
    hang_up(masters_[i]);
    unlink(links_[i]);
  }
  rmdir(dev_);
  rmdir(root_);
  unsetenv("QUMEX_ROOT");
}

int PtyRoot::add_com(int com) {
  int m = ok_ && count_ < 8 ? posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  const char* slave = m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0 ? ptsname(m) : nullptr;
  std::snprintf(links_[count_ % 8], sizeof links_[0], "%s/COM%d", dev_, com);
  if (!slave || symlink(slave, links_[count_]) != 0) {
    if (m >= 0) close(m);
    return -1;
  }
  return masters_[count_++] = m;
}

void PtyRoot::hang_up(int master) {
  for (int i = 0; i < count_; ++i) {
    if (master >= 0 && masters_[i] == master) {
      close(masters_[i]);
      masters_[i] = -1;
    }
  }
}

int plat_read_full(int fd, void* buf, int n, int timeout_ms) {
  char* p = static_cast<char*>(buf);
  int got = 0;
  for (pollfd pfd{fd, POLLIN, 0}; got < n && poll(&pfd, 1, timeout_ms) > 0;) {
    ssize_t r = read(fd, p + got, static_cast<size_t>(n - got));
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) break;  // a hung-up master: do not spin
    got += r > 0 ? int(r) : 0;
  }
  return got;
}
