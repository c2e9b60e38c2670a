// Ethernet transport figures on loopback, each against plain blocking TCP:
//   round trip of an 8-byte message (application threads polling rx_receive),
//   throughput of 64-byte stream messages with none dropped,
//   eth_disconnect latency of a connected client and server.
// Usage: eth_bench [round_trips] [messages] [disconnects]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/loopback_port.h"

namespace {

bool raw_send_all(int s, const void* data, size_t n) { return plat_send_all(s, data, n); }

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point t) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Link {
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  bool up = false;
  explicit Link(int port) {
    if (conn_connect(server, "ethernet", "127.0.0.1", port, 1 | 32) != 0) return;
    if (conn_connect(client, "ethernet", "127.0.0.1", port, 32) != 0) return;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (!(up = ETH_LOAD(client, status) != 0 && ETH_LOAD(server, status) == 3) && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~Link() {
    conn_free(client);
    conn_free(server);
  }
};

// Raw blocking TCP pair on loopback (TCP_NODELAY on both ends).
bool raw_pair(int* a, int* b) {
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return false;
  *a = socket(AF_INET, SOCK_STREAM, 0);
  if (*a < 0 || connect(*a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  *b = accept(l, nullptr, nullptr);
  close(l);
  int one = 1;
  setsockopt(*a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(*b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return *b >= 0;
}

bool read_full(int s, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(s, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// ---------------------------------------------------------------- round trip
// The application threads poll without blocking (rx_receive never waits); they yield
// between polls so that the workers get the processor on a busy machine.

double lib_round_trip(int port, int count) {
  Link k(port);
  if (!k.up) return -1;
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    uint8_t buf[64];
    while (!stop) {
      int n = rx_receive(k.server, 0, buf, sizeof buf);
      if (n > 0)
        conn_send(k.server, buf, n);
      else
        std::this_thread::yield();
    }
  });
  uint8_t msg[8], buf[64];
  std::vector<double> t;
  for (int i = 0; i < count; ++i) {
    msg_build(k.client, msg, sizeof msg, 224, 4, nullptr, 0);
    auto start = Clock::now();
    conn_send(k.client, msg, 8);
    while (rx_receive(k.client, 0, buf, sizeof buf) == 0) std::this_thread::yield();
    t.push_back(us_since(start));
  }
  stop = true;
  echo.join();
  return median(t);
}

double raw_round_trip(int count) {
  int a, b;
  if (!raw_pair(&a, &b)) return -1;
  std::thread echo([&] {
    uint8_t buf[8];
    while (read_full(b, buf, 8) && raw_send_all(b, buf, 8)) {
    }
  });
  uint8_t msg[8] = {224, 4, 8, 0, 1, 0, 0, 0}, buf[8];
  std::vector<double> t;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    raw_send_all(a, msg, 8);
    read_full(a, buf, 8);
    t.push_back(us_since(start));
  }
  shutdown(a, SHUT_RDWR);
  echo.join();
  close(a);
  close(b);
  return median(t);
}

// ---------------------------------------------------------------- throughput

// The receive queue has 96 slots and no flow control of its own: the sender keeps
// at most `window` messages unread, so that none is dropped.
double lib_throughput(int port, int count, uint32_t* dropped) {
  Link k(port);
  if (!k.up) return -1;
  std::atomic<int> got{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buf[128];
    while (!stop && got < count)
      if (rx_receive(k.server, 0, buf, sizeof buf) > 0)
        ++got;
      else
        std::this_thread::yield();
  });
  const int window = 64;
  uint8_t msg[64];
  uint8_t payload[56];
  std::memset(payload, 0x42, sizeof payload);
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    while (i - got.load() >= window) std::this_thread::yield();
    msg_build(k.client, msg, sizeof msg, 230, 1, payload, sizeof payload);
    if (conn_send(k.client, msg, 64) != 0) break;
  }
  auto end = Clock::now() + std::chrono::seconds(20);
  while (got < count && Clock::now() < end) std::this_thread::yield();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  reader.join();
  *dropped = conn_get_rx_dropped(k.server) + uint32_t(count - got.load());
  return count / secs;
}

double raw_throughput(int count) {
  int a, b;
  if (!raw_pair(&a, &b)) return -1;
  std::thread reader([&] {
    std::vector<uint8_t> buf(64 * 256);
    size_t total = 0, want = size_t(count) * 64;
    while (total < want) {
      ssize_t r = recv(b, buf.data(), buf.size(), 0);
      if (r <= 0) break;
      total += size_t(r);
    }
  });
  uint8_t msg[64];
  std::memset(msg, 0x42, sizeof msg);
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) raw_send_all(a, msg, 64);
  reader.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  close(a);
  close(b);
  return count / secs;
}

// ---------------------------------------------------------------- disconnect

void disconnect_latency(int port, int count, double* client_ms, double* server_ms) {
  std::vector<double> tc, ts;
  for (int i = 0; i < count; ++i) {
    Link k(port);
    if (!k.up) continue;
    auto start = Clock::now();
    eth_disconnect(k.client);
    tc.push_back(us_since(start) / 1000);
    start = Clock::now();
    eth_disconnect(k.server);
    ts.push_back(us_since(start) / 1000);
  }
  *client_ms = median(tc);
  *server_ms = median(ts);
}

}  // namespace

int main(int argc, char** argv) {
  int trips = argc > 1 ? std::atoi(argv[1]) : 5000;
  int messages = argc > 2 ? std::atoi(argv[2]) : 200000;
  int disconnects = argc > 3 ? std::atoi(argv[3]) : 100;
  int port = plat_free_port_base();
  if (port == 0) {
    std::fprintf(stderr, "no free port\n");
    return 1;
  }
  double lib_rt = lib_round_trip(port, trips);
  double raw_rt = raw_round_trip(trips);
  std::printf("round trip, median: library %.1f us, raw TCP %.1f us, ratio %.2f\n", lib_rt, raw_rt,
              lib_rt / raw_rt);
  uint32_t dropped = 0;
  double lib_tp = lib_throughput(port, messages, &dropped);
  double raw_tp = raw_throughput(messages);
  std::printf("64-byte messages: library %.0f/s (dropped %u), raw TCP %.0f/s, ratio %.2f\n", lib_tp,
              dropped, raw_tp, lib_tp / raw_tp);
  double cms = 0, sms = 0;
  disconnect_latency(port, disconnects, &cms, &sms);
  std::printf("eth_disconnect, median: client %.2f ms, server %.2f ms\n", cms, sms);
  return lib_rt > 0 && raw_rt > 0 && lib_tp > 0 && dropped == 0 ? 0 : 1;
}
