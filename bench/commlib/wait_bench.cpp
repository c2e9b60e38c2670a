// Round trips between two processes on loopback, an echo server and a client, with
// 16-byte messages, side by side:
//   conn_wait   both sides block in conn_wait between messages,
//   busy poll   both sides spin on rx_receive,
//   plain TCP   blocking sockets, no library.
// For each: median and 90th percentile round trip, and the CPU time (user + system) of
// both processes per round trip over the timed exchanges (each process measures itself;
// the server hands its figure back through a pipe). The modes take turns in ten rounds.
// Usage: wait_bench [round_trips [wait|busy|tcp]] (one mode alone, for a profiler)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commlib/qcomm.h"
#include "platform/loopback_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmup = 200;
constexpr int kRounds = 10;
constexpr int kPayload = 8;  // + 8 bytes of header and sequence: 16-byte messages
enum Mode { kWait, kBusy, kTcp };
const char* const kNames[] = {"conn_wait", "busy poll", "plain TCP"};
const char* const kFlags[] = {"wait", "busy", "tcp"};

double cpu_us() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

// The next stream message into buf (its length), blocking or spinning as the mode says.
int next_message(Connection* c, Mode mode, uint8_t* buf, int size) {
  for (;;) {
    int n = rx_receive(c, 0, buf, size);
    if (n > 0) return n;
    if (mode == kWait && conn_wait(c, 0, 5000) == 0 && conn_get_status(c) == 0) return 0;
  }
}

bool full_io(int s, uint8_t* buf, int n, bool send_it) {
  for (int done = 0; done < n;) {
    ssize_t r = send_it ? send(s, buf + done, size_t(n - done), MSG_NOSIGNAL)
                        : recv(s, buf + done, size_t(n - done), 0);
    if (r <= 0) return false;
    done += int(r);
  }
  return true;
}

int tcp_socket_nodelay() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  if (s >= 0) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

// The echo server (child process): echoes kWarmup + n messages, then reports the CPU
// time of the last n on `report`.
void serve(Mode mode, int port, int n, int ready, int report) {
  double start = 0;
  uint8_t buf[64];
  if (mode == kTcp) {
    int l = plat_bound_socket(SOCK_STREAM, port, true);
    if (l < 0 || listen(l, 1) != 0) _exit(1);
    if (write(ready, "r", 1) != 1) _exit(1);
    int s = accept(l, nullptr, nullptr);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (int i = 0; i < kWarmup + n; ++i) {
      if (i == kWarmup) start = cpu_us();
      if (!full_io(s, buf, 16, false) || !full_io(s, buf, 16, true)) _exit(1);
    }
    close(s);
    close(l);
  } else {
    Connection* c = conn_alloc();
    if (conn_connect(c, "ethernet", "127.0.0.1", port, 1 | 32) != 0) _exit(1);
    if (write(ready, "r", 1) != 1) _exit(1);
    uint8_t out[64];
    for (int i = 0; i < kWarmup + n; ++i) {
      if (i == kWarmup) start = cpu_us();
      if (next_message(c, mode, buf, sizeof buf) < 16) _exit(1);
      int len = msg_build(c, out, sizeof out, buf[0], buf[1], buf + 4, kPayload);
      if (conn_send(c, out, len) != 0) _exit(1);
    }
    double spent = cpu_us() - start;
    // Stay until the client has the last answer: leaving would reset the connection.
    conn_wait(c, 0, 2000);
    conn_free(c);
    if (write(report, &spent, sizeof spent) != sizeof spent) _exit(1);
    _exit(0);
  }
  double spent = cpu_us() - start;
  if (write(report, &spent, sizeof spent) != sizeof spent) _exit(1);
  _exit(0);
}

// What the rounds of one mode gathered.
struct Tally {
  bool ok = true;
  std::vector<double> trips;
  double cpu_us = 0;
};

struct Figures {
  bool ok = false;
  double median = 0, p90 = 0, cpu_per_trip = 0;
};

