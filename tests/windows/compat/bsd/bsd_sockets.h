// BSD socket calls over Winsock, for the ethernet tests' raw peers: their helpers keep
// sockets in ints and end them with close(). The standard and project headers those
// tests use are included first, so that the call macros below touch only test code.
#pragma once
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/sockets.h"
#include "tests/commlib/capture_reader.h"

#define MSG_NOSIGNAL 0              // Windows raises no signal on a broken stream
#define MSG_DONTWAIT 0x40000000     // handled below: Winsock has no such flag

namespace lp_bsd {

inline SOCKET sys(int s) { return static_cast<SOCKET>(s); }
inline int done(int rc) { return rc == SOCKET_ERROR ? -1 : rc; }

inline int socket_(int domain, int type, int protocol) {
  static const int started = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d);
  }();
  if (started != 0) return -1;
  SOCKET s = ::socket(domain, type, protocol);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

inline int close_(int s) {
  int type;
  int len = sizeof type;
  if (::getsockopt(sys(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0)
    return done(::closesocket(sys(s)));
  return ::_close(s);
}

inline int setsockopt_(int s, int level, int name, const void* value, int len) {
  if (level == SOL_SOCKET && name == SO_RCVTIMEO && len == int(sizeof(timeval))) {
    const timeval* tv = static_cast<const timeval*>(value);
    DWORD ms = DWORD(tv->tv_sec * 1000 + tv->tv_usec / 1000);
    return done(::setsockopt(sys(s), level, name, reinterpret_cast<const char*>(&ms), sizeof ms));
  }
  return done(::setsockopt(sys(s), level, name, static_cast<const char*>(value), len));
}

inline int recv_(int s, void* buf, size_t n, int flags) {
  if (flags & MSG_DONTWAIT) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(sys(s), &r);
    timeval zero{0, 0};
    if (::select(0, &r, nullptr, nullptr, &zero) == 0) {
      errno = EAGAIN;
      return -1;
    }
  }
  return done(::recv(sys(s), static_cast<char*>(buf), int(n), flags & ~MSG_DONTWAIT));
}

inline int send_(int s, const void* buf, size_t n, int flags) {
  return done(::send(sys(s), static_cast<const char*>(buf), int(n), flags));
}

inline int sendto_(int s, const void* buf, size_t n, int flags, const sockaddr* to, int len) {
  return done(::sendto(sys(s), static_cast<const char*>(buf), int(n), flags, to, len));
}

inline int bind_(int s, const sockaddr* a, int len) { return done(::bind(sys(s), a, len)); }
inline int connect_(int s, const sockaddr* a, int len) { return done(::connect(sys(s), a, len)); }
inline int listen_(int s, int backlog) { return done(::listen(sys(s), backlog)); }

}  // namespace lp_bsd

#define socket(d, t, p) lp_bsd::socket_(d, t, p)
#define close(s) lp_bsd::close_(s)
#define setsockopt(s, l, n, v, len) lp_bsd::setsockopt_(s, l, n, v, len)
#define recv(s, b, n, f) lp_bsd::recv_(s, b, n, f)
#define send(s, b, n, f) lp_bsd::send_(s, b, n, f)
#define sendto(s, b, n, f, to, len) lp_bsd::sendto_(s, b, n, f, to, len)
#define bind(s, a, len) lp_bsd::bind_(s, a, len)
#define connect(s, a, len) lp_bsd::connect_(s, a, len)
#define listen(s, b) lp_bsd::listen_(s, b)
