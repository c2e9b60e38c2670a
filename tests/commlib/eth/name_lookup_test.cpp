// Name lookups against a resolver that never answers. Each test runs in a child process
// with its own network and mount namespaces: /etc/resolv.conf names a nameserver on that
// namespace's loopback that receives queries and never replies, and /etc/hosts maps a
// name longer than the block's host field to loopback. Skipped without root.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdlib>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kSkip = 77;
constexpr int kLookupSeconds = 5;
// 70 characters: resolvable only as a whole.
const char* const kLongName =
    "a-rather-long-host-name-of-the-game-computer-on-the-isolated-link.local";
int g_failures = 0;

#define NS_CHECK(cond)                                                              \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                                 \
    }                                                                               \
  } while (0)

bool write_file(const char* path, const char* text) {
  FILE* f = std::fopen(path, "w");
  if (!f) return false;
  bool ok = std::fputs(text, f) >= 0;
  return std::fclose(f) == 0 && ok;
}

bool bind_over(const char* dir, const char* name, const char* target, const char* text) {
  char path[256];
  std::snprintf(path, sizeof path, "%s/%s", dir, name);
  return write_file(path, text) && mount(path, target, nullptr, MS_BIND, nullptr) == 0;
}

// Runs body(silent_nameserver_socket) in a child inside fresh namespaces.
template <class F>
void with_silent_resolver(F body) {
  if (geteuid() != 0) GTEST_SKIP() << "namespaces need root";
  char dir[] = "/tmp/lp-resolver-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) != 0) _exit(kSkip);
    if (sethostname("localhost", 9) != 0) _exit(kSkip);  // found in the hosts file
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(kSkip);
    if (std::system("ip link set lo up") != 0) _exit(kSkip);
    char resolv[128], hosts[192];
    std::snprintf(resolv, sizeof resolv, "nameserver 127.0.0.1\noptions timeout:%d attempts:1\n",
                  kLookupSeconds);
    std::snprintf(hosts, sizeof hosts, "127.0.0.1 localhost\n127.0.0.1 %s\n", kLongName);
    if (!bind_over(dir, "resolv.conf", "/etc/resolv.conf", resolv) ||
        !bind_over(dir, "hosts", "/etc/hosts", hosts))
      _exit(kSkip);
    int dns = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loop_addr(53);
    if (dns < 0 || bind(dns, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) _exit(kSkip);
    body(dns);
    std::fflush(nullptr);
    _exit(g_failures == 0 ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  char cmd[64];
  std::snprintf(cmd, sizeof cmd, "rm -rf %s", dir);
  EXPECT_EQ(std::system(cmd), 0);
  int rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  if (rc == kSkip) GTEST_SKIP() << "no namespaces (needs iproute2 and mount rights)";
  EXPECT_EQ(rc, 0) << "see the child's messages above";
}

// Waits up to ms for a query to reach the silent nameserver.
bool query_seen(int dns, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(dns, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  uint8_t q[512];
  return recv(dns, q, sizeof q, 0) > 0;
}

}  // namespace

TEST(EthNameLookup, DisconnectIsBoundedWhileTheWorkerResolvesABeacon) {
  with_silent_resolver([](int dns) {
    int port = free_port_base();
    Connection* c = conn_alloc();
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", port, 64) == 0);  // UDP only
    int u = raw_udp(0);
    auto beacon = beacon_named("game-box-unknown", 1);
    NS_CHECK(raw_sendto(u, port, beacon.data(), beacon.size()));
    NS_CHECK(query_seen(dns, 3000));  // the worker is resolving the beacon's name now
    auto t0 = std::chrono::steady_clock::now();
    conn_free(c);
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - t0)
                       .count());
    std::printf("disconnect took %ld ms with a lookup held for %d s\n", ms, kLookupSeconds);
    NS_CHECK(ms < 2000);
    close(u);
  });
}

TEST(EthNameLookup, ConnectResolvesTheWholeAddress) {
  with_silent_resolver([](int) {
    int port = free_port_base();
    Connection* c = conn_alloc();
    NS_CHECK(std::strlen(kLongName) > sizeof c->host - 1);
    NS_CHECK(conn_connect(c, "ethernet", kLongName, port, 64) == 0);
    NS_CHECK(std::strncmp(c->host, kLongName, sizeof c->host - 1) == 0);
    NS_CHECK(c->host[sizeof c->host - 1] == 0);
    NS_CHECK(c->tcp_peer.addr[0] == 127 && c->tcp_peer.addr[3] == 1);
    conn_free(c);
  });
}
