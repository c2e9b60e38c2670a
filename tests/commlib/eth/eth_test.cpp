// The ethernet transport over loopback: connect rules (transport text, flags, ports,
// failing steps) and the send checks, server and client objects with raw peers standing in
// for the other side, the socket seam's own promises, a server under hostile traffic and
// the resource soak. Traffic that leaves loopback (subnet broadcast, this computer's own
// address, beacons naming the real host, the fixed port) and name lookups run each in a
// child process with private network, host-name and mount namespaces: lo is up and a veth
// pair carries 10.77.0.1/24, so nothing is ever sent outside. Those are skipped without root.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>

#include "tests/commlib/eth/eth_test_util.h"
#include "tests/support/temp_root.h"

using namespace ethtest;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct Obj {
  Connection* c = conn_alloc();
  ~Obj() { conn_free(c); }
};

// Sends on from and expects the same type, command and payload on to's channel only.
void expect_delivery(Connection* from, Connection* to, uint8_t type, int channel, const std::string& text) {
  ASSERT_EQ(send_built(from, type, 7, text), 0);
  uint8_t buf[qc::kMaxMessage];
  const int n = receive_wait(to, channel, buf, sizeof buf, 5000);
  EXPECT_EQ((Seq() << n << buf[0] << buf[1] << std::string(reinterpret_cast<char*>(buf) + 4, size_t(std::max(n - 8, 0)))).s,
            (Seq() << long(text.size() + 8) << type << 7 << text).s) << "channel " << channel;
  EXPECT_EQ(rx_receive(to, 1 - channel, buf, sizeof buf), 0) << "nothing on the other channel";
}

TEST(EthLoopback, ClientFirstThenServerEchoesOnBothChannelsAndCaptures) {
  const int port = free_port_base();
  Obj s, c;
  Connection *server = s.c, *client = c.c;
  ScratchDir dir("RECORD=1\n");
  ASSERT_NE(port, 0);
  ASSERT_EQ(conn_connect(client, "ethernet", "127.0.0.1", port, 0), 0);
  sleep_ms(1200);  // keeps trying until the server arrives
  EXPECT_EQ(results({status_of(client), ETH_LOAD(client, connect_state) > 0, ETH_LOAD(client, thread_running)}), "0 1 1");
  ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, 1), 0);
  EXPECT_EQ(results({ETH_LOAD(server, listen_state), server->tcp_port}), results({0, port}));
  ASSERT_TRUE(wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, 8000));
  EXPECT_TRUE((std::set<int>{1, 2, 4}.count(status_of(client)) && ETH_LOAD(server, connect_state) == -3)) << status_of(client);
  expect_delivery(client, server, 224, 0, "echo request");
  expect_delivery(server, client, 224, 0, "echo answer");
  // Class 1 types travel by UDP while the TCP connection is up; the class decides.
  expect_delivery(client, server, 160, 1, "datagram up");
  expect_delivery(server, client, 175, 1, "datagram down");
  conn_set_class(client, 200, 200, 1);
  expect_delivery(client, server, 200, 1, "reclassed");
  // A second client replaces the first: the server closes the first one's stream.
  const int second = raw_tcp_connect(port);
  EXPECT_TRUE(second >= 0 && wait_for([&] { return status_of(client) == 0; }, 5000));
  close(second);
  conn_disconnect(client);
  conn_disconnect(server);
  EXPECT_EQ(files_in("."), (std::set<std::string>{"ZRCLOG.INI", "zrcCRX10.bin", "zrcCTX20.bin", "zrcSRX30.bin", "zrcSTX40.bin"}));
  // Connect records the TCP socket (50) before the worker's text record (100); then the
  // connection (104 or 126), the message got (108, 19 bytes), queued (0) and sent (42).
  const auto rx = dir.capture("CRX"), tx = dir.capture("CTX");
  const auto got = events(rx, 108), queued = events(rx, 0), sent = events(tx, 42);
  ASSERT_TRUE(rx.size() >= 2 && !got.empty() && !queued.empty() && !sent.empty());
  EXPECT_EQ(results({rx[0].kind, rx[0].code, rx[0].first, rx[0].second, rx[1].kind, rx[1].code}), "0 50 9 0 1 100");
  EXPECT_EQ(rx[1].text, std::to_string(port) + " 0.0.0.0");
  EXPECT_EQ(results({events(rx, 104).size() + events(rx, 126).size() > 0, got[0]->first, queued[0]->first & 0xffff,
                     events(rx, 91).size() * events(rx, 51).size() * events(rx, 53).size() > 0, sent[0]->first, sent[0]->second}),
            results({1, 19, 224 | 7 << 8, 1, 224 | 7 << 8 | 20 << 16, 1}));
}

