// Server and client connection objects over loopback TCP and UDP, raw peers standing in
// for the other side, and the socket seam's own promises.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kServer = 1, kUdpOnly = 64, kNoBeacon = 32;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

class EthLoopback : public ::testing::Test {
 protected:
  ~EthLoopback() override {
    conn_free(client);
    conn_free(server);
  }
  bool start(Connection* c, int flags) { return conn_connect(c, "ethernet", "127.0.0.1", port, flags) == 0; }
  bool connected(int ms = 8000) {
    return wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, ms);
  }
  // Sends on from and expects the same type, command and payload on to's channel only.
  void expect_delivery(Connection* from, Connection* to, uint8_t type, int channel, const std::string& text) {
    ASSERT_EQ(send_built(from, type, 7, text), 0);
    uint8_t buf[qc::kMaxMessage];
    const int n = receive_wait(to, channel, buf, sizeof buf, 5000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size_t(std::max(n, 0))), std::string(make_msg(type, 7, text, 0).begin(), make_msg(type, 7, text, 0).end() - 4) + std::string(reinterpret_cast<char*>(buf) + std::max(n - 4, 0), n < 4 ? 0 : 4))
        << "channel " << channel;
    EXPECT_EQ(rx_receive(to, 1 - channel, buf, sizeof buf), 0) << "nothing on the other channel";
  }
  int port = free_port_base();
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
};

TEST_F(EthLoopback, ClientFirstThenServerEchoesOnBothChannelsAndCaptures) {
  ScratchDir dir("RECORD=1\n");
  ASSERT_NE(port, 0);
  ASSERT_TRUE(start(client, 0));
  sleep_ms(1200);  // keeps trying until the server arrives
  EXPECT_EQ(results({status_of(client), connect_state_of(client) > 0, ETH_LOAD(client, thread_running)}), "0 1 1");
  ASSERT_TRUE(start(server, kServer));
  EXPECT_EQ(results({ETH_LOAD(server, listen_state), server->tcp_port}), results({0, port}));
  ASSERT_TRUE(connected());
  const int st = status_of(client);
  EXPECT_TRUE(st == 1 || st == 2 || st == 4) << st;
  EXPECT_EQ(connect_state_of(server), -3);
  expect_delivery(client, server, 224, 0, "echo request");
  expect_delivery(server, client, 224, 0, "echo answer");
  // Class 1 types travel by UDP while the TCP connection is up; the class decides.
  expect_delivery(client, server, 160, 1, "datagram up");
  expect_delivery(server, client, 175, 1, "datagram down");
  conn_set_class(client, 200, 200, 1);
  expect_delivery(client, server, 200, 1, "reclassed");
  conn_disconnect(client);
  conn_disconnect(server);
  auto files = dir.files();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(Seq().add(files), "ZRCLOG.INI zrcCRX10.bin zrcCTX20.bin zrcSRX30.bin zrcSTX40.bin");
  auto rx = dir.capture("CRX"), tx = dir.capture("CTX");
  // Connect records the TCP socket (50) before the worker's text record (100); then the
  // connection (104 or 126), the message got (108, 19 bytes), queued (0) and sent (42).
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(find_event(rx, 50), &rx[0]);
  EXPECT_EQ(results({rx[0].first, rx[0].second, rx[1].kind, rx[1].code}), "9 0 1 100");
  EXPECT_EQ(rx[1].text, std::to_string(port) + " 0.0.0.0");
  const Record *got = find_event(rx, 108), *queued = find_event(rx, 0), *sent = find_event(tx, 42);
  ASSERT_TRUE(got && queued && sent);
  EXPECT_EQ(results({count_events(rx, 104) + count_events(rx, 126) > 0, got->first, queued->first & 0xffff,
                     count_events(rx, 91) * count_events(rx, 51) * count_events(rx, 53) > 0, sent->first, sent->second}),
            results({1, 19, 224 | 7 << 8, 1, 224 | 7 << 8 | 20 << 16, 1}));
}

