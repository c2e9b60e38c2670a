// Traffic that leaves loopback (subnet broadcast, this computer's own address, beacons
// naming the real host) runs in a private network namespace created per test: a child
// process unshares the network (and host name), brings lo up and adds a veth pair
// with 10.77.0.1/24, so nothing is ever sent outside it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kSkip = 77;
int g_failures = 0;

#define NS_CHECK(cond)                                                           \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                              \
    }                                                                            \
  } while (0)

// Runs body in a child inside a fresh namespace and expects it to pass.
template <class F>
void in_namespace(F body) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0) _exit(kSkip);
    if (sethostname("localhost", 9) != 0) _exit(kSkip);
    int rc = std::system(
        "ip link set lo up && ip link add lpv0 type veth peer name lpv1 && "
        "ip addr add 10.77.0.1/24 dev lpv0 && ip link set lpv1 up && ip link set lpv0 up");
    if (rc != 0) _exit(kSkip);
    body();
    std::fflush(nullptr);
    _exit(g_failures == 0 ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  int rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  if (rc == kSkip) GTEST_SKIP() << "no network namespace (needs iproute2)";
  EXPECT_EQ(rc, 0) << "see the child's messages above";
}

}  // namespace

TEST(EthNamespace, BroadcastReachesTheSubnet) {
  in_namespace([] {
    const int port = 5510;  // private namespace: no other test can hold it
    Connection* s = conn_alloc();
    Connection* c = conn_alloc();
    NS_CHECK(conn_connect(s, "ethernet", "127.0.0.1", port, 1 | 32) == 0);
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", port, 32) == 0);
    NS_CHECK(wait_for([&] { return status_of(c) != 0 && status_of(s) == 3; }, 8000));
    const uint8_t want[4] = {10, 77, 0, 1};
    NS_CHECK(std::memcmp(s->local_ip, want, 4) == 0);
    // Class 4 goes to 10.77.0.255 at udp_port, where the client's datagram socket is.
    conn_set_class(s, 200, 200, 4);
    NS_CHECK(send_built(s, 200, 5, "to everyone") == 0);
    uint8_t buf[qc::kMaxMessage];
    int n = receive_wait(c, 1, buf, sizeof buf, 3000);
    NS_CHECK(n == 19);
    NS_CHECK(buf[0] == 200 && buf[1] == 5);
    // Watch the wire too: a raw socket on the same port sees the broadcast address.
    int raw = socket(AF_INET, SOCK_DGRAM, 0), one = 1;
    setsockopt(raw, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loop_addr(port);
    a.sin_addr.s_addr = inet_addr("10.77.0.255");
    NS_CHECK(bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    timeval tv{3, 0};
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    NS_CHECK(send_built(s, 200, 6, "again") == 0);
    NS_CHECK(recv(raw, buf, sizeof buf, 0) == 13);
    close(raw);
    conn_free(c);
    conn_free(s);
  });
}

TEST(EthNamespace, ClientReachesServerAtOwnAddress) {
  in_namespace([] {
    const int port = 5510;
    Connection* s = conn_alloc();
    Connection* c = conn_alloc();
    NS_CHECK(conn_connect(s, "ethernet", "10.77.0.1", port, 1 | 32) == 0);
    NS_CHECK(conn_connect(c, "ethernet", "10.77.0.1", port, 32) == 0);
    NS_CHECK(c->loopback == 0);
    NS_CHECK(wait_for([&] { return status_of(c) != 0 && status_of(s) == 3; }, 8000));
    NS_CHECK(send_built(c, 224, 4, "own address") == 0);
    uint8_t buf[qc::kMaxMessage];
    NS_CHECK(receive_wait(s, 0, buf, sizeof buf, 3000) == 19);
    // The server answers datagrams at the address the client came from.
    NS_CHECK(send_built(s, 165, 1, "dgram") == 0);
    NS_CHECK(receive_wait(c, 1, buf, sizeof buf, 3000) == 13);
    conn_free(c);
    conn_free(s);
  });
}

TEST(EthNamespace, RealServerBeaconsAreMatched) {
  in_namespace([] {
    // The namespace's host name is "localhost", which resolves to the server's address.
    ScratchDir dir("RECORD=1\n");
    const int port = 5510;
    Connection* s = conn_alloc();
    Connection* c = conn_alloc();
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", port, 64) == 0);  // UDP only
    NS_CHECK(conn_connect(s, "ethernet", "127.0.0.1", port, 1) == 0);
    sleep_ms(2600);
    uint8_t buf[qc::kMaxMessage];
    NS_CHECK(rx_receive(c, 1, buf, sizeof buf) == 0);  // matched beacons are not queued
    conn_free(s);
    conn_free(c);
    const auto recs = dir.capture("");
    int matched = count_events(recs, 125), sent = count_events(recs, 43);
    NS_CHECK(sent >= 2);
    NS_CHECK(matched >= 1 && matched >= sent - 1);
  });
}

TEST(EthNamespace, DefaultPortIs5510) {
  // In its own namespace the fixed port is free whatever runs on the machine.
  in_namespace([] {
    Connection* c = conn_alloc();
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", 0, 0) == 0);
    NS_CHECK(c->tcp_port == 5510 && c->udp_port == 5510);
    NS_CHECK(sock_addr_port(&c->tcp_peer) == 5510);
    NS_CHECK(sock_addr_port(&c->udp_peer) == 5511);
    qc::NetAddr4 local;
    NS_CHECK(sock_local_name(int(c->udp_socket), &local) == 0 && sock_addr_port(&local) == 5510);
    conn_free(c);

    int watch = raw_udp(5510);  // where the server's beacons go
    Connection* s = conn_alloc();
    NS_CHECK(conn_connect(s, "ethernet", "127.0.0.1", 0, 1) == 0);
    NS_CHECK(sock_local_name(int(s->tcp_socket), &local) == 0 && sock_addr_port(&local) == 5510);
    NS_CHECK(sock_local_name(int(s->udp_socket), &local) == 0 && sock_addr_port(&local) == 5511);
    uint8_t b[128];
    NS_CHECK(wait_for([&] { return recv(watch, b, sizeof b, 0) == 72 && b[0] == 237; }, 4000));
    close(watch);
    conn_free(s);
  });
}
