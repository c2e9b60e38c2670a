// A pseudo-terminal standing in for a COM port, and another process holding a port
// the way our own driver does (open, flock, exclusive mode) until released.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    char buf[128];
    if (openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

class PortHolder {
 public:
  explicit PortHolder(const std::string& path) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(go[1]);
      int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0) ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(2);
      char c;
      while (read(go[0], &c, 1) < 0 && errno == EINTR) {
      }
      // Released as our driver releases: the flag would outlive us on a pty held open.
      if (fd >= 0) ioctl(fd, TIOCNXCL);
      _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    go_ = go[1];
    char ok = 'n';
    while (read(ready[0], &ok, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    locked_ = ok == 'y';
  }
  ~PortHolder() {
    if (go_ >= 0) close(go_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  bool locked_ = false;
};
