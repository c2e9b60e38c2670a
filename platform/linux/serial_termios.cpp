// Serial device over termios: real ttys and pseudo-terminals.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/serial_device.h"

namespace {

// Waits are cut into slices so that a stop flag set by another thread is seen soon.
constexpr int kSliceMs = 20;
// Draining output at close: one whole message (1600 bytes) at 9600 bit/s fits the cap.
constexpr int64_t kDrainMarginMs = 100;
constexpr int64_t kDrainCapMs = 2000;

struct SpeedEntry {
  int32_t rate;
  speed_t code;
};
const SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

bool speed_code(int32_t rate, speed_t* out) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.rate == rate) {
      *out = e.code;
      return true;
    }
  }
  return false;
}

int32_t speed_rate(speed_t code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.code == code) return e.rate;
  }
  return 0;
}

bool stop_set(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_acquire);
}

// A pseudo-terminal has no modem lines and no error counters: it answers ENOTTY
// (some kernels EINVAL) to those ioctls.
bool no_lines(int err) { return err == ENOTTY || err == EINVAL; }

uint32_t error_bits(const serial_icounter_struct& now, const serial_icounter_struct& then) {
  uint32_t bits = 0;
  if (now.buf_overrun != then.buf_overrun) bits |= SERDEV_ERR_OVERFLOW;
  if (now.overrun != then.overrun) bits |= SERDEV_ERR_OVERRUN;
  if (now.parity != then.parity) bits |= SERDEV_ERR_PARITY;
  if (now.frame != then.frame) bits |= SERDEV_ERR_FRAMING;
  if (now.brk != then.brk) bits |= SERDEV_ERR_BREAK;
  return bits;
}

class TermiosDevice final : public SerialDevice {
 public:
  TermiosDevice(int fd, const termios& saved) : fd_(fd), saved_(saved) {
    has_counts_ = ioctl(fd_, TIOCGICOUNT, &counts_) == 0;
  }
  ~TermiosDevice() override { close(); }

  int close() override {
    if (fd_ < 0) return 0;
    drain_output();
    // Only the read timeouts are put back: speed and format stay as the port ran, so
    // nothing the peer has yet to receive changes under it. A tty that has gone away (a
    // closed pty master, an unplugged adapter) refuses it and is still released.
    termios t;
    if (tcgetattr(fd_, &t) == 0) {
      t.c_cc[VMIN] = saved_.c_cc[VMIN];
      t.c_cc[VTIME] = saved_.c_cc[VTIME];
      tcsetattr(fd_, TCSANOW, &t);
    }
    // The exclusive flag stays on the tty after we close (a pty lives as long as its
    // master), so clear it for the next opener.
    ioctl(fd_, TIOCNXCL);
    int err = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return err;
  }

