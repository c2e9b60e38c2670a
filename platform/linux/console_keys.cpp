#include "platform/console_keys.h"

#include <cerrno>
#include <csignal>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

struct ConsoleKeys {
  int fd;
  bool terminal;  // the mode below must be put back
  struct termios saved;
};

namespace {

// The terminal to restore when a signal ends the process; one console at a time.
volatile sig_atomic_t g_restore_fd = -1;
struct termios g_restore_mode;
struct sigaction g_old_actions[4];
constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restore_and_reraise(int sig) {
  int fd = g_restore_fd;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &g_restore_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_restore(int fd, const struct termios& mode) {
  g_restore_mode = mode;
  g_restore_fd = fd;
  struct sigaction sa {};
  sa.sa_handler = restore_and_reraise;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 4; ++i) {
    if (sigaction(kSignals[i], &sa, &g_old_actions[i]) != 0) g_old_actions[i] = {};
  }
}

void remove_restore() {
  g_restore_fd = -1;
  for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &g_old_actions[i], nullptr);
}

}  // namespace

ConsoleKeys* console_keys_open(int fd) {
  if (fd < 0) return nullptr;
  auto* k = new (std::nothrow) ConsoleKeys{};
  if (!k) return nullptr;
  k->fd = fd;
  if (isatty(fd) && tcgetattr(fd, &k->saved) == 0) {
    struct termios raw = k->saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (g_restore_fd < 0) install_restore(fd, k->saved);
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
      k->terminal = true;
    } else if (g_restore_fd == fd) {
      remove_restore();  // keys still work, only with echo and line editing
    }
  }
  return k;
}

int console_keys_get(ConsoleKeys* k, int timeout_ms) { return console_keys_get_or(k, timeout_ms, -1); }

int console_keys_get_or(ConsoleKeys* k, int timeout_ms, intptr_t other) {
  if (!k) return -2;
  struct pollfd p[2] {};
  p[0].fd = k->fd;
  p[0].events = POLLIN;
  p[1].fd = other >= 0 ? int(other) : -1;  // poll skips a negative descriptor
  p[1].events = POLLIN;
  int r = poll(p, 2, timeout_ms < 0 ? 0 : timeout_ms);
  if (r < 0) return errno == EINTR ? -1 : -4;
  if (r == 0) return -1;
  if (p[0].revents & POLLNVAL) return -2;
  // A key first: the other side stays readable and is seen on the next call.
  if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return -3;
  // Readable or hung up: one byte, or 0 at the end of a pipe or file.
  unsigned char ch;
  ssize_t n = read(k->fd, &ch, 1);
  if (n == 1) return ch;
  if (n == 0) return -2;
  return errno == EINTR || errno == EAGAIN ? -1 : -4;
}

void console_keys_close(ConsoleKeys* k) {
  if (!k) return;
  if (k->terminal) {
    tcsetattr(k->fd, TCSANOW, &k->saved);
    if (g_restore_fd == k->fd) remove_restore();
  }
  delete k;
}

int plat_is_terminal(int fd) { return isatty(fd) ? 1 : 0; }
