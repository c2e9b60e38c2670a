// Linux body of the network facts: getifaddrs and sysfs for the adapters, a netlink
// route query, and /proc/net/arp after a datagram that makes the kernel ask.
#include "platform/netdiag.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/paths.h"

namespace {

int err_or(int fallback) { return errno ? errno : fallback; }

bool sys_path(const char* ifname, const char* leaf, char* out, size_t size) {
  char rel[256];
  std::snprintf(rel, sizeof rel, "/sys/class/net/%s%s%s", ifname, leaf[0] ? "/" : "", leaf);
  return plat_sys_path(rel, out, size) == 0;
}

bool sys_exists(const char* ifname, const char* leaf) {
  char path[4096];
  struct stat st;
  return sys_path(ifname, leaf, path, sizeof path) && lstat(path, &st) == 0;
}

// The first line of a sysfs attribute; "" when unreadable.
void sys_line(const char* ifname, const char* leaf, char* out, size_t size) {
  out[0] = '\0';
  char path[4096];
  if (!sys_path(ifname, leaf, path, sizeof path)) return;
  FILE* f = std::fopen(path, "re");
  if (!f) return;
  if (!std::fgets(out, static_cast<int>(size), f)) out[0] = '\0';
  std::fclose(f);
  out[std::strcspn(out, "\n")] = '\0';
}

// The driver the kernel reports for the interface (ethtool), e.g. "veth", "dummy",
// "tun", "bridge", "vboxnet"; "" when it does not say. *bus: whether a bus address stands
// behind it (PCI, USB): software devices have none.
void ethtool_driver(const char* ifname, char* out, size_t size, bool* bus) {
  out[0] = '\0';
  *bus = false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct ethtool_drvinfo info;
  std::memset(&info, 0, sizeof info);
  info.cmd = ETHTOOL_GDRVINFO;
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%.*s", int(IFNAMSIZ - 1), ifname);
  ifr.ifr_data = reinterpret_cast<char*>(&info);
  if (ioctl(fd, SIOCETHTOOL, &ifr) == 0) {
    std::snprintf(out, size, "%.*s", int(sizeof info.driver), info.driver);
    *bus = info.bus_info[0] != '\0' && std::strcmp(info.bus_info, "N/A") != 0;
  }
  close(fd);
}

// Kind by what the system says of the device, not by its name: a wireless extension, a
// hardware device with a driver, or a device under /sys/devices/virtual.
void judge_kind(PlatAdapterFacts& a) {
  char path[4096], link[4096];
  if (sys_exists(a.name, "wireless") || sys_exists(a.name, "phy80211")) a.kind = PLAT_KIND_WIRELESS;
  if (sys_path(a.name, "device/driver", path, sizeof path)) {
    ssize_t n = readlink(path, link, sizeof link - 1);
    if (n > 0) {
      link[n] = '\0';
      const char* base = std::strrchr(link, '/');
      std::snprintf(a.driver, sizeof a.driver, "%.63s", base ? base + 1 : link);
      if (a.kind == PLAT_KIND_UNKNOWN) a.kind = PLAT_KIND_WIRED;
      return;
    }
  }
  char rel[256];
  std::snprintf(rel, sizeof rel, "/sys/devices/virtual/net/%s", a.name);
  struct stat st;
  bool virt = plat_sys_path(rel, path, sizeof path) == 0 && stat(path, &st) == 0;
  bool bus = false;
  ethtool_driver(a.name, a.driver, sizeof a.driver, &bus);
  // Where sysfs shows another namespace's devices, the driver's lack of a bus tells.
  if (a.driver[0] && !bus) virt = true;
  if (!a.driver[0]) {
    char ev[128];
    sys_line(a.name, "uevent", ev, sizeof ev);  // "DEVTYPE=bridge" on its first line, if any
    if (std::strncmp(ev, "DEVTYPE=", 8) == 0) std::snprintf(a.driver, sizeof a.driver, "%.63s", ev + 8);
  }
  if (virt) a.kind = PLAT_KIND_VIRTUAL;
  else if (a.kind == PLAT_KIND_UNKNOWN && a.driver[0]) a.kind = PLAT_KIND_WIRED;
}

int prefix_of(const struct sockaddr* mask) {
  if (!mask || mask->sa_family != AF_INET) return 0;
  uint32_t m = ntohl(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
  int n = 0;
  while (n < 32 && (m & (0x80000000u >> n))) ++n;
  return n;
}

}  // namespace

int plat_adapter_facts(PlatAdapterFacts* out, int max, int* count) {
  if (!count || (!out && max > 0)) return EINVAL;
  *count = 0;
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return err_or(EIO);
  for (struct ifaddrs* a = all; a && *count < max; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name) continue;
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    PlatAdapterFacts& f = out[(*count)++];
    std::memset(&f, 0, sizeof f);
    std::snprintf(f.name, sizeof f.name, "%s", a->ifa_name);
    f.index = static_cast<unsigned>(reinterpret_cast<const sockaddr_ll*>(a->ifa_addr)->sll_ifindex);
    f.up = (a->ifa_flags & IFF_UP) ? 1 : 0;
    char carrier[8];
    sys_line(a->ifa_name, "carrier", carrier, sizeof carrier);  // unreadable while down
    f.carrier = carrier[0] ? carrier[0] == '1' : (a->ifa_flags & IFF_RUNNING) != 0;
    if (!f.up) f.carrier = 0;
    judge_kind(f);
  }
  for (struct ifaddrs* a = all; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    for (int i = 0; i < *count; ++i) {
      PlatAdapterFacts& f = out[i];
      if (std::strcmp(f.name, a->ifa_name) != 0 || f.naddrs >= 4) continue;
      std::memcpy(f.addrs[f.naddrs], &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
      f.prefix[f.naddrs++] = static_cast<uint8_t>(prefix_of(a->ifa_netmask));
    }
  }
  freeifaddrs(all);
  return 0;
}

int plat_route_to(const uint8_t dst[4], PlatRoute* out) {
  if (!dst || !out) return EINVAL;
  std::memset(out, 0, sizeof *out);
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return err_or(EIO);
  struct {
    struct nlmsghdr nh;
    struct rtmsg rt;
    char attrs[16];
  } req;
  std::memset(&req, 0, sizeof req);
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(struct rtmsg));
  req.nh.nlmsg_type = RTM_GETROUTE;
  req.nh.nlmsg_flags = NLM_F_REQUEST;
  req.nh.nlmsg_seq = 1;
  req.rt.rtm_family = AF_INET;
  req.rt.rtm_dst_len = 32;
  struct rtattr* at = reinterpret_cast<struct rtattr*>(reinterpret_cast<char*>(&req) + NLMSG_ALIGN(req.nh.nlmsg_len));
  at->rta_type = RTA_DST;
  at->rta_len = RTA_LENGTH(4);
  std::memcpy(RTA_DATA(at), dst, 4);
  req.nh.nlmsg_len = NLMSG_ALIGN(req.nh.nlmsg_len) + RTA_LENGTH(4);
  if (send(fd, &req, req.nh.nlmsg_len, 0) < 0) {
    int e = err_or(EIO);
    close(fd);
    return e;
  }
  alignas(struct nlmsghdr) char buf[8192];
  ssize_t n;
  do {
    n = recv(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  int rc = n < 0 ? err_or(EIO) : EIO;
  close(fd);
  if (n <= 0) return rc;
  size_t left = static_cast<size_t>(n);
  for (struct nlmsghdr* h = reinterpret_cast<struct nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
    if (h->nlmsg_type == NLMSG_ERROR) {
      int e = -static_cast<const struct nlmsgerr*>(NLMSG_DATA(h))->error;
      return (e == ENETUNREACH || e == EHOSTUNREACH) ? PLAT_ROUTE_NONE : (e ? e : EIO);
    }
    if (h->nlmsg_type != RTM_NEWROUTE) continue;
    const struct rtmsg* rt = static_cast<const struct rtmsg*>(NLMSG_DATA(h));
    if (rt->rtm_type == RTN_UNREACHABLE || rt->rtm_type == RTN_BLACKHOLE || rt->rtm_type == RTN_PROHIBIT)
      return PLAT_ROUTE_NONE;
    int alen = static_cast<int>(RTM_PAYLOAD(h));
    for (const struct rtattr* a = RTM_RTA(rt); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
      if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4) std::memcpy(&out->if_index, RTA_DATA(a), 4);
      if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= 4) {
        std::memcpy(out->gateway, RTA_DATA(a), 4);
        out->via_gateway = 1;
      }
      if (a->rta_type == RTA_PREFSRC && RTA_PAYLOAD(a) >= 4) std::memcpy(out->source, RTA_DATA(a), 4);
    }
    return 0;
  }
  return EIO;
}