// One round of n timed round trips, added to the mode's tally.
bool run(Mode mode, int n, Tally* t) {
  int port = plat_free_port_base();
  int ready[2], report[2];
  if (port == 0 || pipe(ready) != 0 || pipe(report) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) serve(mode, port, n, ready[1], report[1]);
  char r;
  if (read(ready[0], &r, 1) != 1) return false;

  std::vector<double>& trips = t->trips;
  const size_t before = trips.size();
  uint8_t payload[kPayload] = {1, 2, 3, 4, 5, 6, 7, 8}, msg[64], got[64];
  double cpu0 = 0, cpu1 = 0;
  bool ok = true;
  if (mode == kTcp) {
    int s = tcp_socket_nodelay();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    for (int i = 0; ok && i < kWarmup + n; ++i) {
      if (i == kWarmup) cpu0 = cpu_us();
      std::memset(msg, i, 16);
      auto t0 = Clock::now();
      ok = full_io(s, msg, 16, true) && full_io(s, got, 16, false);
      if (i >= kWarmup) trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    cpu1 = cpu_us();
    if (s >= 0) close(s);
  } else {
    Connection* c = conn_alloc();
    ok = conn_connect(c, "ethernet", "127.0.0.1", port, 32) == 0;
    for (int i = 0; ok && i < 100 && conn_get_status(c) == 0; ++i) conn_wait(c, -1, 100);
    ok = ok && conn_get_status(c) != 0;
    for (int i = 0; ok && i < kWarmup + n; ++i) {
      if (i == kWarmup) cpu0 = cpu_us();
      int len = msg_build(c, msg, sizeof msg, 224, uint8_t(i), payload, kPayload);
      auto t0 = Clock::now();
      ok = conn_send(c, msg, len) == 0 && next_message(c, mode, got, sizeof got) == 16;
      if (i >= kWarmup) trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    cpu1 = cpu_us();
    conn_free(c);
  }
  double server_cpu = 0;
  ok = read(report[0], &server_cpu, sizeof server_cpu) == sizeof server_cpu && ok;
  int status = 0;
  waitpid(pid, &status, 0);
  for (int fd : {ready[0], ready[1], report[0], report[1]}) close(fd);
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || trips.size() != before + size_t(n))
    return false;
  t->cpu_us += cpu1 - cpu0 + server_cpu;
  return true;
}

Figures summary(Tally& t) {
  Figures f;
  if (!t.ok || t.trips.empty()) return f;
  std::sort(t.trips.begin(), t.trips.end());
  f.median = t.trips[t.trips.size() / 2];
  f.p90 = t.trips[t.trips.size() * 9 / 10];
  f.cpu_per_trip = t.cpu_us / double(t.trips.size());
  f.ok = true;
  return f;
}

void print_load(const char* when) {
  char text[128] = "?";
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (!std::fgets(text, sizeof text, f)) std::snprintf(text, sizeof text, "?\n");
    std::fclose(f);
  }
  std::printf("load average %s: %s", when, text);
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (n < 10) n = 10;
  print_load("before");
  Figures fig[3];
  int only = -1;
  for (int m = 0; argc > 2 && m < 3; ++m)
    if (std::strcmp(argv[2], kFlags[m]) == 0) only = m;
  if (argc > 2 && only < 0) {
    std::fprintf(stderr, "usage: wait_bench [round_trips [wait|busy|tcp]]\n");
    return 2;
  }
  // The modes take turns in rounds, so that a change in the machine's load meanwhile
  // falls on all of them alike.
  const int rounds = n >= 10 * kRounds ? kRounds : 1;
  Tally tally[3];
  for (int k = 0; k < rounds; ++k) {
    const int part = n / rounds + (k < n % rounds ? 1 : 0);
    for (int m = 0; m < 3; ++m)
      if ((only < 0 || m == only) && tally[m].ok) tally[m].ok = run(Mode(m), part, &tally[m]);
  }
  for (int m = 0; m < 3; ++m) fig[m] = summary(tally[m]);
  print_load("after");
  std::printf("%d round trips of 16 bytes between two processes on loopback, %d rounds\n", n,
              rounds);
  std::printf("%-10s %12s %12s %16s\n", "", "median us", "p90 us", "cpu us/trip");
  const Figures& tcp = fig[kTcp];
  for (int m = 0; m < 3; ++m) {
    if (only >= 0 && m != only) continue;
    if (!fig[m].ok) {
      std::printf("%-10s failed\n", kNames[m]);
      continue;
    }
    std::printf("%-10s %12.1f %12.1f %16.1f", kNames[m], fig[m].median, fig[m].p90,
                fig[m].cpu_per_trip);
    if (m != kTcp && tcp.ok)
      std::printf("   (x%.2f, x%.2f, x%.2f of TCP)", fig[m].median / tcp.median, fig[m].p90 / tcp.p90,
                  fig[m].cpu_per_trip / tcp.cpu_per_trip);
    std::printf("\n");
  }
  for (int m = 0; m < 3; ++m)
    if ((only < 0 || m == only) && !fig[m].ok) return 1;
  return 0;
}
