#include "platform/com_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/com_path.h"
#include "platform/paths.h"

static int busy_errno(int e) { return e == EBUSY || e == EWOULDBLOCK || e == EAGAIN || e == EACCES; }

// A legacy /dev/ttyS node exists whether or not a UART sits behind it; only those
// nodes are asked, since other ttys (USB, pseudo-terminals) have no such notion.
static bool is_legacy_uart_node(const char* path) {
  char real[PATH_MAX];
  if (!realpath(path, real)) return false;
  return std::strncmp(real, "/dev/ttyS", 9) == 0;
}

// sysfs shows every user what the kernel has behind a character node: no entry at all
// (a node whose device is gone, or never was), or for a serial-core tty its UART type,
// where 0 is a 16550 slot with no chip in it. Pseudo-terminals never have an entry, and
// a system root without the folder tells nothing.
static bool sysfs_says_no_device(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  char rel[64], file[4096];
  struct statfs fs;
  std::snprintf(rel, sizeof rel, "/sys/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
  if (plat_sys_path(rel, file, sizeof file) != 0) return false;
  if (access(file, F_OK) != 0) {
    const bool pty = statfs(path, &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC;
    return !pty && plat_sys_path("/sys/dev/char", file, sizeof file) == 0 && access(file, F_OK) == 0;
  }
  std::strncat(rel, "/type", sizeof rel - std::strlen(rel) - 1);
  if (plat_sys_path(rel, file, sizeof file) != 0) return false;
  FILE* f = std::fopen(file, "re");
  if (!f) return false;
  char text[32];
  char* end = nullptr;
  bool read = std::fgets(text, sizeof text, f) != nullptr;
  std::fclose(f);
  long type = read ? std::strtol(text, &end, 10) : -1;
  return read && end != text && (*end == '\n' || *end == '\0') && type == PORT_UNKNOWN;
}

int plat_com_probe(int com, int* err) {
  int dummy;
  if (!err) err = &dummy;
  *err = 0;
  char path[4096];
  if (plat_com_device_path(com, path, sizeof path) != 0) {
    *err = ENOENT;
    return PLAT_COM_ABSENT;
  }
  // Decided before the open, whose refusal (a user outside the dialout group) would
  // otherwise read as a port held by another program.
  if (sysfs_says_no_device(path)) {
    *err = ENXIO;
    return PLAT_COM_ABSENT;
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return busy_errno(*err) ? PLAT_COM_BUSY : PLAT_COM_ABSENT;
  }
  int state = PLAT_COM_FREE;
  bool excl = false;
  int held = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *err = errno;
    state = busy_errno(*err) ? PLAT_COM_BUSY : PLAT_COM_ABSENT;
  } else if (ioctl(fd, TIOCGEXCL, &held) == 0 && held) {
    // Root opens past another program's exclusive mode; a user would get EBUSY.
    *err = EBUSY;
    state = PLAT_COM_BUSY;
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    // Not a terminal at all (a regular file behind the name): no port there.
    *err = errno;
    state = busy_errno(*err) ? PLAT_COM_BUSY : PLAT_COM_ABSENT;
  } else {
    excl = true;
    if (is_legacy_uart_node(path)) {
      struct serial_struct ss;
      std::memset(&ss, 0, sizeof ss);
      int rc = ioctl(fd, TIOCGSERIAL, &ss);
      int e = errno;
      if (rc == 0 && ss.type == PORT_UNKNOWN) {
        *err = ENXIO;
        state = PLAT_COM_ABSENT;
      } else if (rc != 0 && (e == EIO || e == ENXIO)) {
        *err = e;
        state = PLAT_COM_ABSENT;
      }
    }
  }
  // Our exclusive flag outlives our descriptor while another holds the tty open
  // (a pty master), so clear it before closing; the flock goes with the close.
  if (excl) (void)ioctl(fd, TIOCNXCL);
  (void)close(fd);
  return state;
}
