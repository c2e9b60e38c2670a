// ser_read throughput: bytes pushed into a pseudo-terminal master by a writer thread and
// polled out through the driver, the way the serial reader polls; then the same over the
// simulated cable, and the cost of a poll that finds nothing.
// Usage: ser_read_bench [megabytes]   (default 16)
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "platform/pty_root.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Result {
  long long bytes = 0;
  long long calls = 0;
  long long empty = 0;
  double secs = 0;
};

// Reads `total` bytes from driver port 0 with reads of up to `chunk` bytes.
bool drain(long long total, int chunk, Result* r) {
  std::vector<unsigned char> buf(static_cast<size_t>(chunk));
  Clock::time_point t0 = Clock::now();
  while (r->bytes < total) {
    int n = ser_read(0, buf.data(), chunk);
    ++r->calls;
    if (n < 0) return false;
    if (n == 0) {
      ++r->empty;
      if (seconds_since(t0) > 120) return false;
      continue;
    }
    r->bytes += n;
  }
  r->secs = seconds_since(t0);
  return true;
}

void report(const char* what, const Result& r) {
  std::printf("%-28s %8.1f MB/s  %10lld reads  %10lld empty  %.2f s\n", what,
              static_cast<double>(r.bytes) / 1e6 / r.secs, r.calls, r.empty, r.secs);
}

bool bench_pty(long long total, int chunk) {
  PtyRoot root;
  int master = root.add_com(1);
  if (master < 0 || ser_open(0, 4000, 4000) != 0) {
    std::fprintf(stderr, "cannot open a pseudo-terminal as COM1\n");
    return false;
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<unsigned char> block(65536, 0x5A);
    long long sent = 0;
    while (sent < total && !stop.load()) {
      ssize_t n = write(master, block.data(),
                        static_cast<size_t>(std::min<long long>(total - sent, 65536)));
      if (n > 0) {
        sent += n;
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  });
  Result r;
  bool ok = drain(total, chunk, &r);
  stop = true;
  writer.join();
  ser_close(0);
  char what[64];
  std::snprintf(what, sizeof what, "pty, reads of %d", chunk);
  if (ok) report(what, r);
  return ok;
}

bool bench_cable(long long total, int chunk) {
  int cable = sim_cable_create();
  if (cable < 0 || sim_cable_bind(1, cable, 0) != 0 || sim_cable_bind(2, cable, 1) != 0 ||
      ser_open(0, 4000, 4000) != 0 || ser_open(1, 4000, 4000) != 0) {
    std::fprintf(stderr, "cannot set up the cable\n");
    return false;
  }
  std::thread writer([&] {
    std::vector<unsigned char> block(4096, 0xA5);
    for (long long sent = 0; sent < total; sent += 4096) ser_write(1, block.data(), 4096);
  });
  Result r;
  bool ok = drain(total, chunk, &r);
  writer.join();
  ser_close(0);
  ser_close(1);
  sim_cable_destroy(cable);
  char what[64];
  std::snprintf(what, sizeof what, "cable, reads of %d", chunk);
  if (ok) report(what, r);
  return ok;
}

bool bench_empty_poll() {
  PtyRoot root;
  if (root.add_com(1) < 0 || ser_open(0, 4000, 4000) != 0) return false;
  unsigned char buf[2000];
  const int n = 200000;
  Clock::time_point t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (ser_read(0, buf, sizeof buf) != 0) return false;
  }
  double secs = seconds_since(t0);
  ser_close(0);
  std::printf("%-28s %8.2f us per call\n", "pty, empty poll", secs * 1e6 / n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long long mb = argc > 1 ? std::atoll(argv[1]) : 16;
  if (mb <= 0) mb = 16;
  long long total = mb * 1000 * 1000;
  bool ok = bench_pty(total, 2000) && bench_pty(total, 65536) && bench_cable(total, 2000) &&
            bench_empty_poll();
  return ok ? 0 : 1;
}
