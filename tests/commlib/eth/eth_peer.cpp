// A second process for the two-process test.
//   eth_peer server <port> <seconds>: a server object that echoes every message back on
//     the channel it came from, until the time is up or standard input closes.
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

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "server") != 0) {
    std::fprintf(stderr, "usage: eth_peer server port seconds\n");
    return 1;
  }
  return run_server(std::atoi(argv[2]), std::atoi(argv[3]));
}