TEST_F(EthLoopback, ServerLeavesClientReconnectsAndASecondClientReplacesTheFirst) {
  ScratchDir dir("RECORD=1\n");
  ASSERT_TRUE(start(server, kServer));
  int first = raw_tcp_connect(port);
  ASSERT_TRUE(first >= 0 && wait_for([&] { return status_of(server) == 3; }, 3000));
  ASSERT_TRUE(start(client, 0));
  ASSERT_TRUE(connected());
  timeval tv{5, 0};  // the server closes the first connection
  setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char b;
  EXPECT_EQ(recv(first, &b, 1, 0), 0);
  close(first);
  ASSERT_EQ(conn_disconnect(server), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(client) == 0; }, 3000));
  EXPECT_TRUE(wait_for([&] { return connect_state_of(client) > 0; }, 1000));
  ASSERT_TRUE(start(server, kServer));
  ASSERT_TRUE(connected(10000));
  expect_delivery(client, server, 224, 0, "again");
  expect_delivery(server, client, 224, 0, "back");
  conn_disconnect(client);
  // The client's received-side capture holds the loss (109) and the new socket (93, 4).
  const auto recs = dir.capture("CRX");
  EXPECT_GE(count_events(recs, 109), 1);
  auto renewed = std::find_if(recs.rbegin(), recs.rend(), [](const Record& r) { return r.kind == 0 && r.code == 93 && r.first == 4; });
  ASSERT_NE(renewed, recs.rend());
  EXPECT_GT(renewed->third, 2u);
}

TEST_F(EthLoopback, UdpOnlyClientAndSilentServerExchangeDatagrams) {
  int watch = raw_udp(port);
  ASSERT_TRUE(start(server, kServer | kNoBeacon));
  uint8_t buf[qc::kMaxMessage];
  EXPECT_FALSE(wait_for([&] { return recv(watch, buf, sizeof buf, MSG_DONTWAIT) > 0; }, 2600)) << "no beacon";
  close(watch);
  ASSERT_TRUE(start(client, kUdpOnly));
  EXPECT_EQ(status_of(client) + status_of(server), 0);
  ASSERT_EQ(send_built(client, 224, 4, "by udp"), 0);  // not connected: a datagram
  EXPECT_EQ(results({receive_wait(server, 1, buf, sizeof buf, 3000), buf[0]}), "14 224");
  int u = raw_udp(0);
  auto m = make_msg(161, 2, "hello", 9);
  ASSERT_TRUE(raw_sendto(u, port, m.data(), m.size()));
  close(u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + std::max(0, receive_wait(client, 1, buf, sizeof buf, 3000))), m);
  EXPECT_EQ(status_of(client), 0);
}

// A client drops beacons of its own server (by name or by address) and queues those of
// others, unless told to ignore beacons altogether.
TEST_F(EthLoopback, ClientMatchesBeaconsOfItsServerAndQueuesOthers) {
  for (int flags : {0, kNoBeacon}) {
    SCOPED_TRACE(flags);
    ScratchDir dir("RECORD=1\n");
    ASSERT_TRUE(start(client, flags));
    int u = raw_udp(0);
    for (const auto& d : {beacon_named("127.0.0.1", 1), beacon_named("LOCALHOST", 2), beacon_named("10.99.98.97", 3),
                          make_msg(170, 1, "after", 4)})
      ASSERT_TRUE(raw_sendto(u, port, d.data(), d.size()));
    close(u);
    uint8_t buf[qc::kMaxMessage];
    Seq got;  // type/command/length of everything queued
    for (int n; (n = receive_wait(client, 1, buf, sizeof buf, 1000)) > 0;) got << buf[0] << buf[1] << n;
    EXPECT_EQ(got.s, flags ? "170 1 13" : "237 3 72 170 1 13");
    conn_disconnect(client);
    EXPECT_EQ(count_events(dir.capture("CRX"), 125, [](const Record& r) { return r.first == 72; }), flags ? 0 : 2)
        << "matched beacons";
  }
}

