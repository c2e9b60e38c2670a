#include "probe/linkfacts.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/little_endian.h"
#include "platform/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kBeaconType = 237;  // the server's presence datagram
constexpr int kBeaconSize = 72;
constexpr int kBeaconName = 4;        // the host name starts here

int ms_since(Clock::time_point t0) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

bool same_subnet(const uint8_t a[4], const uint8_t b[4]) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

}  // namespace

const char* link_kind_name(int kind) {
  switch (kind) {
    case PLAT_KIND_WIRED: return "wired";
    case PLAT_KIND_WIRELESS: return "wireless";
    case PLAT_KIND_VIRTUAL: return "virtual";
    default: return "unknown";
  }
}

void link_adapters(const uint8_t peer[4], LinkAdapters* out) {
  std::memset(out, 0, sizeof *out);
  out->expected = -1;
  out->error = plat_adapter_facts(out->all, LINK_ADAPTERS, &out->count);
  if (out->error != 0) out->count = 0;
  int best = -1, best_score = -1;
  for (int i = 0; i < out->count; ++i) {
    const PlatAdapterFacts& a = out->all[i];
    bool in = false;
    for (int k = 0; k < a.naddrs; ++k) in = in || same_subnet(a.addrs[k], peer);
    if (!in) continue;
    out->in_subnet[out->nsubnet++] = i;
    int score = (a.carrier ? 2 : 0) + (a.kind != PLAT_KIND_VIRTUAL ? 1 : 0);
    if (score > best_score) {
      best = i;
      best_score = score;
    }
  }
  out->expected = best;
}

void link_route(const uint8_t peer[4], const LinkAdapters* adapters, LinkRoute* out) {
  std::memset(out, 0, sizeof *out);
  out->result = plat_route_to(peer, &out->route);
  if (out->result != 0) return;
  for (int i = 0; adapters && i < adapters->count; ++i)
    if (adapters->all[i].index == out->route.if_index)
      std::snprintf(out->ifname, sizeof out->ifname, "%s", adapters->all[i].name);
  if (!out->ifname[0] && out->route.if_index != 0) std::snprintf(out->ifname, sizeof out->ifname, "#%u", out->route.if_index);
}

void link_neighbour(const uint8_t peer[4], const LinkRoute* route, int wait_ms, LinkNeighbour* out) {
  std::memset(out, 0, sizeof *out);
  // Beyond a router only the router answers on this wire.
  const bool via = route && route->result == 0 && route->route.via_gateway;
  std::memcpy(out->asked, via ? route->route.gateway : peer, 4);
  out->result = plat_neighbour_probe(out->asked, route ? route->route.if_index : 0, wait_ms, &out->neigh);
}

void link_tcp_connect(const uint8_t peer[4], int port, int wait_ms, LinkTcp* out) {
  std::memset(out, 0, sizeof *out);
  out->wait_ms = wait_ms;
  const Clock::time_point t0 = Clock::now();
  int s = sock_create(kSockStream);
  if (s < 0) {
    out->outcome = TCP_FAILED;
    out->error = -s;
    return;
  }
  SockAddr4 to;
  sock_addr_make(&to, peer, static_cast<uint16_t>(port));
  int r = sock_set_nonblocking(s, 1);
  if (r == 0) r = sock_connect(s, &to);
  if (r < 0 && sock_err_would_block(-r)) {
    SockWaitSet set{};
    set.fd[0] = s;
    set.want_write[0] = true;
    int woken = 0;
    r = 0;
    for (;;) {
      int left = wait_ms - ms_since(t0);
      int n = left > 0 ? sock_wait(&set, -1, left, &woken) : 0;
      if (n < 0) {
        r = n;
        break;
      }
      if (n == 0) {
        out->outcome = TCP_SILENT;
        break;
      }
      if (set.writable[0] || set.readable[0]) {
        int e = sock_pending_error(s);
        r = e > 0 ? -e : e;
        break;
      }
    }
    if (out->outcome == TCP_SILENT) {
      out->ms = ms_since(t0);
      sock_close(s);
      return;
    }
  }
  sock_close(s);
  out->ms = ms_since(t0);
  if (r >= 0) return;  // TCP_CONNECTED
  out->error = -r;
  out->outcome = sock_err_refused(out->error)       ? TCP_REFUSED
                 : sock_err_unreachable(out->error) ? TCP_UNREACHABLE
                 : sock_err_blocked_here(out->error) ? TCP_BLOCKED_HERE
                                                     : TCP_FAILED;
}

void link_beacons(int port, int wait_ms, int wake, LinkBeacons* out) {
  std::memset(out, 0, sizeof *out);
  out->wait_ms = wait_ms;
  const Clock::time_point t0 = Clock::now();
  int s = sock_create(kSockDatagram);
  if (s < 0) {
    out->error = -s;
    return;
  }
  // The library's own client binds this port with address reuse too; sharing it is fine.
  int r = sock_set_reuseaddr(s);
  if (r == 0) r = sock_bind_any(s, static_cast<uint16_t>(port));
  if (r < 0) {
    out->error = -r;
    sock_close(s);
    return;
  }
  uint8_t buf[1600];  // a whole message of the library at most
  while (!out->heard) {
    int left = wait_ms - ms_since(t0);
    if (left <= 0) break;
    SockWaitSet set{};
    set.fd[0] = s;
    int woken = 0;
    int n = sock_wait(&set, wake, left, &woken);
    if (n < 0) {
      out->error = -n;
      break;
    }
    if (n == 0) break;  // the time is up, or the caller has heard enough
    SockAddr4 from;
    int full = 0;
    int got = sock_recvfrom(s, buf, static_cast<int>(sizeof buf), &from, &full);
    if (got < kBeaconName || buf[0] != kBeaconType || le16(buf + 2) != kBeaconSize) continue;
    out->heard = 1;
    std::memcpy(out->from, from.addr, 4);
    int len = got < kBeaconSize - 4 ? got - kBeaconName : kBeaconSize - 4 - kBeaconName;
    std::snprintf(out->host, sizeof out->host, "%.*s", len, reinterpret_cast<const char*>(buf + kBeaconName));
  }
  sock_close(s);
}

void link_firewall(int port, PlatFirewall* out) {
  const int ports[2] = {port, port + 1};
  plat_firewall_read(ports, 2, nullptr, out);
}

void link_listener(int port, LinkListener* out) {
  std::memset(out, 0, sizeof *out);
  out->result = plat_tcp_listener(port, &out->holder, &out->found);
}

int link_is_local(const uint8_t addr[4], const LinkAdapters* adapters) {
  if (addr[0] == 127) return 1;
  for (int i = 0; adapters && i < adapters->count; ++i)
    for (int k = 0; k < adapters->all[i].naddrs; ++k)
      if (std::memcmp(adapters->all[i].addrs[k], addr, 4) == 0) return 1;
  return 0;
}
