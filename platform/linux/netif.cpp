#include "platform/netif.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/launch.h"
#include "platform/paths.h"

namespace {

// One line of /sys/class/net/<ifname>/<attr> under the system root; empty when unreadable.
void read_net_attr(const char* ifname, const char* attr, char* out, size_t size) {
  out[0] = '\0';
  char rel[256], path[4096];
  std::snprintf(rel, sizeof rel, "/sys/class/net/%s/%s", ifname, attr);
  if (plat_sys_path(rel, path, sizeof path) != 0) return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n;
  do {
    n = read(fd, out, size - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return;
  out[n] = '\0';
  out[std::strcspn(out, "\n")] = '\0';
}

bool net_path_exists(const char* ifname, const char* leaf) {
  char rel[256], path[4096];
  std::snprintf(rel, sizeof rel, "/sys/class/net/%s/%s", ifname, leaf);
  if (plat_sys_path(rel, path, sizeof path) != 0) return false;
  struct stat st;
  return stat(path, &st) == 0;
}

// "up"; or "unknown" (drivers without operstate support) with a carrier. Without sysfs
// the interface flags decide.
int link_connected(const char* ifname, unsigned flags) {
  char state[32], carrier[8];
  read_net_attr(ifname, "operstate", state, sizeof state);
  if (std::strcmp(state, "up") == 0) return 1;
  if (std::strcmp(state, "unknown") == 0 || state[0] == '\0') {
    read_net_attr(ifname, "carrier", carrier, sizeof carrier);
    if (carrier[0]) return std::strcmp(carrier, "1") == 0;
    if (state[0] == '\0') return (flags & IFF_UP) && (flags & IFF_RUNNING);
  }
  return 0;
}

}  // namespace

int plat_netif_list(PlatNetIf* out, int max, int* count) {
  if (!count) return EINVAL;
  *count = 0;
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return errno ? errno : EIO;
  // AF_PACKET entries list each interface once, with its hardware type.
  for (struct ifaddrs* a = all; a && *count < max; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name) continue;
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    const struct sockaddr_ll* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
    if (ll->sll_hatype != ARPHRD_ETHER) continue;
    PlatNetIf& e = out[(*count)++];
    std::memset(&e, 0, sizeof e);
    std::snprintf(e.name, sizeof e.name, "%s", a->ifa_name);
    e.index = static_cast<unsigned>(ll->sll_ifindex);
    e.wireless = net_path_exists(a->ifa_name, "wireless") || net_path_exists(a->ifa_name, "phy80211");
    e.if_type = e.wireless ? 71 : 6;
    e.connected = link_connected(a->ifa_name, a->ifa_flags);
  }
  freeifaddrs(all);
  return 0;
}

// Address rows come from an RTM_GETADDR dump rather than getifaddrs, because only netlink
// tells whether an address is permanent (configured) or has a lease lifetime (DHCP).
int plat_netif_addrs(PlatNetAddr* out, int max, int* count) {
  if (!count) return EINVAL;
  *count = 0;
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno ? errno : EIO;
  struct {
    struct nlmsghdr nh;
    struct ifaddrmsg ifa;
  } req;
  std::memset(&req, 0, sizeof req);
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(struct ifaddrmsg));
  req.nh.nlmsg_type = RTM_GETADDR;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.nh.nlmsg_seq = 1;
  req.ifa.ifa_family = AF_INET;
  if (send(fd, &req, req.nh.nlmsg_len, 0) < 0) {
    int e = errno;
    close(fd);
    return e ? e : EIO;
  }
  // Link states by index, so each row can say whether its interface is connected.
  struct LinkState {
    unsigned index;
    int connected;
  };
  LinkState links[64];
  int nlinks = 0;
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) == 0) {
    for (struct ifaddrs* a = all; a && nlinks < 64; a = a->ifa_next) {
      if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name) continue;
      const struct sockaddr_ll* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
      links[nlinks].index = static_cast<unsigned>(ll->sll_ifindex);
      links[nlinks].connected = link_connected(a->ifa_name, a->ifa_flags);
      nlinks++;
    }
    freeifaddrs(all);
  }
  alignas(struct nlmsghdr) char buf[16384];
  int rc = 0;
  bool done = false;
  while (!done) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = errno ? errno : EIO;
      break;
    }
    if (n == 0) break;
    size_t left = static_cast<size_t>(n);
    for (struct nlmsghdr* h = reinterpret_cast<struct nlmsghdr*>(buf); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        const struct nlmsgerr* err = static_cast<const struct nlmsgerr*>(NLMSG_DATA(h));
        rc = err->error ? -err->error : EIO;
        done = true;
        break;
      }
      if (h->nlmsg_type != RTM_NEWADDR) continue;
      const struct ifaddrmsg* ifa = static_cast<const struct ifaddrmsg*>(NLMSG_DATA(h));
      if (ifa->ifa_family != AF_INET) continue;
      unsigned flags = ifa->ifa_flags;
      const unsigned char* addr = nullptr;
      const unsigned char* local = nullptr;
      int alen = static_cast<int>(IFA_PAYLOAD(h));
      for (const struct rtattr* at = IFA_RTA(ifa); RTA_OK(at, alen); at = RTA_NEXT(at, alen)) {
        if (at->rta_type == IFA_ADDRESS && RTA_PAYLOAD(at) >= 4)
          addr = static_cast<const unsigned char*>(RTA_DATA(at));
        else if (at->rta_type == IFA_LOCAL && RTA_PAYLOAD(at) >= 4)
          local = static_cast<const unsigned char*>(RTA_DATA(at));
        else if (at->rta_type == IFA_FLAGS && RTA_PAYLOAD(at) >= 4)
          std::memcpy(&flags, RTA_DATA(at), 4);
      }
      if (local) addr = local;  // on point-to-point links IFA_ADDRESS is the peer
      if (!addr || *count >= max) continue;
      PlatNetAddr& r = out[(*count)++];
      r.if_index = ifa->ifa_index;
      std::memcpy(r.addr, addr, 4);
      r.dynamic = (flags & IFA_F_PERMANENT) ? 0 : 1;
      r.disconnected = 1;
      for (int i = 0; i < nlinks; i++)
        if (links[i].index == r.if_index) r.disconnected = !links[i].connected;
    }
  }
  close(fd);
  return rc;
}