// Another socket took the port between the bind and the listen: the worker still beacons
// and serves datagrams, says so once and does not spin on accept.
TEST(EthFailedListen, ServerStillBeaconsAndServesDatagrams) {
  const int port = free_port_base();
  lpcap::TraceFile trace;
  Connection* c = conn_alloc();
  c->transport = 1, c->is_server = 1, c->tcp_port = uint32_t(port);
  int other = bound_socket(SOCK_STREAM, port, true), listener = sock_create(kSockStream);
  int udp = sock_create(kSockDatagram), peer = raw_udp(port), wake = sock_wake_create();
  ASSERT_EQ(results({sock_set_reuseaddr(listener), sock_bind_any(listener, uint16_t(port)), listen(other, 4),
                     sock_bind_any(udp, uint16_t(port + 1))}),
            "0 0 0 0");
  const uint8_t lo[4] = {127, 0, 0, 1};
  qc::NetAddr4 to;
  sock_addr_make(&to, lo, uint16_t(port));
  qc::eth_peer_set(c, to);
  ETH_STORE(c, tcp_socket, listener);
  ETH_STORE(c, udp_socket, udp);
  ETH_STORE(c, run, 1);
  std::thread worker(qc::eth_server_thread, c, wake);
  auto d = make_msg(161, 1, "served", 1);
  uint8_t buf[qc::kMaxMessage];
  EXPECT_TRUE(raw_sendto(peer, port + 1, d.data(), d.size()) && receive_wait(c, 1, buf, sizeof buf, 2000) == int(d.size()));
  int beacons = 0;
  for (auto end = Clock::now() + Ms(3500); Clock::now() < end;) beacons += recv(peer, buf, sizeof buf, 0) == 72 && buf[0] == 237;
  ETH_STORE(c, run, 0);
  sock_wake_signal(wake);
  worker.join();
  const std::string text = trace.text();
  const size_t listen_error = text.find("S listen error");
  EXPECT_TRUE(listen_error != std::string::npos && listen_error == text.rfind("S listen error") &&
              text.find("S accept error") == std::string::npos && beacons >= 1) << text;
  for (int s : {other, listener, udp, peer, wake}) close(s);
  ETH_STORE(c, tcp_socket, 0);
  ETH_STORE(c, udp_socket, 0);
  conn_free(c);
}