  int get_settings(SerialLineSettings* out) override {
    termios t;
    if (tcgetattr(fd_, &t) != 0) return errno;
    SerialLineSettings s;
    s.baud = speed_rate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5: s.byte_size = 5; break;
      case CS6: s.byte_size = 6; break;
      case CS7: s.byte_size = 7; break;
      default: s.byte_size = 8; break;
    }
    if (t.c_cflag & PARENB) {
      bool odd = (t.c_cflag & PARODD) != 0;
      if (t.c_cflag & CMSPAR)
        s.parity = odd ? 3 : 4;
      else
        s.parity = odd ? 1 : 2;
    }
    s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 0;
    s.cts_flow = (t.c_cflag & CRTSCTS) != 0;
    s.xon_out = (t.c_iflag & IXON) != 0;
    s.xon_in = (t.c_iflag & IXOFF) != 0;
    s.xon_char = t.c_cc[VSTART];
    s.xoff_char = t.c_cc[VSTOP];
    *out = s;
    return 0;
  }

  int configure(const SerialLineSettings& s) override {
    speed_t code;
    if (!speed_code(s.baud, &code)) return EINVAL;
    termios t;
    if (tcgetattr(fd_, &t) != 0) return errno;
    // Binary mode: bytes pass unchanged, no line discipline editing or signals. A received
    // break stays out of the data (it would read as a 0x00 byte); the driver's error
    // counter still sees it.
    t.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                   INPCK);
    t.c_iflag |= IGNBRK;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;
    switch (s.byte_size) {
      case 5: t.c_cflag |= CS5; break;
      case 6: t.c_cflag |= CS6; break;
      case 7: t.c_cflag |= CS7; break;
      case 8: t.c_cflag |= CS8; break;
      default: return EINVAL;
    }
    switch (s.parity) {
      case 0: break;
      case 1: t.c_cflag |= PARENB | PARODD; break;
      case 2: t.c_cflag |= PARENB; break;
      case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case 4: t.c_cflag |= PARENB | CMSPAR; break;
      default: return EINVAL;
    }
    // termios has no one and a half stop bits; two is the nearest a UART offers.
    if (s.stop_bits == 1 || s.stop_bits == 2)
      t.c_cflag |= CSTOPB;
    else if (s.stop_bits != 0)
      return EINVAL;
    if (s.cts_flow) t.c_cflag |= CRTSCTS;
    if (s.xon_out) t.c_iflag |= IXON;
    if (s.xon_in) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = s.xon_char;
    t.c_cc[VSTOP] = s.xoff_char;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return errno;
    if (tcsetattr(fd_, TCSANOW, &t) == 0) return 0;
    int err = errno;
    // A pseudo-terminal always carries 8 bits without parity and drops a format request;
    // glibc then reports EINVAL although everything else was taken.
    termios now;
    if (err != EINVAL || tcgetattr(fd_, &now) != 0) return err;
    const tcflag_t format = CSIZE | PARENB | PARODD | CMSPAR;
    if ((now.c_cflag & ~format) == (t.c_cflag & ~format) && now.c_iflag == t.c_iflag &&
        now.c_lflag == t.c_lflag && cfgetospeed(&now) == code)
      return 0;
    return err;
  }

  int purge() override { return tcflush(fd_, TCIOFLUSH) == 0 ? 0 : errno; }

  int read(void* buf, int capacity, int* got) override {
    *got = 0;
    if (capacity <= 0) return 0;
    ssize_t n = ::read(fd_, buf, static_cast<size_t>(capacity));
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
      return errno;
    }
    if (n == 0) {
      // With VMIN and VTIME 0 an empty read and a hung-up line (unplugged adapter, closed
      // pty master) both answer 0; only poll tells them apart.
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR))) return EIO;
    }
    *got = static_cast<int>(n);
    return 0;
  }

  int write(const void* buf, int len, const std::atomic<bool>* stop, int* written) override {
    *written = 0;
    const char* p = static_cast<const char*>(buf);
    while (*written < len) {
      if (stop_set(stop)) return ECANCELED;
      ssize_t n = ::write(fd_, p + *written, static_cast<size_t>(len - *written));
      if (n > 0) {
        *written += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return errno;
      pollfd pfd{fd_, POLLOUT, 0};
      if (poll(&pfd, 1, kSliceMs) < 0 && errno != EINTR) return errno;
    }
    return 0;
  }

  int in_count(int* n) override {
    *n = 0;
    return ioctl(fd_, FIONREAD, n) == 0 ? 0 : errno;
  }

  int out_count(int* n) override {
    *n = 0;
    return ioctl(fd_, TIOCOUTQ, n) == 0 ? 0 : errno;
  }

  int modem_status(uint32_t* bits) override {
    *bits = 0;
    int m = 0;
    if (ioctl(fd_, TIOCMGET, &m) != 0) return no_lines(errno) ? 0 : errno;
    if (m & TIOCM_CTS) *bits |= SERDEV_CTS;
    if (m & TIOCM_DSR) *bits |= SERDEV_DSR;
    if (m & TIOCM_RNG) *bits |= SERDEV_RING;
    if (m & TIOCM_CAR) *bits |= SERDEV_CARRIER;
    return 0;
  }

  int set_dtr(bool on) override { return set_line(TIOCM_DTR, on); }
  int set_rts(bool on) override { return set_line(TIOCM_RTS, on); }

  int set_break(bool on) override {
    // A pseudo-terminal accepts the request and drops the break.
    if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) return no_lines(errno) ? 0 : errno;
    return 0;
  }

  int line_errors(uint32_t* bits) override {
    *bits = 0;
    if (!has_counts_) return 0;
    serial_icounter_struct now;
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return no_lines(errno) ? 0 : errno;
    *bits = error_bits(now, counts_);
    counts_ = now;
    return 0;
  }

  int event_mark(SerialEventMark* out) override {
    *out = SerialEventMark{};
    int err = modem_status(&out->lines);
    if (err) return err;
    serial_icounter_struct c;
    if (has_counts_ && ioctl(fd_, TIOCGICOUNT, &c) == 0) {
      out->breaks = static_cast<uint32_t>(c.brk);
      out->errors = static_cast<uint32_t>(c.frame + c.overrun + c.parity + c.buf_overrun);
    }
    return 0;
  }

  // TIOCMIWAIT cannot be interrupted from another thread short of a signal, and closing
  // must end a watch, so the lines and counters are sampled instead.
  int wait_event(uint32_t mask, const SerialEventMark& since, const std::atomic<bool>* stop,
                 int timeout_ms, uint32_t* events) override {
    *events = 0;
    if (mask == 0 || (mask & ~SERDEV_EV_ALL) != 0) return EINVAL;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      uint32_t ev = 0;
      int n = 0;
      if ((mask & SERDEV_EV_RXCHAR) && in_count(&n) == 0 && n > 0) ev |= SERDEV_EV_RXCHAR;
      if ((mask & SERDEV_EV_TXEMPTY) && out_count(&n) == 0 && n == 0) ev |= SERDEV_EV_TXEMPTY;
      SerialEventMark now;
      int err = event_mark(&now);
      if (err) return err;
      uint32_t changed = now.lines ^ since.lines;
      if (changed & SERDEV_CTS) ev |= SERDEV_EV_CTS;
      if (changed & SERDEV_DSR) ev |= SERDEV_EV_DSR;
      if (changed & SERDEV_CARRIER) ev |= SERDEV_EV_RLSD;
      if (changed & SERDEV_RING) ev |= SERDEV_EV_RING;
      if (now.breaks != since.breaks) ev |= SERDEV_EV_BREAK;
      if (now.errors != since.errors) ev |= SERDEV_EV_ERR;
      ev &= mask;
      if (ev) {
        *events = ev;
        return 0;
      }
      if (stop_set(stop)) return ECANCELED;
      int slice = kSliceMs;
      if (timeout_ms >= 0) {
        const auto spent = std::chrono::steady_clock::now() - start;
        const int left = timeout_ms - int(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
        if (left <= 0) return 0;
        if (left < slice) slice = left;
      }
      pollfd pfd{fd_, static_cast<short>((mask & SERDEV_EV_RXCHAR) ? POLLIN : 0), 0};
      if (poll(&pfd, 1, slice) < 0 && errno != EINTR) return errno;
    }
  }

  int wait_input(int timeout_ms, bool* ready) override {
    *ready = false;
    pollfd pfd{fd_, POLLIN, 0};
    int n = poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : errno;  // a signal: the caller looks again
    *ready = n > 0;
    return 0;
  }

  intptr_t input_handle() override { return fd_; }

 private:
  // Lets queued output leave before close for as long as it needs at the line's rate (10
  // bits a byte) plus a margin, at most kDrainCapMs; the rest (a line held by flow
  // control) is discarded, so that the kernel's own close does not wait on it either.
  void drain_output() {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return;
    termios t;
    int32_t rate = tcgetattr(fd_, &t) == 0 ? speed_rate(cfgetospeed(&t)) : 0;
    if (rate <= 0) rate = 9600;
    const int64_t need = int64_t(queued) * 10000 / rate + kDrainMarginMs;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(need < kDrainCapMs ? need : kDrainCapMs);
    while (queued > 0 && std::chrono::steady_clock::now() < deadline) {
      poll(nullptr, 0, 2);
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
    }
    if (queued > 0) {
      tcflush(fd_, TCOFLUSH);
      return;
    }
    // The queue is empty; a UART's transmitter may still hold its FIFO.
    int lsr = 0;
    while (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT) &&
           std::chrono::steady_clock::now() < deadline)
      poll(nullptr, 0, 1);
  }

  int set_line(int bit, bool on) {
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return no_lines(errno) ? 0 : errno;
    return 0;
  }

  int fd_;
  termios saved_;
  bool has_counts_ = false;
  serial_icounter_struct counts_{};
};

}  // namespace

int serial_device_open(const char* path, SerialDevice** out) {
  *out = nullptr;
  if (!path || !*path) return ENOENT;
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // flock is what keeps a second opener out: root passes TIOCEXCL.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  TermiosDevice* dev = new (std::nothrow) TermiosDevice(fd, saved);
  if (!dev) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    return ENOMEM;
  }
  *out = dev;
  return 0;
}

void serial_error_text(int err, char* buf, size_t size) {
  if (!buf || size == 0) return;
  char tmp[256];
  // GNU strerror_r may return a static text instead of filling tmp.
  const char* text = strerror_r(err, tmp, sizeof tmp);
  std::snprintf(buf, size, "%s", text ? text : "Unknown error");
}