// The process table of the real machine (not the system root): whether NetworkManager is
// running is a fact about this host, not fixture data.
int plat_nm_running() {
  DIR* d = opendir("/proc");
  if (!d) return 0;
  int found = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char path[300], comm[64];
    std::snprintf(path, sizeof path, "/proc/%s/comm", e->d_name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n = read(fd, comm, sizeof comm - 1);
    close(fd);
    if (n <= 0) continue;
    comm[n] = '\0';
    comm[std::strcspn(comm, "\n")] = '\0';
    if (std::strcmp(comm, "NetworkManager") == 0) {
      found = 1;
      break;
    }
  }
  closedir(d);
  return found;
}

int plat_nm_connection(const char* ifname, char* out, size_t size) {
  if (!ifname || !out || size == 0) return EINVAL;
  out[0] = '\0';
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return errno ? errno : EIO;
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    close(p[0]);
    close(p[1]);
    return e ? e : EIO;
  }
  if (pid == 0) {
    dup2(p[1], 1);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, 2);
    execlp("nmcli", "nmcli", "-g", "GENERAL.CONNECTION", "device", "show", ifname,
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  size_t got = 0;
  char sink[256];
  for (;;) {
    char* dst = got < size - 1 ? out + got : sink;
    size_t room = got < size - 1 ? size - 1 - got : sizeof sink;
    ssize_t n = read(p[0], dst, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (dst == out + got) got += static_cast<size_t>(n);
  }
  close(p[0]);
  out[got] = '\0';
  out[std::strcspn(out, "\n")] = '\0';
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    out[0] = '\0';
    return PLAT_NETIF_NONE;
  }
  return out[0] ? 0 : PLAT_NETIF_NONE;
}

int plat_is_privileged() { return geteuid() == 0; }

int plat_address_tool() { return PLAT_ADDR_OWN_TOOLS; }

namespace {

constexpr int kRunWords = 32;
constexpr size_t kRunText = 1024;

// Splits params into words in place: blanks and tabs separate, double quotes group and
// are dropped, a backslash before a quote keeps the quote. Returns the count, or -1 when
// there are more than max words.
int split_words(char* text, char** words, int max) {
  int count = 0;
  char* in = text;
  while (*in) {
    while (*in == ' ' || *in == '\t') ++in;
    if (!*in) break;
    if (count == max) return -1;
    char* out = in;
    words[count++] = out;
    bool quoted = false;
    for (; *in && (quoted || (*in != ' ' && *in != '\t')); ++in) {
      if (in[0] == '\\' && in[1] == '"') *out++ = *++in;
      else if (*in == '"') quoted = !quoted;
      else *out++ = *in;
    }
    if (*in) ++in;
    *out = '\0';
  }
  return count;
}

}  // namespace

int plat_run_elevated(const char* program, const char* params, int wait, int* exit_code) {
  if (!program || !*program) return EINVAL;
  char text[kRunText];
  int n = std::snprintf(text, sizeof text, "%s", params ? params : "");
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) return E2BIG;
  const char* argv[kRunWords + 3];
  int argc = 0;
  if (!plat_is_privileged()) argv[argc++] = "pkexec";
  argv[argc++] = program;
  int words = split_words(text, const_cast<char**>(argv + argc), kRunWords);
  if (words < 0) return E2BIG;
  argc += words;
  argv[argc] = nullptr;
  if (!wait) return plat_launch_detached(argv);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (rc != 0) return rc;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return 0;
}