// A flush (conn_reset) while the worker appends a stream in random pieces: messages come
// out whole, and one with bytes on both sides of a flush that ended between them never
// does (a flush is never undone). Message k: 1000 bytes, all below 128 but the type and
// the length's low byte, so a piece that starts inside a message is discarded.
TEST(EthFlushRace, AFlushIsNeverUndoneByTheAppendItMeets) {
  constexpr int kMessages = 1000000;
  auto message = [](int k) {
    std::vector<uint8_t> m = make_msg(0xE5, 9, std::string(992, '\0'), 0);
    for (int i = 4; i < 1000; ++i) m[size_t(i)] = uint8_t(7 + (k + i) % 121);
    for (int i = 0, d = 1; i < 3; ++i, d *= 121) m[size_t(996 + i)] = uint8_t(7 + k / d % 121);
    return m;
  };
  Obj o;
  o.c->transport = 1;
  std::atomic<int> starts{0}, ends{0};
  std::atomic<bool> finished{false};
  std::vector<std::atomic<bool>> doomed(kMessages);
  std::thread worker([&] {
    std::mt19937 gen(7);
    const auto end = Clock::now() + Ms(1500);
    for (int k = 0, s = 0; k < kMessages && Clock::now() < end; ++k) {
      const std::vector<uint8_t> m = message(k);
      for (size_t at = 0, piece; at < m.size(); at += piece) {
        piece = std::min(m.size() - at, size_t(1 + gen() % 300));
        if (at > 0 && at + piece == m.size()) doomed[size_t(k)] = ends.load() > s;
        qc::eth_stream_append(o.c, m.data() + at, int(piece), qc::kClientStreamEvents);
        if (at == 0) s = starts.load();
      }
    }
    finished = true;
  });
  int taken = 0, bad = 0;
  uint8_t buf[qc::kMaxMessage];
  while (!finished) {
    ++starts;
    conn_reset(o.c);
    ++ends;
    for (int n; (n = rx_receive(o.c, 0, buf, sizeof buf)) > 0; ++taken) {
      const int k = (buf[996] - 7) + 121 * (buf[997] - 7) + 14641 * (buf[998] - 7);
      bad += n != 1000 || k < 0 || k >= kMessages || std::memcmp(buf, message(k).data(), 1000) != 0 || doomed[size_t(k)];
    }
  }
  worker.join();
  EXPECT_EQ(results({taken > 0, bad}), "1 0") << taken;
}

// Handles never take 0..2, even when those are free, and are closed on exec; the error
// classes of the seam.
TEST(EthSeam, HandlesAboveTheStandardOnesAndErrorClasses) {
  const int saved = dup(0);
  close(0);  // the lowest free number is now 0
  const int s = sock_create(kSockDatagram), w = sock_wake_create();
  EXPECT_TRUE(dup2(saved, 0) == 0 && close(saved) == 0);
  EXPECT_TRUE(s >= 3 && w >= 3 && (fcntl(s, F_GETFD) & FD_CLOEXEC) && (fcntl(w, F_GETFD) & FD_CLOEXEC)) << s << " " << w;
  EXPECT_EQ(results({!!sock_err_would_block(EINPROGRESS), !!sock_err_would_block(EALREADY),
                     !!sock_err_would_block(EWOULDBLOCK), !!sock_err_would_block(ECONNREFUSED),
                     !!sock_err_invalid(EINVAL), !!sock_err_already_connected(EISCONN), !!sock_err_net_down(ENETDOWN)}),
            "1 1 1 0 1 1 1");
  EXPECT_EQ(results({sock_close(s), sock_wake_close(w)}), "0 0");
}

// Time a thread of this process has run, in ms (-1: unknown).
long thread_cpu_ms(uint32_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%u/schedstat", tid);
  FILE* f = std::fopen(path, "r");
  unsigned long long ns = 0;
  const bool ok = f && std::fscanf(f, "%llu", &ns) == 1;
  return f && std::fclose(f) == 0 && ok ? long(ns / 1000000) : -1;
}

void drain(Connection* c) { for (uint8_t buf[qc::kMaxMessage]; rx_receive(c, -1, buf, sizeof buf) > 0;) continue; }

// A message head claiming length, padded to total bytes.
std::vector<uint8_t> header(uint8_t type, uint16_t length, size_t total) {
  std::vector<uint8_t> m(total, 0x5a);
  m[0] = type, m[1] = 1, m[2] = uint8_t(length), m[3] = uint8_t(length >> 8);
  return m;
}

// A library client connects to server, which echoes one stream message back.
void expect_session(int port, Connection* server, int flags) {
  Connection* c = conn_alloc();
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, flags), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(c) != 0 && status_of(server) == 3; }, 10000));
  drain(server);
  ASSERT_EQ(send_built(c, 224, 4, "still alive?"), 0);
  const int n = receive_wait(server, 0, buf, sizeof buf, 5000);
  ASSERT_EQ(results({n, conn_send(server, buf, n), receive_wait(c, 0, buf, sizeof buf, 5000)}), "20 0 20");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 4), 12), "still alive?");
  conn_free(c);
}

