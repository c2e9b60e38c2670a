// Linux body of the socket seam: BSD sockets, poll and an eventfd for wake-ups.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

static_assert(sizeof(sockaddr_in) == sizeof(SockAddr4), "SockAddr4 mirrors sockaddr_in");

namespace {

int fail() { return errno > 0 ? -errno : -EIO; }

// Moves a descriptor above 2 (the block's "none" is 0) and marks it close-on-exec.
int settle_fd(int fd) {
  if (fd < 0) return fail();
  if (fd <= 2) {
    int up = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    if (up < 0) return err > 0 ? -err : -EIO;
    return up;
  }
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
    int err = errno;
    close(fd);
    return err > 0 ? -err : -EIO;
  }
  return fd;
}

void to_sys(const SockAddr4* a, sockaddr_in* s) {
  std::memcpy(s, a, sizeof *s);
  s->sin_family = AF_INET;
}

int set_int_opt(int s, int level, int name, int value) {
  return setsockopt(s, level, name, &value, sizeof value) < 0 ? fail() : 0;
}

}  // namespace

int sock_err_would_block(int err) {
  return err == EINPROGRESS || err == EALREADY || err == EWOULDBLOCK || err == EAGAIN;
}
int sock_err_invalid(int err) { return err == EINVAL; }
int sock_err_already_connected(int err) { return err == EISCONN; }
int sock_err_net_down(int err) { return err == ENETDOWN; }
int sock_err_refused(int err) { return err == ECONNREFUSED; }
int sock_err_unreachable(int err) { return err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN; }
int sock_err_blocked_here(int err) { return err == EPERM || err == EACCES; }
const char* sock_err_text(int err) { return strerror(err); }

int sock_create(int kind) {
  int type = (kind == kSockStream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC;
  return settle_fd(socket(AF_INET, type, 0));
}

int sock_close(int s) { return close(s) < 0 ? fail() : 0; }

int sock_shutdown(int s) { return shutdown(s, SHUT_RDWR) < 0 ? fail() : 0; }

int sock_set_nonblocking(int s, int on) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return fail();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) < 0 ? fail() : 0;
}

int sock_set_reuseaddr(int s) { return set_int_opt(s, SOL_SOCKET, SO_REUSEADDR, 1); }
int sock_set_nodelay(int s) { return set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1); }
int sock_set_broadcast(int s) { return set_int_opt(s, SOL_SOCKET, SO_BROADCAST, 1); }

int sock_pending_error(int s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return fail();
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
  socklen_t len = sizeof a;
  std::memset(&a, 0, sizeof a);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) < 0) return fail();
  std::memcpy(out, &a, sizeof a);
  return 0;
}

int sock_bind_any(int s, uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ? fail() : 0;
}

int sock_listen(int s, int backlog) {
  return listen(s, backlog < 0 ? SOMAXCONN : backlog) < 0 ? fail() : 0;
}

