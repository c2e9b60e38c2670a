// A second process for the two-process tests.
//   eth_peer server <port> <seconds>: a server object that echoes every message back on
//     the channel it came from, until the time is up or standard input closes.
//   eth_peer client <port> <count>: a client object that sends count stream messages and
//     count datagrams and expects each echoed; exit code 0 when all came back.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

static int run_server(int port, int seconds) {
  Connection* s = conn_alloc();
  if (!s || conn_connect(s, "ethernet", "127.0.0.1", port, 1) != 0) return 2;
  std::printf("ready\n");
  std::fflush(stdout);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint8_t buf[qc::kMaxMessage];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLIN))) {
      char b;
      if (read(0, &b, 1) <= 0) break;
    }
    bool any = false;
    for (int ch = 0; ch < 2; ++ch) {
      int n = rx_receive(s, ch, buf, sizeof buf);
      if (n > 0) {
        conn_send(s, buf, n);
        any = true;
      }
    }
    if (!any) sleep_ms(1);
  }
  conn_free(s);
  return 0;
}

static int run_client(int port, int count) {
  Connection* c = conn_alloc();
  if (!c || conn_connect(c, "ethernet", "127.0.0.1", port, 0) != 0) return 2;
  if (!wait_for([&] { return status_of(c) != 0; }, 10000)) return 3;
  uint8_t buf[qc::kMaxMessage];
  int echoed = 0;
  for (int i = 0; i < count; ++i) {
    char text[32];
    snprintf(text, sizeof text, "peer %d", i);
    if (send_built(c, 224, 4, text) != 0) return 4;
    if (send_built(c, 160, 1, text) != 0) return 4;
    for (int ch = 0; ch < 2; ++ch) {
      int n = receive_wait(c, ch, buf, sizeof buf, 5000);
      if (n == int(std::strlen(text)) + 8 && std::memcmp(buf + 4, text, std::strlen(text)) == 0)
        ++echoed;
    }
  }
  conn_free(c);
  return echoed == 2 * count ? 0 : 5;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: eth_peer server|client port seconds|count\n");
    return 1;
  }
  int port = std::atoi(argv[2]);
  int n = std::atoi(argv[3]);
  if (std::strcmp(argv[1], "server") == 0) return run_server(port, n);
  if (std::strcmp(argv[1], "client") == 0) return run_client(port, n);
  return 1;
}