// The namespace runs.
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

TEST(EthConnect, TransportTextAndFlags) {
  int port = free_port_base();
  Obj o;
  // The prefix is case-sensitive.
  EXPECT_EQ(results({conn_connect(o.c, "Ethernet", "127.0.0.1", port, 0),
                     conn_connect(o.c, "ether", "127.0.0.1", port, 0),
                     conn_connect(o.c, nullptr, "127.0.0.1", port, 0), o.c->thread}),
            "1 1 1 0");
  // Flags 16, 32, 64 and the "127.0.0.1" rule; the address is then ignored.
  ASSERT_EQ(conn_connect(o.c, "ethernet2", "10.11.12.13", port, 16 | 32 | 64), 0);
  EXPECT_EQ(results({o.c->transport, o.c->loopback, o.c->no_beacon, o.c->udp_only, o.c->is_server,
                     o.c->tcp_peer.addr[0], sock_addr_port(&o.c->tcp_peer) - port,
                     sock_addr_port(&o.c->udp_peer) - port, std::string(o.c->host) == "127.0.0.1",
                     std::strlen(o.c->local_hostname) > 0,
                     wait_for([&] { return ETH_LOAD(o.c, thread_running) == 1; }, 2000)}),
            "1 1 1 1 0 127 0 1 1 1 1");
  // Connecting again stops the earlier worker first; the flags are taken afresh and the
  // address alone sets loopback.
  ASSERT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 0), 0);
  EXPECT_EQ(results({o.c->loopback, o.c->no_beacon, o.c->udp_only, conn_disconnect(o.c), o.c->thread,
                     o.c->tcp_socket, o.c->udp_socket, o.c->thread_running}),
            "1 0 0 0 0 0 0 0");
  EXPECT_EQ(conn_connect(o.c, "Ethernet", "127.0.0.1", port, 0), 1);  // after a disconnect: nothing to release
  // An unregistered block is refused without being touched.
  std::vector<uint8_t> raw(qc::kObjectSize, 0xAB);
  Connection* fake = reinterpret_cast<Connection*>(raw.data());
  EXPECT_EQ(results({conn_connect(fake, "ethernet", "127.0.0.1", port, 0), eth_disconnect(fake),
                     conn_disconnect(fake), eth_reconnect(fake, 0), eth_send(fake, raw.data(), 8),
                     raw[0], raw[qc::kObjectSize - 1]}),
            "0 1 0 1 1 171 171");
}

TEST(EthConnect, FailingStepsReturnTheirNumbers) {
  ScratchDir dir("RECORD=1\nWRITENOW=1\n");
  int port = free_port_base();
  {
    Obj o;
    o.c->loopback = 0;
    int r = conn_connect(o.c, "ethernet", "", port, 0);  // nothing to look up
    EXPECT_TRUE(r != 0 && r != 1 && o.c->thread == 0) << r;
  }
  // Blockers hold the ports without SO_REUSEADDR; the server's UDP port is P + 1.
  int udp_block = bound_socket(SOCK_DGRAM, port + 1), tcp_block = -1;
  ASSERT_GE(udp_block, 0);
  {
    Obj o;
    EXPECT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 1), 3);
    // The failed start keeps its UDP socket until the next connect, here to serial.
    EXPECT_NE(o.c->udp_socket, 0u);
    TempRoot root;  // COM1 of a root whose port map is empty: the machine's own ports are left alone
    root.mkdir("dev");
    conn_connect(o.c, "serial", "COM1", 9600, 0);
    EXPECT_EQ(results({o.c->transport, o.c->udp_socket, o.c->tcp_socket}), "0 0 0");
  }
  close(udp_block);
  ASSERT_TRUE((tcp_block = bound_socket(SOCK_STREAM, port)) >= 0 && listen(tcp_block, 1) == 0);
  EXPECT_EQ(conn_connect(Obj().c, "ethernet", "127.0.0.1", port, 1), 5);
  close(tcp_block);
  // The failures were recorded (event 93 with the step) and the files closed.
  int steps = 0;
  for (const auto& r : dir.capture("")) steps |= r.kind == 0 && r.code == 93 ? 1 << r.first : 0;
  EXPECT_EQ(steps, (1 << 1) | (1 << 3) | (1 << 5));
}

