// Helpers for the ethernet transport tests: free ports, waiting, raw peers and
// hand-made messages.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/loopback_port.h"
#include "platform/sockets.h"
#include "tests/commlib/capture_reader.h"

namespace ethtest {

using namespace lpcap;

inline int status_of(Connection* c) { return ETH_LOAD(c, status); }
inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool wait_for(F pred, int ms) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); std::chrono::steady_clock::now() < end; sleep_ms(5))
    if (pred()) return true;
  return pred();
}

inline sockaddr_in loop_addr(int port) { return sockaddr_in{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

inline int bound_socket(int type, int port, bool reuse = false) { return plat_bound_socket(type, port, reuse); }
inline int free_port_base() { return plat_free_port_base(); }

// A raw datagram peer, without the library, that waits 200 ms at most for a datagram.
inline int raw_udp(int bind_port) {
  int s = bind_port ? bound_socket(SOCK_DGRAM, bind_port, true) : socket(AF_INET, SOCK_DGRAM, 0);
  timeval tv{0, 200000};
  if (s >= 0) setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

inline bool raw_sendto(int s, int port, const void* data, size_t n) {
  sockaddr_in a = loop_addr(port);
  return sendto(s, data, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(n);
}

inline int raw_tcp_connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0), one = 1;
  sockaddr_in a = loop_addr(port);
  if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    s = -1;
  }
  if (s >= 0) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

inline bool raw_send_all(int s, const void* data, size_t n) { return plat_send_all(s, data, n); }

// Builds a message without an object: type, command, length, payload, sequence.
inline std::vector<uint8_t> make_msg(uint8_t type, uint8_t cmd, const std::string& payload, uint32_t seq) {
  std::vector<uint8_t> m(payload.size() + 8);
  m[0] = type, m[1] = cmd, m[2] = uint8_t(m.size() & 0xff), m[3] = uint8_t(m.size() >> 8);
  std::memcpy(m.data() + 4, payload.data(), payload.size());
  for (size_t i = 0; i < 4; ++i) m[m.size() - 4 + i] = uint8_t(seq >> (8 * i));
  return m;
}

// Entries in a folder of /proc (descriptors, threads).
inline int count_entries(const char* dir) { return int(files_in(dir).size()); }

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
  return n == 0 ? -1 : conn_send(c, buf, 0);
}

}  // namespace ethtest
