// Helpers for the ethernet transport tests: free ports, waiting, raw peers,
// scratch directories and capture-file decoding.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/sockets.h"
#include "tests/commlib/capture_reader.h"

namespace ethtest {

inline int status_of(Connection* c) { return ETH_LOAD(c, status); }
inline int connect_state_of(Connection* c) { return ETH_LOAD(c, connect_state); }

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool wait_for(F pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    sleep_ms(5);
  }
  return pred();
}

inline bool can_bind(int type, int port) {
  int s = socket(AF_INET, type, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Lowest port the kernel hands out for outgoing connections. Test ports stay below it:
// an outgoing connection of a test running alongside (or a client's own connect that
// lands on the port it aims at) would otherwise take a server's port now and then.
inline int ephemeral_low() {
  int low = 32768, high = 60999;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d %d", &low, &high) != 2) low = 32768;
    std::fclose(f);
  }
  return low;
}

// A base port P with TCP P, P + 1 and UDP P, P + 1 all free, so that tests can run
// side by side (ports are picked at random, then checked).
inline int free_port_base() {
  std::random_device rd;
  std::mt19937 gen(rd());
  int top = ephemeral_low() - 2;
  std::uniform_int_distribution<int> dist(10000, top > 12000 ? top : 30000);
  for (int i = 0; i < 500; ++i) {
    int p = dist(gen) & ~1;
    if (can_bind(SOCK_STREAM, p) && can_bind(SOCK_STREAM, p + 1) && can_bind(SOCK_DGRAM, p) &&
        can_bind(SOCK_DGRAM, p + 1))
      return p;
  }
  return 0;
}

inline sockaddr_in loop_addr(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Raw peers, without the library.
inline int raw_udp(int bind_port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind_port) {
    sockaddr_in a = loop_addr(bind_port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(s);
      return -1;
    }
  }
  timeval tv{0, 200000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

inline bool raw_sendto(int s, int port, const void* data, size_t n) {
  sockaddr_in a = loop_addr(port);
  return sendto(s, data, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(n);
}

inline int raw_tcp_connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in a = loop_addr(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

inline bool raw_send_all(int s, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t r = send(s, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// Builds a message without an object: type, command, length, payload, sequence.
inline std::vector<uint8_t> make_msg(uint8_t type, uint8_t cmd, const std::string& payload,
                                     uint32_t seq) {
  std::vector<uint8_t> m(payload.size() + 8);
  m[0] = type;
  m[1] = cmd;
  m[2] = uint8_t(m.size() & 0xff);
  m[3] = uint8_t(m.size() >> 8);
  std::memcpy(m.data() + 4, payload.data(), payload.size());
  size_t q = m.size() - 4;
  for (int i = 0; i < 4; ++i) m[q + i] = uint8_t(seq >> (8 * i));
  return m;
}

// Waits up to ms for a message on a channel; returns its length (0: none).
inline int receive_wait(Connection* c, int channel, uint8_t* buf, int size, int ms) {
  int n = 0;
  wait_for([&] { return (n = rx_receive(c, channel, buf, size)) > 0; }, ms);
  return n;
}

// Sends a built message and returns conn_send's result.
inline int send_built(Connection* c, uint8_t type, uint8_t cmd, const std::string& payload) {
  uint8_t buf[qc::kMaxMessage];
  int n = msg_build(c, buf, sizeof buf, type, cmd, payload.data(), int(payload.size()));
  if (n == 0) return -1;
  return conn_send(c, buf, 0);
}

using namespace lpcap;

}  // namespace ethtest