TEST(EthSend, ChecksBeforeAnythingIsSent) {
  int port = free_port_base();
  int u = raw_udp(port + 1);
  Obj o;
  ASSERT_TRUE(u >= 0 && conn_connect(o.c, "ethernet", "127.0.0.1", port, 64) == 0);
  auto big = make_msg(224, 0, std::string(1593, 0), 0), low = make_msg(0x7f, 0, "x", 1);
  auto zero = make_msg(0x90, 0, "", 1), ok = make_msg(0x90, 3, "abcd", 5);
  zero[2] = zero[3] = 0;
  uint8_t b[2000];
  // Too long, a low type, a zero length: refused with nothing sent.
  EXPECT_EQ(results({conn_send(o.c, big.data(), 0), conn_send(o.c, big.data(), 1601),
                     conn_send(o.c, low.data(), 0), conn_send(o.c, zero.data(), 8),
                     conn_send(nullptr, zero.data(), 8), msg_length(nullptr, big.data()),
                     recv(u, b, sizeof b, 0)}),
            "32 32 33 34 0 1601 -1");
  // len 0 takes the length field; a shorter len sends only that much.
  EXPECT_EQ(results({conn_send(o.c, ok.data(), 0), recv(u, b, sizeof b, 0), conn_send(o.c, ok.data(), 10),
                     recv(u, b, sizeof b, 0)}),
            "0 12 0 10");
  // A reconnect attempt pokes the server (type 239); attempt 0 starts afresh.
  EXPECT_EQ(results({eth_reconnect(o.c, 5), recv(u, b, sizeof b, 0), b[0], eth_reconnect(o.c, 0)}), "0 8 239 0");
  // A worker that stopped by itself leaves its sockets: a reconnect releases them first.
  ETH_STORE(o.c, run, 0);
  ASSERT_TRUE(wait_for([&] { return ETH_LOAD(o.c, thread_running) == 0; }, 5000));
  EXPECT_EQ(results({eth_reconnect(o.c, 5), wait_for([&] { return ETH_LOAD(o.c, thread_running) == 1; }, 5000)}), "0 1");
  close(u);
}

TEST(EthHostile, ServerSurvivesGarbageAndStillServes) {
  int port = free_port_base();
  Connection* s = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, 1), 0);
  ASSERT_TRUE(wait_for([&] { return ETH_LOAD(s, thread_id) != 0; }, 2000));
  const uint32_t tid = ETH_LOAD(s, thread_id);
  std::mt19937 gen(1234);
  auto random_bytes = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(gen());
    return v;
  };
  // Stream garbage: random bytes, impossible lengths, a low first byte, half a message
  // (a held half message must not be completed by the next client's bytes), and
  // connections that say nothing.
  std::vector<std::vector<uint8_t>> blasts = {header(0x20, 16, 16), header(0xE0, 100, 50), header(0xE0, 1600, 900)};
  for (uint16_t len : {0, 7, 1609, 65535}) blasts.insert(blasts.begin(), header(0xE0, len, 4000));
  for (int i = 0; i < 5; ++i) blasts.insert(blasts.begin(), random_bytes(65536));
  blasts.resize(blasts.size() + 200);
  for (const auto& bytes : blasts) {
    const int t = raw_tcp_connect(port);
    // Let the server take the bytes before the close.
    if (t >= 0 && raw_send_all(t, bytes.data(), bytes.size()) && !bytes.empty()) sleep_ms(50);
    if (t >= 0) close(t);
  }
  // Datagrams: 10,000 of every size, oversize ones included, plus forged beacons, pokes
  // and messages over a slot.
  int u = raw_udp(0), sent = 0;
  ASSERT_GE(u, 0);
  for (int i = 0; i < 10000; ++i) {
    auto d = i % 97 == 0   ? header(237, 72, 72)
             : i % 89 == 0 ? header(239, 8, 8)
             : i % 83 == 0 ? header(0xE1, 1601, 1601)
                           : random_bytes(i % 50 == 0 ? 1609 + size_t(gen() % 6000) : size_t(gen() % 1700));
    sent += raw_sendto(u, port + 1, d.data(), d.size());
    if (i % 500 == 0) drain(s);
  }
  close(u);
  sleep_ms(500);
  EXPECT_EQ(results({sent > 9000, ETH_LOAD(s, thread_running), conn_get_rx_dropped(s) > 100u}), "1 1 1")
      << "oversize ones dropped";
  drain(s);
  // Idle afterwards: the worker must not spin.
  const long before = thread_cpu_ms(tid), idle = (sleep_ms(2000), thread_cpu_ms(tid) - before);
  EXPECT_TRUE(before >= 0 && idle < 500 && before < 30000) << before << " ms during the attack, " << idle << " ms in 2 s idle";
  expect_session(port, s, 32);
  conn_free(s);
}

