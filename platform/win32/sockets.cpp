// Windows body of the socket seam: Winsock 2, select, and a loopback datagram socket
// as the wake-up handle (select sees only sockets). Error numbers are Winsock's own.
#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "platform/win32/winsock_ready.h"

static_assert(sizeof(sockaddr_in) == sizeof(SockAddr4), "SockAddr4 mirrors sockaddr_in");

namespace {

int fail() {
  int e = WSAGetLastError();
  return e > 0 ? -e : -WSAEINVAL;
}

// Handles travel as int: Winsock's are small kernel handle values, never 0..2.
int settle(SOCKET s) {
  if (s == INVALID_SOCKET) return fail();
  if (s <= 2 || s > static_cast<SOCKET>(INT_MAX)) {
    closesocket(s);
    return -WSAEMFILE;
  }
  return static_cast<int>(s);
}

SOCKET sys(int s) { return static_cast<SOCKET>(s); }

void to_sys(const SockAddr4* a, sockaddr_in* s) {
  std::memcpy(s, a, sizeof *s);
  s->sin_family = AF_INET;
}

int set_int_opt(int s, int level, int name, int value) {
  return setsockopt(sys(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
                 SOCKET_ERROR
             ? fail()
             : 0;
}

// A socket whose data or end is waiting: recv then cannot block.
bool ready_to_read(SOCKET s) {
  fd_set r;
  FD_ZERO(&r);
  FD_SET(s, &r);
  timeval zero{0, 0};
  return select(0, &r, nullptr, nullptr, &zero) != 0;  // an error is reported by recv
}

}  // namespace

int sock_err_would_block(int err) {
  return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY;
}
int sock_err_invalid(int err) { return err == WSAEINVAL; }
int sock_err_already_connected(int err) { return err == WSAEISCONN; }
int sock_err_net_down(int err) { return err == WSAENETDOWN; }
int sock_err_refused(int err) { return err == WSAECONNREFUSED; }
int sock_err_unreachable(int err) {
  return err == WSAEHOSTUNREACH || err == WSAENETUNREACH || err == WSAEHOSTDOWN;
}
int sock_err_blocked_here(int err) { return err == WSAEACCES; }

const char* sock_err_text(int err) {
  static thread_local char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
  if (n == 0) {
    std::snprintf(text, sizeof text, "Error %d", err);
    return text;
  }
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
  return text;
}

int sock_create(int kind) {
  int ws = winsock_ready();
  if (ws != 0) return -ws;
  int type = kind == kSockStream ? SOCK_STREAM : SOCK_DGRAM;
  return settle(WSASocketA(AF_INET, type, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}

int sock_close(int s) { return closesocket(sys(s)) == SOCKET_ERROR ? fail() : 0; }

int sock_shutdown(int s) { return shutdown(sys(s), SD_BOTH) == SOCKET_ERROR ? fail() : 0; }

int sock_set_nonblocking(int s, int on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(sys(s), FIONBIO, &mode) == SOCKET_ERROR ? fail() : 0;
}

// Windows' own SO_REUSEADDR on every socket: the game computer's server binds its port
// again while an earlier one still holds it, and the other end may run on this computer.
int sock_set_reuseaddr(int s) { return set_int_opt(s, SOL_SOCKET, SO_REUSEADDR, 1); }
int sock_set_nodelay(int s) { return set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1); }
int sock_set_broadcast(int s) { return set_int_opt(s, SOL_SOCKET, SO_BROADCAST, 1); }

int sock_pending_error(int s) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(sys(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) ==
      SOCKET_ERROR)
    return fail();
  return err;
}

void sock_addr_make(SockAddr4* a, const uint8_t ip[4], uint16_t port) {
  sockaddr_in s;
  std::memset(&s, 0, sizeof s);
  s.sin_family = AF_INET;
  s.sin_port = htons(port);
  std::memcpy(&s.sin_addr, ip, 4);
  std::memcpy(a, &s, sizeof s);
}

uint16_t sock_addr_port(const SockAddr4* a) { return ntohs(a->port_be); }

void sock_addr_text(const SockAddr4* a, char* out, int size) {
  if (size <= 0) return;
  snprintf(out, size_t(size), "%u.%u.%u.%u", a->addr[0], a->addr[1], a->addr[2], a->addr[3]);
}

int sock_local_name(int s, SockAddr4* out) {
  sockaddr_in a;
  int len = sizeof a;
  std::memset(&a, 0, sizeof a);
  if (getsockname(sys(s), reinterpret_cast<sockaddr*>(&a), &len) == SOCKET_ERROR) return fail();
  std::memcpy(out, &a, sizeof a);
  return 0;
}

int sock_bind_any(int s, uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(sys(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR ? fail() : 0;
}

int sock_listen(int s, int backlog) {
  return listen(sys(s), backlog < 0 ? SOMAXCONN : backlog) == SOCKET_ERROR ? fail() : 0;
}

int sock_accept(int s, SockAddr4* peer) {
  sockaddr_in a;
  int len = sizeof a;
  std::memset(&a, 0, sizeof a);
  SOCKET fd = accept(sys(s), reinterpret_cast<sockaddr*>(&a), &len);
  int h = settle(fd);
  if (h >= 0) {
    // An accepted socket inherits the listener's non-blocking mode; the Linux body's
    // accept4 gives a blocking one, and the callers expect that.
    u_long mode = 0;
    if (ioctlsocket(fd, FIONBIO, &mode) == SOCKET_ERROR) {
      int e = fail();
      closesocket(fd);
      return e;
    }
    if (peer) std::memcpy(peer, &a, sizeof a);
  }
  return h;
}

int sock_connect(int s, const SockAddr4* to) {
  sockaddr_in a;
  to_sys(to, &a);
  return connect(sys(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR ? fail() : 0;
}

// Winsock has no per-call "don't wait": a blocking socket with nothing waiting answers
// would-block as the Linux body does.
int sock_recv(int s, void* buf, int size) {
  if (!ready_to_read(sys(s))) return -WSAEWOULDBLOCK;
  int n = recv(sys(s), static_cast<char*>(buf), size, 0);
  return n == SOCKET_ERROR ? fail() : n;
}

int sock_recvfrom(int s, void* buf, int size, SockAddr4* from, int* full_length) {
  if (!ready_to_read(sys(s))) return -WSAEWOULDBLOCK;
  sockaddr_in a;
  int len = sizeof a;
  std::memset(&a, 0, sizeof a);
  // Winsock does not tell a cut datagram's length: receive into room for the largest.
  static thread_local char whole[65536];
  int n = recvfrom(sys(s), whole, sizeof whole, 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n == SOCKET_ERROR) return fail();
  if (from) std::memcpy(from, &a, sizeof a);
  if (full_length) *full_length = n;
  int copy = n > size ? size : n;
  if (copy > 0) std::memcpy(buf, whole, size_t(copy));
  return copy;
}

int sock_send(int s, const void* buf, int size) {
  int n = send(sys(s), static_cast<const char*>(buf), size, 0);
  return n == SOCKET_ERROR ? fail() : n;
}

int sock_sendto(int s, const void* buf, int size, const SockAddr4* to) {
  sockaddr_in a;
  to_sys(to, &a);
  int n = sendto(sys(s), static_cast<const char*>(buf), size, 0, reinterpret_cast<sockaddr*>(&a),
                 sizeof a);
  return n == SOCKET_ERROR ? fail() : n;
}

// The wake-up: a datagram socket connected to itself on loopback. A signal is one byte
// queued to itself, so the handle stays readable until sock_wake_clear reads them all.
int sock_wake_create() {
  int w = sock_create(kSockDatagram);
  if (w < 0) return w;
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  u_long nb = 1;
  if (bind(sys(w), reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR ||
      getsockname(sys(w), reinterpret_cast<sockaddr*>(&a), &len) == SOCKET_ERROR ||
      connect(sys(w), reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR ||
      ioctlsocket(sys(w), FIONBIO, &nb) == SOCKET_ERROR) {
    int e = fail();
    closesocket(sys(w));
    return e;
  }
  return w;
}

int sock_wake_signal(int w) {
  char one = 1;
  if (send(sys(w), &one, 1, 0) != SOCKET_ERROR) return 0;
  // A full queue already holds a signal.
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : fail();
}

int sock_wake_clear(int w) {
  char byte;
  // One datagram per signal; signals that arrive while these are read stay for later.
  for (int i = 0; i < 1024; ++i) {
    if (recv(sys(w), &byte, 1, 0) != SOCKET_ERROR) continue;
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK ? 0 : -e;
  }
  return 0;
}

int sock_wake_close(int w) { return sock_close(w); }

namespace {

// select fails as a whole when one handle is no socket (closed under us): such a
// handle counts as ready, as poll's POLLNVAL does on Linux.
bool is_socket(int s) {
  int type = 0;
  int len = sizeof type;
  return getsockopt(sys(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) !=
         SOCKET_ERROR;
}

}  // namespace

// select waits on sockets alone: no timer can join it, so waits keep their own limit.
int sock_timer_create() { return -WSAEOPNOTSUPP; }
int sock_timer_arm(int, int) { return -WSAEOPNOTSUPP; }
int sock_timer_clear(int) { return -WSAEOPNOTSUPP; }
int sock_timer_close(int) { return 0; }

int sock_wait(SockWaitSet* set, int wake, int timeout_ms, int* woken) {
  *woken = 0;
  fd_set r, w, x;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&x);
  int ready = 0;
  int listed = 0;
  for (int i = 0; i < 4; ++i) {
    set->readable[i] = set->writable[i] = false;
    if (set->fd[i] <= 0) continue;
    if (!is_socket(set->fd[i])) {
      set->readable[i] = true;
      set->writable[i] = set->want_write[i];
      ++ready;
      continue;
    }
    FD_SET(sys(set->fd[i]), &r);
    FD_SET(sys(set->fd[i]), &x);
    if (set->want_write[i]) FD_SET(sys(set->fd[i]), &w);
    ++listed;
  }
  if (wake > 0) {
    FD_SET(sys(wake), &r);
    ++listed;
  }
  if (ready > 0) return ready;
  if (listed == 0) {
    // select refuses empty sets; waiting on nothing is only the time-out.
    if (timeout_ms > 0) Sleep(DWORD(timeout_ms));
    return 0;
  }
  timeval tv;
  timeval* ptv = nullptr;
  if (timeout_ms >= 0) {
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ptv = &tv;
  }
  if (select(0, &r, &w, &x, ptv) == SOCKET_ERROR) return fail();
  if (wake > 0 && FD_ISSET(sys(wake), &r)) *woken = 1;
  for (int i = 0; i < 4; ++i) {
    if (set->fd[i] <= 0) continue;
    SOCKET s = sys(set->fd[i]);
    // A failed non-blocking connect shows in the exception set only.
    bool failed = FD_ISSET(s, &x);
    set->readable[i] = FD_ISSET(s, &r) || failed;
    set->writable[i] = set->want_write[i] && (FD_ISSET(s, &w) || failed);
    if (set->readable[i] || set->writable[i]) ++ready;
  }
  return ready;
}

int sock_hostname(char* out, int size) {
  if (size <= 0) return -WSAEINVAL;
  int ws = winsock_ready();
  if (ws != 0) {
    out[0] = 0;
    return -ws;
  }
  if (gethostname(out, size) == SOCKET_ERROR) {
    out[0] = 0;
    return fail();
  }
  out[size - 1] = 0;
  return 0;
}

int sock_lookup(const char* name, uint8_t (*out)[4], int max, int* count) {
  *count = 0;
  int ws = winsock_ready();
  if (ws != 0) return ws;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, nullptr, &res);
  if (rc != 0) return rc;
  for (addrinfo* r = res; r && *count < max; r = r->ai_next) {
    if (r->ai_family != AF_INET || !r->ai_addr) continue;
    const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
    bool seen = false;
    for (int i = 0; i < *count; ++i) seen = seen || std::memcmp(out[i], &a->sin_addr, 4) == 0;
    if (!seen) std::memcpy(out[(*count)++], &a->sin_addr, 4);
  }
  freeaddrinfo(res);
  return *count > 0 ? 0 : EAI_NONAME;
}

const char* sock_lookup_text(int code) { return gai_strerrorA(code); }

// The first address of the host-name lookup, as Windows orders it (the adapter of the
// default route first), not the first adapter's: a VirtualBox or autoconfiguration
// address may come first in the adapter list.
int sock_local_ipv4(uint8_t out[4]) {
  char name[256];
  if (sock_hostname(name, sizeof name) != 0) return 1;
  const hostent* h = gethostbyname(name);
  if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0])
    return 1;
  std::memcpy(out, h->h_addr_list[0], 4);
  return 0;
}

int sock_peer_name(int s, SockAddr4* out) {
  sockaddr_in a;
  int len = sizeof a;
  std::memset(&a, 0, sizeof a);
  if (getpeername(sys(s), reinterpret_cast<sockaddr*>(&a), &len) == SOCKET_ERROR) return fail();
  if (out) std::memcpy(out, &a, sizeof a);
  return 0;
}

int sock_err_not_connected_code() { return WSAENOTCONN; }

uint32_t plat_thread_id() { return uint32_t(GetCurrentThreadId()); }
