// Traffic that leaves loopback (subnet broadcast, this computer's own address, beacons
// naming the real host, the fixed port) and name lookups, each in a child process with
// private network, host-name and mount namespaces: lo is up and a veth pair carries
// 10.77.0.1/24, so nothing is ever sent outside. Skipped without root.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kSkip = 77, kPort = 5510;  // a private namespace: no other test holds the port
int g_failures = 0;

#define NS_CHECK(cond) \
  (void)((cond) || (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), ++g_failures))

// 70 characters: resolvable only as a whole.
const char* const kLongName = "a-rather-long-host-name-of-the-game-computer-on-the-isolated-link.local";

// Puts a file with text over target, seen only in this mount namespace.
bool bind_over(const char* dir, const char* target, const char* text) {
  const std::string path = dir + std::string(std::strrchr(target, '/'));
  FILE* f = std::fopen(path.c_str(), "w");
  const bool ok = f && std::fputs(text, f) >= 0;
  return f && std::fclose(f) == 0 && ok && mount(path.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

// Runs body(dns) in the namespaces; dns is a nameserver socket on the namespace's
// loopback that receives queries and never answers (resolv.conf names it, with a 5 s
// timeout), and the hosts file maps localhost (the host name here) and kLongName.
template <class F>
void in_namespace(F body) {
  if (geteuid() != 0) GTEST_SKIP() << "namespaces need root";
  char dir[] = "/tmp/lp-netns-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char hosts[192];
    std::snprintf(hosts, sizeof hosts, "127.0.0.1 localhost\n127.0.0.1 %s\n", kLongName);
    sockaddr_in a = loop_addr(53);
    int dns = -1;
    if (unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) != 0 || sethostname("localhost", 9) ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        std::system("ip link set lo up && ip link add lpv0 type veth peer name lpv1 && "
                    "ip addr add 10.77.0.1/24 dev lpv0 && ip link set lpv1 up && ip link set lpv0 up") != 0 ||
        !bind_over(dir, "/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n") ||
        !bind_over(dir, "/etc/hosts", hosts) || (dns = socket(AF_INET, SOCK_DGRAM, 0)) < 0 ||
        bind(dns, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      _exit(kSkip);
    body(dns);
    std::fflush(nullptr);
    _exit(g_failures == 0 ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
  const int rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  if (rc == kSkip) GTEST_SKIP() << "no namespaces (needs iproute2 and mount rights)";
  EXPECT_EQ(rc, 0) << "see the child's messages above";
}

// A server and a client on address, connected, both without beacons.
void pair(Connection* s, Connection* c, const char* address) {
  NS_CHECK(conn_connect(s, "ethernet", address, kPort, 1 | 32) == 0 && conn_connect(c, "ethernet", address, kPort, 32) == 0);
  NS_CHECK(wait_for([&] { return status_of(c) != 0 && status_of(s) == 3; }, 8000));
}

}  // namespace

TEST(EthNamespace, BroadcastReachesTheSubnetAndOwnAddressIsReached) {
  in_namespace([](int) {
    Connection* s = conn_alloc();
    Connection* c = conn_alloc();
    pair(s, c, "127.0.0.1");
    const uint8_t want[4] = {10, 77, 0, 1};
    NS_CHECK(std::memcmp(s->local_ip, want, 4) == 0);
    // Class 4 goes to 10.77.0.255 at udp_port, where the client's datagram socket is.
    conn_set_class(s, 200, 200, 4);
    NS_CHECK(send_built(s, 200, 5, "to everyone") == 0);
    uint8_t buf[qc::kMaxMessage];
    NS_CHECK(receive_wait(c, 1, buf, sizeof buf, 3000) == 19 && buf[0] == 200 && buf[1] == 5);
    int raw = socket(AF_INET, SOCK_DGRAM, 0), one = 1;  // the wire shows the address
    setsockopt(raw, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loop_addr(kPort);
    a.sin_addr.s_addr = inet_addr("10.77.0.255");
    timeval tv{3, 0};
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    NS_CHECK(bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    NS_CHECK(send_built(s, 200, 6, "again") == 0 && recv(raw, buf, sizeof buf, 0) == 13);
    close(raw);
    // A client reaches a server at this computer's own address; the server answers
    // datagrams at the address the client came from.
    pair(s, c, "10.77.0.1");
    NS_CHECK(c->loopback == 0 && send_built(c, 224, 4, "own address") == 0 && receive_wait(s, 0, buf, sizeof buf, 3000) == 19);
    NS_CHECK(send_built(s, 165, 1, "dgram") == 0 && receive_wait(c, 1, buf, sizeof buf, 3000) == 13);
    conn_free(c);
    conn_free(s);
  });
}

TEST(EthNamespace, DefaultPortAndBeaconsOfTheRealServer) {
  in_namespace([](int) {
    ScratchDir dir("RECORD=1\n");
    Connection* c = conn_alloc();
    Connection* s = conn_alloc();
    qc::NetAddr4 ludp, lsrv, lsrvu;
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", 0, 64) == 0 && conn_connect(s, "ethernet", "127.0.0.1", 0, 1) == 0);
    NS_CHECK(sock_local_name(int(c->udp_socket), &ludp) == 0 && sock_local_name(int(s->tcp_socket), &lsrv) == 0 &&
             sock_local_name(int(s->udp_socket), &lsrvu) == 0);
    NS_CHECK(results({c->tcp_port, c->udp_port, sock_addr_port(&c->tcp_peer), sock_addr_port(&c->udp_peer),
                      sock_addr_port(&ludp), sock_addr_port(&lsrv), sock_addr_port(&lsrvu)}) ==
             "5510 5510 5510 5511 5510 5510 5511");
    sleep_ms(2600);
    // The host name "localhost" resolves to the server's address: matched, not queued.
    NS_CHECK(conn_poll(c, 1) == 0);
    conn_free(s);
    conn_free(c);
    const int matched = int(events(dir.capture(""), 125).size()), sent = int(events(dir.capture(""), 43).size());
    NS_CHECK(sent >= 2 && matched >= 1 && matched >= sent - 1);
  });
}

TEST(EthNameLookup, ConnectResolvesTheWholeAddressAndDisconnectIsBoundedInALookup) {
  in_namespace([](int dns) {
    int port = free_port_base();
    Connection* c = conn_alloc();
    NS_CHECK(std::strlen(kLongName) > sizeof c->host - 1 && conn_connect(c, "ethernet", kLongName, port, 64) == 0);
    NS_CHECK(std::strncmp(c->host, kLongName, sizeof c->host - 1) == 0 && c->host[sizeof c->host - 1] == 0);
    NS_CHECK(c->tcp_peer.addr[0] == 127 && c->tcp_peer.addr[3] == 1);
    conn_free(c);
    c = conn_alloc();
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", port, 64) == 0);
    int u = raw_udp(0);
    auto beacon = make_msg(237, 1, std::string("game-box-unknown").append(48, '\0'), 0);  // a server's announcement
    NS_CHECK(raw_sendto(u, port, beacon.data(), beacon.size()));
    timeval tv{3, 0};
    setsockopt(dns, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t q[512];
    NS_CHECK(recv(dns, q, sizeof q, 0) > 0);  // the worker is resolving the name now
    auto t0 = std::chrono::steady_clock::now();
    conn_free(c);
    NS_CHECK(std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(2000));
    close(u);
  });
}