TEST(EthHostile, SoakReleasesDescriptorsAndThreads) {
  // A first cycle, so that lazily started helpers (a sanitizer's thread) are counted.
  ASSERT_EQ(conn_connect(Obj().c, "ethernet", "127.0.0.1", free_port_base(), 32), 0);
  const int fds = count_entries("/proc/self/fd"), tasks = count_entries("/proc/self/task");
  int port = free_port_base();
  ASSERT_NE(port, 0);
  for (int i = 0; i < 1000; ++i) {
    Obj o;
    ASSERT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, (i % 2) | 32), 0) << i;  // servers and clients in turn
    if (i % 200 == 199) expect_session(port, o.c, 32);  // now and then a real session
    ASSERT_EQ(conn_disconnect(o.c), 0);
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_TRUE(wait_for([&] { return count_entries("/proc/self/task") == tasks; }, 2000));
}

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
    sockaddr_in a = loop_addr(kPort);
    a.sin_addr.s_addr = inet_addr("10.77.0.255");
    timeval tv{3, 0};
    NS_CHECK(setsockopt(raw, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
             setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
             bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
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
    ScratchDir dir("RECORD=1\nWRITENOW=1\n");
    Connection* c = conn_alloc();
    Connection* s = conn_alloc();
    qc::NetAddr4 ludp, lsrv, lsrvu;
    NS_CHECK(conn_connect(c, "ethernet", "127.0.0.1", 0, 64) == 0 && conn_connect(s, "ethernet", "127.0.0.1", 0, 1) == 0);
    NS_CHECK(sock_local_name(int(c->udp_socket), &ludp) == 0 && sock_local_name(int(s->tcp_socket), &lsrv) == 0 &&
             sock_local_name(int(s->udp_socket), &lsrvu) == 0);
    NS_CHECK(results({c->tcp_port, c->udp_port, sock_addr_port(&c->tcp_peer), sock_addr_port(&c->udp_peer),
                      sock_addr_port(&ludp), sock_addr_port(&lsrv), sock_addr_port(&lsrvu)}) ==
             "5510 5510 5510 5511 5510 5510 5511");
    // Two beacons (a second apart), each answered by the client.
    auto seen = [&](uint16_t code) { return int(events(dir.capture(""), code).size()); };
    NS_CHECK(wait_for([&] { return seen(43) >= 2 && seen(125) >= 2; }, 20000));
    // The host name "localhost" resolves to the server's address: matched, not queued.
    NS_CHECK(conn_poll(c, 1) == 0);
    conn_free(s);
    conn_free(c);
    NS_CHECK(seen(125) >= seen(43) - 1);
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