TEST_F(EthLoopback, PokesAndReconnects) {
  ScratchDir dir("RECORD=1\n");
  int u = raw_udp(port + 1);  // stands in for the server's datagram socket
  ASSERT_TRUE(start(client, 0));
  uint32_t first_thread = ETH_LOAD(client, thread);
  uint8_t b[256];
  // Attempt 6: the worker runs on and a poke goes; 0: disconnect and connect again, no
  // poke; -3 -> -2 and 10 -> 1 both poke; without a class for 239, no poke.
  EXPECT_EQ(results({eth_reconnect(client, 5), ETH_LOAD(client, thread) == first_thread, recv(u, b, sizeof b, 0), b[0]}),
            "0 1 8 239");
  EXPECT_EQ(results({eth_reconnect(client, 0), ETH_LOAD(client, thread_running) || ETH_LOAD(client, thread),
                     recv(u, b, sizeof b, 0), eth_reconnect(client, -3), recv(u, b, sizeof b, 0),
                     eth_reconnect(client, 10), recv(u, b, sizeof b, 0)}),
            "0 1 -1 0 8 0 8");
  conn_set_class(client, 239, 239, 0);
  EXPECT_EQ(results({eth_reconnect(client, 3), recv(u, b, sizeof b, 0)}), "0 -1");
  conn_disconnect(client);
  close(u);
  // A server accepts on a poke only while nobody is connected; pokes are not queued.
  ASSERT_TRUE(start(server, kServer | kNoBeacon));
  u = raw_udp(0);
  auto poke = make_msg(239, 0, "", 1);
  ASSERT_TRUE(raw_sendto(u, port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  EXPECT_EQ(status_of(server), 0) << "nobody to accept yet";
  ASSERT_TRUE(start(client, 0));
  ASSERT_TRUE(connected());
  ASSERT_TRUE(raw_sendto(u, port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  close(u);
  EXPECT_EQ(results({status_of(server), rx_receive(server, 1, b, sizeof b)}), "3 0");
  conn_disconnect(client);
  conn_disconnect(server);
  const auto recs = dir.capture("SRX");
  EXPECT_EQ(results({count_events(recs, 224), count_events(recs, 211, [](const Record& r) { return r.second == 1; }),
                     count_events(recs, 203) > 0}),
            "2 1 1");
}

// Beacons: 72 bytes naming this host, counted from 1, twenty at 1000 ms, then every
// 5000 ms; a client that comes and goes starts the faster rate again.
TEST_F(EthLoopback, BeaconScheduleAndContent) {
  int u = raw_udp(port);  // where a client would listen
  ASSERT_TRUE(start(server, kServer));
  char host[64] = {0};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  auto last = Clock::now();
  // The next beacon's count (-1: none within ms); the gap since the one before.
  auto next_beacon = [&](int within_ms, long* gap) {
    uint8_t b[256];
    for (auto end = Clock::now() + Ms(within_ms); Clock::now() < end;) {
      if (recv(u, b, sizeof b, 0) <= 0) continue;
      EXPECT_EQ(results({b[0], qc::le16(b + 2), qc::le32(b + 68)}), "237 72 0");
      EXPECT_STREQ(reinterpret_cast<char*>(b + 4), host);
      *gap = long(std::chrono::duration_cast<Ms>(Clock::now() - last).count());
      last = Clock::now();
      return int(b[1]);
    }
    return -1;
  };
  long gap = 0;
  ASSERT_EQ(next_beacon(4000, &gap), 1);
  for (int i = 2; i <= 21; ++i) {
    ASSERT_EQ(next_beacon(9000, &gap), i);
    EXPECT_TRUE(i < 21 ? gap >= 900 && gap < 3000 : gap >= 4900) << i << ": " << gap << " ms";
  }
  int tcp = raw_tcp_connect(port);
  ASSERT_TRUE(wait_for([&] { return status_of(server) == 3; }, 3000));
  close(tcp);
  ASSERT_TRUE(wait_for([&] { return status_of(server) == 0; }, 3000));
  ASSERT_GT(next_beacon(4000, &gap), 21);
  ASSERT_GT(next_beacon(4000, &gap), 22);
  EXPECT_LT(gap, 3000);
  close(u);
}

// Another socket took the port between the bind and the listen: the worker still beacons
// and serves datagrams, and does not spin on accept.
TEST(EthFailedListen, ServerStillBeaconsAndServesDatagrams) {
  int port = free_port_base();
  lpcap::TraceFile trace;
  Connection* c = conn_alloc();
  c->transport = 1;
  c->is_server = 1;
  c->tcp_port = uint32_t(port);
  int other = bound_socket(SOCK_STREAM, port, true), listener = sock_create(kSockStream);
  int udp = sock_create(kSockDatagram), peer = raw_udp(port);
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
  int wake = sock_wake_create();
  std::thread worker(qc::eth_server_thread, c, wake);
  auto d = make_msg(161, 1, "served", 1);
  ASSERT_TRUE(raw_sendto(peer, port + 1, d.data(), d.size()));
  uint8_t buf[qc::kMaxMessage];
  EXPECT_EQ(receive_wait(c, 1, buf, sizeof buf, 2000), int(d.size()));
  int beacons = 0;
  for (auto end = Clock::now() + Ms(3500); Clock::now() < end;) beacons += recv(peer, buf, sizeof buf, 0) == 72 && buf[0] == 237;
  ETH_STORE(c, run, 0);
  sock_wake_signal(wake);
  worker.join();
  std::string text = trace.text();
  size_t first = text.find("S listen error");
  EXPECT_TRUE(first != std::string::npos && first == text.rfind("S listen error")) << text;
  EXPECT_EQ(text.find("S accept error"), std::string::npos);
  EXPECT_GE(beacons, 1);
  for (int s : {other, listener, udp, peer, wake}) close(s);
  ETH_STORE(c, tcp_socket, 0);
  ETH_STORE(c, udp_socket, 0);
  conn_free(c);
}

// The application flushes a client while its worker reassembles 1000-byte messages.
// Every byte after the type stays within 7..127, so a receive that starts inside a
// message never reads as a message start.
TEST(EthFlushRace, FlushWhileStreamBytesArriveKeepsEveryMessageWhole) {
  constexpr int kLen = 1000;
  auto numbered = [](uint32_t n) {
    std::vector<uint8_t> m = make_msg(0xE5, 9, std::string(kLen - 8, 0), 0);
    for (int i = 4; i < kLen; ++i) m[size_t(i)] = uint8_t(7 + (n + uint32_t(i)) % 121);
    // The sequence rises with n: the queue hands out by sequence.
    for (uint32_t k = 0, d = 1; k < 3; ++k, d *= 121) m[kLen - 4 + k] = uint8_t(7 + n / d % 121);
    m[kLen - 1] = 7;
    return m;
  };
  int port = free_port_base();
  Connection* s = conn_alloc();
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, 1 | 32) + conn_connect(c, "ethernet", "127.0.0.1", port, 32), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(c) != 0 && status_of(s) == 3; }, 8000));
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (uint32_t n = 1; !stop.load() && n < 14641u * 121u && conn_send(s, numbered(n).data(), kLen) == 0; ++n)
      if (n % 4 == 0) sleep_ms(1);
  });
  uint8_t buf[qc::kMaxMessage];
  uint32_t last = 0, taken = 0;
  bool whole = true, rising = true;
  auto take_all = [&] {
    for (int n; (n = rx_receive(c, 0, buf, sizeof buf)) > 0; ++taken) {
      uint32_t k = uint32_t(buf[kLen - 4] - 7) + 121u * uint32_t(buf[kLen - 3] - 7) + 14641u * uint32_t(buf[kLen - 2] - 7);
      whole &= n == kLen && std::memcmp(buf, numbered(k).data(), kLen) == 0;
      rising &= k > last;  // a stale or repeated message would go back
      last = k;
    }
  };
  for (auto end = Clock::now() + Ms(1500); Clock::now() < end; std::this_thread::yield()) {
    conn_reset(c);
    take_all();
  }
  uint32_t before = taken;  // the stream resynchronises once the flushing stops
  wait_for([&] { take_all(); return taken > before; }, 5000);
  stop = true;
  sender.join();
  EXPECT_TRUE(whole && rising) << whole << rising;
  EXPECT_GT(taken, before);
  conn_free(c);
  conn_free(s);
}