namespace {

// The kernel's entry for addr in /proc/net/arp (this network namespace's table).
int read_arp(const uint8_t addr[4], PlatNeighbour* out) {
  FILE* f = std::fopen("/proc/net/arp", "re");
  if (!f) return err_or(ENOENT);
  char want[16], line[256];
  std::snprintf(want, sizeof want, "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
  out->state = PLAT_NEIGH_NONE;
  if (!std::fgets(line, sizeof line, f)) line[0] = '\0';  // the heading
  while (std::fgets(line, sizeof line, f)) {
    char ip[32], hw[32], dev[32];
    unsigned type = 0, flags = 0;
    if (std::sscanf(line, "%31s 0x%x 0x%x %31s %*s %31s", ip, &type, &flags, hw, dev) != 5) continue;
    if (std::strcmp(ip, want) != 0) continue;
    unsigned m[6];
    if ((flags & ATF_COM) &&
        std::sscanf(hw, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) == 6) {
      out->state = PLAT_NEIGH_REACHABLE;
      for (int i = 0; i < 6; ++i) out->mac[i] = static_cast<uint8_t>(m[i]);
    } else {
      out->state = PLAT_NEIGH_INCOMPLETE;
    }
    break;
  }
  std::fclose(f);
  return 0;
}

}  // namespace

int plat_neighbour_probe(const uint8_t addr[4], unsigned /*if_index*/, int wait_ms, PlatNeighbour* out) {
  if (!addr || !out) return EINVAL;
  std::memset(out, 0, sizeof *out);
  int rc = read_arp(addr, out);
  if (rc != 0 || out->state == PLAT_NEIGH_REACHABLE) return rc;
  // An empty datagram to the discard port: the kernel asks the wire who has the address
  // before it can send, and the answer lands in the table.
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return err_or(EIO);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  std::memcpy(&to.sin_addr, addr, 4);
  (void)sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);  // refusals show in the table
  close(fd);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    rc = read_arp(addr, out);
    if (rc != 0 || out->state == PLAT_NEIGH_REACHABLE || std::chrono::steady_clock::now() >= end) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
