// Message-framing reader throughput through a pseudo-terminal, next to a plain driver
// read of the same bytes in the same run, so the figure shows what framing costs on
// top of the kernel's tty path.
//
//   serial_reader_bench [messages] [payload]      (defaults 20000 and 56)
//   serial_reader_bench --frame-only [messages] [payload]
// The second form runs the framing alone over an in-memory stream (no port), the form
// to measure under callgrind: instructions per byte = inclusive Ir of
// qc::serial_frame_message / bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "serial/ser.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> make_stream(int messages, int payload) {
  std::vector<uint8_t> s;
  s.reserve(size_t(messages) * size_t(payload + 8));
  for (int i = 0; i < messages; ++i) {
    const int len = payload + 8;
    s.push_back(0x85);
    s.push_back(uint8_t(i & 0x7F));
    s.push_back(uint8_t(len & 0xFF));
    s.push_back(uint8_t(len >> 8));
    for (int k = 0; k < payload; ++k) s.push_back(uint8_t(i + k));
    const uint32_t seq = uint32_t(i + 1);
    for (int k = 0; k < 4; ++k) s.push_back(uint8_t(seq >> (8 * k)));
  }
  return s;
}

struct Pty {
  int master = -1;
  std::string root, link;
  bool make() {
    char tmpl[] = "/tmp/lp-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    root = tmpl;
    if (mkdir((root + "/dev").c_str(), 0700) != 0) return false;
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return false;
    link = root + "/dev/COM1";
    if (symlink(name, link.c_str()) != 0) return false;
    setenv("QUMEX_ROOT", root.c_str(), 1);
    return true;
  }
  ~Pty() {
    if (!link.empty()) unlink(link.c_str());
    if (master >= 0) close(master);
    if (!root.empty()) {
      rmdir((root + "/dev").c_str());
      rmdir(root.c_str());
    }
  }
};

void write_all(int fd, const std::vector<uint8_t>& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t w = write(fd, s.data() + done, s.size() - done);
    if (w < 0) return;
    done += size_t(w);
  }
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

int frame_only(int messages, int payload) {
  Connection* c = conn_alloc();
  if (!c) return 1;
  const auto s = make_stream(messages, payload);
  uint8_t buf[qc::kMaxMessage];
  long got = 0;
  size_t at = 0;
  while (at < s.size() || c->serial_raw_count > 0) {
    const size_t n = std::min(s.size() - at, size_t(qc::kSerialReadMax) - c->serial_raw_count);
    c->serial_data_time = uint32_t(at + 1);
    qc::serial_frame_message(c, s.data() + at, int(n));
    at += n;
    while (rx_receive(c, 0, buf, sizeof buf) > 0) ++got;
  }
  std::printf("frame-only: %ld of %d messages, %zu bytes\n", got, messages, s.size());
  conn_free(c);
  return got == messages ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int a = 1;
  const bool only = argc > 1 && std::strcmp(argv[1], "--frame-only") == 0;
  if (only) ++a;
  const int messages = argc > a ? std::atoi(argv[a]) : 20000;
  const int payload = argc > a + 1 ? std::atoi(argv[a + 1]) : 56;
  if (messages <= 0 || payload < 0 || payload > qc::kMaxMessage - 8) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  if (only) return frame_only(messages, payload);

  Pty pty;
  if (!pty.make()) {
    std::fprintf(stderr, "no pseudo-terminal\n");
    return 1;
  }
  const auto stream = make_stream(messages, payload);
  const double mb = double(stream.size()) / 1e6;

  // Plain driver reads of the same bytes.
  if (ser_open(0, 4000, 4000) < 0) {
    std::fprintf(stderr, "driver open failed\n");
    return 1;
  }
  auto t0 = Clock::now();
  std::thread w1(write_all, pty.master, std::cref(stream));
  size_t raw = 0;
  std::vector<uint8_t> buf(qc::kSerialReadMax);
  while (raw < stream.size() && seconds_since(t0) < 60) {
    const int n = ser_read(0, buf.data(), int(buf.size()));
    if (n > 0) raw += size_t(n);
  }
  w1.join();
  const double t_raw = seconds_since(t0);
  ser_close(0);

  // The serial reader: passes run by rx_receive, one message taken per call.
  Connection* c = conn_alloc();
  if (!c) return 1;
  c->transport = 0;
  c->beacon_count = 1;
  if (serial_open(c, "COM1", 115200) != 0) {
    std::fprintf(stderr, "serial_open failed\n");
    return 1;
  }
  t0 = Clock::now();
  std::thread w2(write_all, pty.master, std::cref(stream));
  long got = 0;
  uint8_t msg[qc::kMaxMessage];
  while (got < messages && seconds_since(t0) < 60) {
    if (rx_receive(c, 0, msg, sizeof msg) > 0) ++got;
  }
  w2.join();
  const double t_frame = seconds_since(t0);
  const unsigned dropped = c->rx_dropped;
  serial_close(c);
  conn_free(c);

  std::printf("bytes %zu (%d messages of %d bytes)\n", stream.size(), messages, payload + 8);
  std::printf("raw driver read : %zu bytes in %.3f s = %.2f MB/s\n", raw, t_raw, mb / t_raw);
  std::printf("message framing : %ld messages in %.3f s = %.2f MB/s, %.0f messages/s, dropped %u\n",
              got, t_frame, mb / t_frame, double(got) / t_frame, dropped);
  return (raw == stream.size() && got == messages) ? 0 : 1;
}