TEST(EthSeam, HandlesErrorsAndWakes) {
  int saved = dup(0);
  close(0);  // the lowest free number is now 0: handles never take 0..2
  int s = sock_create(kSockDatagram), w = sock_wake_create();
  dup2(saved, 0);
  close(saved);
  ASSERT_TRUE(s >= 3 && w >= 3) << s << " " << w;
  EXPECT_TRUE((fcntl(s, F_GETFD) & FD_CLOEXEC) && (fcntl(w, F_GETFD) & FD_CLOEXEC));
  EXPECT_EQ(results({!!sock_err_would_block(EINPROGRESS), !!sock_err_would_block(EALREADY),
                     !!sock_err_would_block(EWOULDBLOCK), !!sock_err_would_block(ECONNREFUSED),
                     !!sock_err_invalid(EINVAL), !!sock_err_already_connected(EISCONN), !!sock_err_net_down(ENETDOWN)}),
            "1 1 1 0 1 1 1");
  int t = sock_create(kSockStream);
  uint8_t ip[4] = {127, 0, 0, 1};
  qc::NetAddr4 a;
  sock_addr_make(&a, ip, uint16_t(free_port_base()));  // nobody listens there
  // No signal on a send: the error comes back.
  EXPECT_EQ(results({sock_connect(t, &a), sock_send(t, "x", 1)}), results({-ECONNREFUSED, -EPIPE}));
  sock_close(t);
  char text[32];
  sock_addr_text(&a, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  // A wake ends a wait at once and stays signalled until cleared, however many signals
  // came: a stop request is not consumed by the first wait.
  SockWaitSet set;
  std::memset(&set, 0, sizeof set);
  set.fd[0] = s;
  int woken = -1;
  EXPECT_EQ(results({sock_wait(&set, w, 50, &woken), woken}), "0 0");
  std::thread waker([&] {
    sleep_ms(50);
    sock_wake_signal(w);
    sock_wake_signal(w);
  });
  auto start = Clock::now();
  EXPECT_EQ(results({sock_wait(&set, w, 10000, &woken), woken}), "0 1");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  waker.join();
  EXPECT_EQ(results({sock_wait(&set, w, 10000, &woken), woken, sock_wake_clear(w)}), "0 1 0");
  EXPECT_EQ(results({sock_wait(&set, w, 20, &woken), woken, sock_wake_clear(w), sock_wake_signal(w),
                     sock_wait(&set, w, 10000, &woken), woken, sock_wake_clear(w)}),
            "0 0 0 0 0 1 0");
  // Oversize datagrams report their real length.
  int b = sock_create(kSockDatagram);
  qc::NetAddr4 to;
  ASSERT_EQ(results({sock_bind_any(b, 0), sock_local_name(b, &to)}), "0 0");
  sock_addr_make(&to, ip, sock_addr_port(&to));
  std::vector<uint8_t> big(3000, 0xEE);
  ASSERT_EQ(sock_sendto(s, big.data(), int(big.size()), &to), 3000);
  uint8_t buf[qc::kRxBufSize];
  int full = 0;
  set.fd[0] = b;
  ASSERT_EQ(sock_wait(&set, 0, 2000, &woken), 1);
  EXPECT_EQ(results({sock_recvfrom(b, buf, sizeof buf, nullptr, &full), full}), results({qc::kRxBufSize, 3000}));
  sock_close(b);
  sock_close(s);
  EXPECT_EQ(sock_wake_close(w), 0);
}

}  // namespace