int sock_accept(int s, SockAddr4* peer) {
  sockaddr_in a;
  socklen_t len = sizeof a;
  std::memset(&a, 0, sizeof a);
  int fd = accept4(s, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
  if (fd < 0) return fail();
  fd = settle_fd(fd);
  if (fd >= 0 && peer) std::memcpy(peer, &a, sizeof a);
  return fd;
}

int sock_connect(int s, const SockAddr4* to) {
  sockaddr_in a;
  to_sys(to, &a);
  return connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ? fail() : 0;
}

int sock_recv(int s, void* buf, int size) {
  ssize_t n = recv(s, buf, size_t(size), MSG_DONTWAIT);
  return n < 0 ? fail() : int(n);
}

int sock_recvfrom(int s, void* buf, int size, SockAddr4* from, int* full_length) {
  sockaddr_in a;
  socklen_t len = sizeof a;
  std::memset(&a, 0, sizeof a);
  // MSG_TRUNC reports the datagram's real length even when it did not fit.
  ssize_t n = recvfrom(s, buf, size_t(size), MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return fail();
  if (from) std::memcpy(from, &a, sizeof a);
  if (full_length) *full_length = int(n);
  return n > size ? size : int(n);
}

int sock_send(int s, const void* buf, int size) {
  ssize_t n = send(s, buf, size_t(size), MSG_NOSIGNAL);
  return n < 0 ? fail() : int(n);
}

int sock_sendto(int s, const void* buf, int size, const SockAddr4* to) {
  sockaddr_in a;
  to_sys(to, &a);
  ssize_t n = sendto(s, buf, size_t(size), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return n < 0 ? fail() : int(n);
}

int sock_wake_create() { return settle_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

int sock_wake_signal(int w) {
  uint64_t one = 1;
  return write(w, &one, sizeof one) < 0 && errno != EAGAIN ? fail() : 0;
}

int sock_wake_clear(int w) {
  uint64_t count = 0;
  // Non-blocking: EAGAIN means nothing was set.
  return read(w, &count, sizeof count) < 0 && errno != EAGAIN ? fail() : 0;
}

int sock_wake_close(int w) { return sock_close(w); }

int sock_timer_create() {
  return settle_fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
}

int sock_timer_arm(int t, int ms_from_now) {
  if (ms_from_now < 1) ms_from_now = 1;  // zero would disarm it
  itimerspec when;
  std::memset(&when, 0, sizeof when);
  when.it_value.tv_sec = ms_from_now / 1000;
  when.it_value.tv_nsec = long(ms_from_now % 1000) * 1000000L;
  return timerfd_settime(t, 0, &when, nullptr) < 0 ? fail() : 0;
}

int sock_timer_clear(int t) {
  uint64_t expiries = 0;
  if (read(t, &expiries, sizeof expiries) < 0) return errno == EAGAIN ? 0 : fail();
  return expiries ? 1 : 0;
}

int sock_timer_close(int t) { return sock_close(t); }

int sock_wait(SockWaitSet* set, int wake, int timeout_ms, int* woken) {
  pollfd p[5];
  int map[5];
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    set->readable[i] = set->writable[i] = false;
    if (set->fd[i] <= 0) continue;
    p[n].fd = set->fd[i];
    p[n].events = short(POLLIN | (set->want_write[i] ? POLLOUT : 0));
    p[n].revents = 0;
    map[n++] = i;
  }
  int wake_index = -1;
  if (wake > 0) {
    wake_index = n;
    p[n].fd = wake;
    p[n].events = POLLIN;
    p[n].revents = 0;
    map[n++] = -1;
  }
  *woken = 0;
  int r = poll(p, nfds_t(n), timeout_ms);
  if (r < 0) return fail();
  int ready = 0;
  for (int k = 0; k < n; ++k) {
    short ev = p[k].revents;
    if (!ev) continue;
    if (k == wake_index) {
      *woken = 1;
      continue;
    }
    int i = map[k];
    bool failed = ev & (POLLERR | POLLHUP | POLLNVAL);
    set->readable[i] = (ev & POLLIN) || failed;
    set->writable[i] = set->want_write[i] && ((ev & POLLOUT) || failed);
    if (set->readable[i] || set->writable[i]) ++ready;
  }
  return ready;
}

int sock_hostname(char* out, int size) {
  if (size <= 0) return -EINVAL;
  if (gethostname(out, size_t(size)) < 0) {
    out[0] = 0;
    return fail();
  }
  out[size - 1] = 0;
  return 0;
}

int sock_lookup(const char* name, uint8_t (*out)[4], int max, int* count) {
  *count = 0;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, nullptr, &res);
  if (rc != 0) return rc;
  for (addrinfo* r = res; r && *count < max; r = r->ai_next) {
    if (r->ai_family != AF_INET || !r->ai_addr) continue;
    const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
    // getaddrinfo without hints lists each address once per socket type.
    bool seen = false;
    for (int i = 0; i < *count; ++i) seen = seen || std::memcmp(out[i], &a->sin_addr, 4) == 0;
    if (!seen) std::memcpy(out[(*count)++], &a->sin_addr, 4);
  }
  freeaddrinfo(res);
  return *count > 0 ? 0 : EAI_NONAME;
}

const char* sock_lookup_text(int code) { return gai_strerror(code); }

int sock_local_ipv4(uint8_t out[4]) {
  // Debian maps the host name to 127.0.1.1, which is useless for a subnet broadcast:
  // the first up, non-loopback interface comes first, the resolver only as a fallback.
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
      std::memcpy(out, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
      freeifaddrs(list);
      return 0;
    }
    freeifaddrs(list);
  }
  char name[256];
  if (sock_hostname(name, sizeof name) != 0) return 1;
  uint8_t addr[1][4];
  int count = 0;
  if (sock_lookup(name, addr, 1, &count) != 0) return 1;
  std::memcpy(out, addr[0], 4);
  return 0;
}

int sock_peer_name(int s, SockAddr4* out) {
  sockaddr_in a;
  socklen_t len = sizeof a;
  std::memset(&a, 0, sizeof a);
  if (getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) < 0) return fail();
  if (out) std::memcpy(out, &a, sizeof a);
  return 0;
}

int sock_err_not_connected_code() { return ENOTCONN; }

uint32_t plat_thread_id() { return uint32_t(gettid()); }
