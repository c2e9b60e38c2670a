// Server and client connection objects talking over loopback TCP and UDP.
#include <gtest/gtest.h>
#include <signal.h>
#include <algorithm>
#include <atomic>
#include <sys/wait.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kServer = 1, kUdpOnly = 64, kNoBeacon = 32;

struct Pair {
  int port = free_port_base();
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  ~Pair() {
    conn_free(client);
    conn_free(server);
  }
  bool start_server(int flags = kServer) {
    return conn_connect(server, "ethernet", "127.0.0.1", port, flags) == 0;
  }
  bool start_client(int flags = 0) {
    return conn_connect(client, "ethernet", "127.0.0.1", port, flags) == 0;
  }
  bool connected(int ms = 8000) {
    return wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, ms);
  }
};

// Sends on `from` and expects the same type, command and payload on `to`'s channel.
void expect_delivery(Connection* from, Connection* to, uint8_t type, int channel,
                     const std::string& text) {
  ASSERT_EQ(send_built(from, type, 7, text), 0);
  uint8_t buf[qc::kMaxMessage];
  int n = receive_wait(to, channel, buf, sizeof buf, 5000);
  ASSERT_EQ(n, int(text.size()) + 8) << "type " << int(type) << " channel " << channel;
  EXPECT_EQ(buf[0], type);
  EXPECT_EQ(buf[1], 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 4), text.size()), text);
  EXPECT_EQ(rx_receive(to, 1 - channel, buf, sizeof buf), 0) << "nothing on the other channel";
}

std::vector<uint8_t> beacon_named(const char* name, uint8_t count) {
  std::vector<uint8_t> b(72, 0);
  b[0] = 237;
  b[1] = count;
  b[2] = 72;
  std::memcpy(b.data() + 4, name, std::strlen(name));
  return b;
}

}  // namespace

TEST(EthLoopback, ServerFirstThenClientEchoesOnBothChannels) {
  Pair p;
  ASSERT_NE(p.port, 0);
  ASSERT_TRUE(p.start_server());
  EXPECT_EQ(ETH_LOAD(p.server, listen_state), 0);
  EXPECT_EQ(p.server->tcp_port, uint32_t(p.port));
  ASSERT_TRUE(p.start_client());
  ASSERT_TRUE(p.connected());
  int st = status_of(p.client);
  EXPECT_TRUE(st == 1 || st == 2 || st == 4) << st;
  EXPECT_EQ(connect_state_of(p.server), -3);

  expect_delivery(p.client, p.server, 224, 0, "echo request");
  expect_delivery(p.server, p.client, 224, 0, "echo answer");
  // Class 1 types travel by UDP while the TCP connection is up.
  expect_delivery(p.client, p.server, 160, 1, "datagram up");
  expect_delivery(p.server, p.client, 175, 1, "datagram down");
  // A type moved to class 1 follows the class, not the default.
  conn_set_class(p.client, 200, 200, 1);
  expect_delivery(p.client, p.server, 200, 1, "reclassed");
}

TEST(EthLoopback, ClientStartedFirstKeepsTryingUntilServerArrives) {
  Pair p;
  ASSERT_TRUE(p.start_client());
  sleep_ms(1200);
  EXPECT_EQ(status_of(p.client), 0);
  EXPECT_GT(connect_state_of(p.client), 0);
  EXPECT_EQ(ETH_LOAD(p.client, thread_running), 1u);
  ASSERT_TRUE(p.start_server());
  ASSERT_TRUE(p.connected());
  expect_delivery(p.client, p.server, 230, 0, "late but there");
}

TEST(EthLoopback, ClientNoticesServerLeavingAndReconnectsByItself) {
  ScratchDir dir("RECORD=1\n");
  Pair p;
  ASSERT_TRUE(p.start_server());
  ASSERT_TRUE(p.start_client());
  ASSERT_TRUE(p.connected());
  ASSERT_EQ(conn_disconnect(p.server), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(p.client) == 0; }, 3000));
  EXPECT_TRUE(wait_for([&] { return connect_state_of(p.client) > 0; }, 1000));
  ASSERT_TRUE(p.start_server());
  ASSERT_TRUE(p.connected(10000));
  expect_delivery(p.client, p.server, 224, 0, "again");
  conn_disconnect(p.client);
  // The client's received-side capture holds the loss (109) and the new socket (93, 4).
  std::vector<Record> recs;
  for (const auto& f : dir.files())
    if (f.find("CRX") != std::string::npos) recs = read_capture(f);
  ASSERT_FALSE(recs.empty());
  EXPECT_TRUE(has_event(recs, 109));
  const Record* renewed = nullptr;
  for (const auto& r : recs)
    if (r.kind == 0 && r.code == 93 && r.first == 4) renewed = &r;
  ASSERT_NE(renewed, nullptr);
  EXPECT_GT(renewed->third, 2u);
}

TEST(EthLoopback, SecondClientReplacesTheFirst) {
  Pair p;
  ASSERT_TRUE(p.start_server());
  int first = raw_tcp_connect(p.port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(wait_for([&] { return status_of(p.server) == 3; }, 3000));
  ASSERT_TRUE(p.start_client());
  ASSERT_TRUE(p.connected());
  // The first connection is closed by the server: its reader sees the end.
  timeval tv{5, 0};
  setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char b;
  EXPECT_EQ(recv(first, &b, 1, 0), 0);
  close(first);
  expect_delivery(p.client, p.server, 224, 0, "second wins");
  expect_delivery(p.server, p.client, 224, 0, "to the second");
}

TEST(EthLoopback, ServerSeesClientLeaveAndBeaconsAgain) {
  Pair p;
  ASSERT_TRUE(p.start_server());
  ASSERT_TRUE(p.start_client(kNoBeacon));
  ASSERT_TRUE(p.connected());
  conn_disconnect(p.client);
  ASSERT_TRUE(wait_for([&] { return status_of(p.server) == 0; }, 2000));
  // Beacons resume towards the last client's address, port P.
  int u = raw_udp(p.port);
  ASSERT_GE(u, 0);
  uint8_t buf[256];
  bool seen = wait_for([&] { return recv(u, buf, sizeof buf, 0) == 72 && buf[0] == 237; }, 4000);
  close(u);
  EXPECT_TRUE(seen);
}

TEST(EthLoopback, UdpOnlyClientStaysUnconnectedButExchangesDatagrams) {
  Pair p;
  ASSERT_TRUE(p.start_server(kServer | kNoBeacon));
  ASSERT_TRUE(p.start_client(kUdpOnly));
  sleep_ms(1200);
  EXPECT_EQ(status_of(p.client), 0);
  EXPECT_EQ(status_of(p.server), 0);
  // Not connected: even a stream type goes out as a datagram.
  ASSERT_EQ(send_built(p.client, 224, 4, "by udp"), 0);
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(receive_wait(p.server, 1, buf, sizeof buf, 3000), 14);
  EXPECT_EQ(buf[0], 224);
  // Datagrams to the client's UDP port are queued on its datagram channel.
  int u = raw_udp(0);
  auto m = make_msg(161, 2, "hello", 9);
  ASSERT_TRUE(raw_sendto(u, p.port, m.data(), m.size()));
  close(u);
  ASSERT_EQ(receive_wait(p.client, 1, buf, sizeof buf, 3000), int(m.size()));
  EXPECT_EQ(0, std::memcmp(buf, m.data(), m.size()));
  EXPECT_EQ(status_of(p.client), 0);
}

TEST(EthLoopback, ServerAnnouncesItselfWithBeacons) {
  int port = free_port_base();
  int u = raw_udp(port);  // where a client would listen
  ASSERT_GE(u, 0);
  Connection* s = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, kServer), 0);
  char host[64] = {0};
  gethostname(host, sizeof host - 1);
  std::vector<std::pair<int, std::chrono::steady_clock::time_point>> got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(6000);
  while (std::chrono::steady_clock::now() < end && got.size() < 3) {
    uint8_t b[256];
    ssize_t n = recv(u, b, sizeof b, 0);
    if (n <= 0) continue;
    ASSERT_EQ(n, 72);
    EXPECT_EQ(b[0], 237);
    EXPECT_EQ(qc::le16(b + 2), 72);
    EXPECT_EQ(qc::le32(b + 68), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(b + 4), host);
    got.push_back({b[1], std::chrono::steady_clock::now()});
  }
  conn_free(s);
  close(u);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].first, 1);
  EXPECT_EQ(got[1].first, 2);
  auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(got[1].second - got[0].second);
  EXPECT_GE(gap.count(), 900);
}

TEST(EthLoopback, NoBeaconServerStaysSilent) {
  int port = free_port_base();
  int u = raw_udp(port);
  ASSERT_GE(u, 0);
  Connection* s = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, kServer | kNoBeacon), 0);
  uint8_t b[256];
  bool any = wait_for([&] { return recv(u, b, sizeof b, MSG_DONTWAIT) > 0; }, 2600);
  conn_free(s);
  close(u);
  EXPECT_FALSE(any);
}

TEST(EthLoopback, ClientMatchesBeaconsOfItsServerAndQueuesOthers) {
  ScratchDir dir("RECORD=1\n");
  int port = free_port_base();
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, 0), 0);
  int u = raw_udp(0);
  auto by_name = beacon_named("127.0.0.1", 1);     // equals the connect address
  auto by_address = beacon_named("LOCALHOST", 2);  // resolves to the server's address
  auto other = beacon_named("10.99.98.97", 3);     // someone else's server
  ASSERT_TRUE(raw_sendto(u, port, by_name.data(), 72));
  ASSERT_TRUE(raw_sendto(u, port, by_address.data(), 72));
  ASSERT_TRUE(raw_sendto(u, port, other.data(), 72));
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(receive_wait(c, 1, buf, sizeof buf, 3000), 72);
  EXPECT_EQ(buf[1], 3);
  sleep_ms(300);
  EXPECT_EQ(rx_receive(c, 1, buf, sizeof buf), 0) << "matching beacons are not queued";
  close(u);
  conn_disconnect(c);
  conn_free(c);
  std::vector<Record> recs;
  for (const auto& f : dir.files())
    if (f.find("CRX") != std::string::npos) recs = read_capture(f);
  int matched = 0;
  for (const auto& r : recs) matched += r.kind == 0 && r.code == 125 && r.first == 72;
  EXPECT_EQ(matched, 2);
}

TEST(EthLoopback, NoBeaconClientIgnoresBeacons) {
  int port = free_port_base();
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, kNoBeacon), 0);
  int u = raw_udp(0);
  auto other = beacon_named("10.99.98.97", 1);
  ASSERT_TRUE(raw_sendto(u, port, other.data(), 72));
  auto normal = make_msg(170, 1, "after", 4);
  ASSERT_TRUE(raw_sendto(u, port, normal.data(), normal.size()));
  close(u);
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(receive_wait(c, 1, buf, sizeof buf, 3000), int(normal.size()));
  EXPECT_EQ(buf[0], 170);
  EXPECT_EQ(rx_receive(c, 1, buf, sizeof buf), 0);
  conn_free(c);
}

TEST(EthLoopback, PokeMakesServerAcceptAndIsIgnoredWhileConnected) {
  ScratchDir dir("RECORD=1\n");
  Pair p;
  ASSERT_TRUE(p.start_server(kServer | kNoBeacon));
  int u = raw_udp(0);
  auto poke = make_msg(239, 0, "", 1);
  ASSERT_TRUE(raw_sendto(u, p.port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  EXPECT_EQ(status_of(p.server), 0) << "nobody to accept yet";
  // A client that reconnects with a non-zero attempt pokes the server.
  ASSERT_TRUE(p.start_client());
  ASSERT_TRUE(p.connected());
  ASSERT_TRUE(raw_sendto(u, p.port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  EXPECT_EQ(status_of(p.server), 3) << "a poke while connected changes nothing";
  close(u);
  uint8_t buf[64];
  EXPECT_EQ(rx_receive(p.server, 1, buf, sizeof buf), 0) << "pokes are not queued";
  conn_disconnect(p.client);
  conn_disconnect(p.server);
  std::vector<Record> recs;
  for (const auto& f : dir.files())
    if (f.find("SRX") != std::string::npos) recs = read_capture(f);
  int pokes = 0, accept_now = 0, accepted = 0;
  for (const auto& r : recs) {
    if (r.kind != 0) continue;
    pokes += r.code == 224;
    accept_now += r.code == 211 && r.second == 1;
    accepted += r.code == 203;
  }
  EXPECT_EQ(pokes, 2);
  EXPECT_EQ(accept_now, 1) << "only the poke without a client asks for an accept";
  EXPECT_GE(accepted, 1);
}

TEST(EthLoopback, ReconnectPokesTheServerIntoAccepting) {
  int port = free_port_base();
  int u = raw_udp(port + 1);  // stands in for the server's datagram socket
  ASSERT_GE(u, 0);
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, 0), 0);
  uint32_t first_thread = ETH_LOAD(c, thread);
  uint8_t b[256];
  // 5 -> attempt 6: no disconnect, the worker runs on, a poke goes out.
  ASSERT_EQ(eth_reconnect(c, 5), 0);
  EXPECT_EQ(ETH_LOAD(c, thread), first_thread);
  ASSERT_EQ(recv(u, b, sizeof b, 0), 8);
  EXPECT_EQ(b[0], 239);
  // 0: disconnect and connect again, no poke.
  ASSERT_EQ(eth_reconnect(c, 0), 0);
  EXPECT_EQ(ETH_LOAD(c, thread_running) || ETH_LOAD(c, thread) != 0, true);
  EXPECT_EQ(recv(u, b, sizeof b, 0), -1);
  // -3 -> -2 and 10 -> 1: disconnect, connect, poke.
  ASSERT_EQ(eth_reconnect(c, -3), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 8);
  ASSERT_EQ(eth_reconnect(c, 10), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 8);
  // Without a class for type 239 there is no poke.
  conn_set_class(c, 239, 239, 0);
  ASSERT_EQ(eth_reconnect(c, 3), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), -1);
  conn_free(c);
  close(u);
}

TEST(EthLoopback, CaptureFilesOfAClientSession) {
  int port = free_port_base();
  // The server lives in another process, so this process opens only the client's pair.
  int to_peer[2], from_peer[2];
  ASSERT_EQ(pipe(to_peer), 0);
  ASSERT_EQ(pipe(from_peer), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(to_peer[0], 0);
    dup2(from_peer[1], 1);
    close(to_peer[1]);
    close(from_peer[0]);
    std::string ps = std::to_string(port);
    execl(ETH_PEER_PATH, ETH_PEER_PATH, "server", ps.c_str(), "30", (char*)nullptr);
    _exit(127);
  }
  close(to_peer[0]);
  close(from_peer[1]);
  char ready[8] = {0};
  ASSERT_GT(read(from_peer[0], ready, sizeof ready - 1), 0);
  {
    ScratchDir dir("RECORD=1\n");
    Connection* c = conn_alloc();
    ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, kNoBeacon), 0);
    ASSERT_TRUE(wait_for([&] { return status_of(c) != 0; }, 8000));
    expect_delivery(c, c, 224, 0, "through the peer");
    conn_disconnect(c);
    conn_free(c);
    auto files = dir.files();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], "ZRCLOG.INI");
    EXPECT_EQ(files[1], "zrcCRX10.bin");
    EXPECT_EQ(files[2], "zrcCTX20.bin");
    auto rx = read_capture("zrcCRX10.bin");
    auto tx = read_capture("zrcCTX20.bin");
    ASSERT_FALSE(rx.empty());
    // Connect records the TCP socket (50) before the worker's text record (100).
    const Record* created = find_event(rx, 50);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created, &rx[0]);
    ASSERT_GE(rx.size(), 2u);
    EXPECT_EQ(rx[1].kind, 1);
    EXPECT_EQ(rx[1].code, 100);
    EXPECT_EQ(rx[1].text, std::to_string(port) + " 0.0.0.0");
    EXPECT_EQ(created->first, 9u);
    EXPECT_EQ(created->second, 0u);
    EXPECT_TRUE(has_event(rx, 104) || has_event(rx, 126)) << "connected";
    const Record* got = find_event(rx, 108);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 24u);
    const Record* queued = find_event(rx, 0);
    ASSERT_NE(queued, nullptr);
    EXPECT_EQ(queued->first & 0xffff, 224u | 7u << 8);
    EXPECT_TRUE(has_event(rx, 91));
    EXPECT_TRUE(has_event(rx, 51));
    EXPECT_TRUE(has_event(rx, 53));
    const Record* sent = find_event(tx, 42);
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->first, 224u | 7u << 8 | 24u << 16);
    EXPECT_EQ(sent->second, 1u) << "first stream sequence";
  }
  close(to_peer[1]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  close(from_peer[0]);
}

TEST(EthLoopback, PeerProcessClientAgainstLocalServer) {
  Pair p;
  ASSERT_TRUE(p.start_server());
  std::atomic<bool> stop{false};
  // Echo on this side while the peer process runs its client.
  std::thread echo([&] {
    uint8_t buf[qc::kMaxMessage];
    while (!stop) {
      bool any = false;
      for (int ch = 0; ch < 2; ++ch) {
        int n = rx_receive(p.server, ch, buf, sizeof buf);
        if (n > 0 && status_of(p.server) == 3) {
          conn_send(p.server, buf, n);
          any = true;
        }
      }
      if (!any) sleep_ms(1);
    }
  });
  std::string cmd = std::string(ETH_PEER_PATH) + " client " + std::to_string(p.port) + " 20";
  int rc = std::system(cmd.c_str());
  stop = true;
  echo.join();
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
}

TEST(EthBeaconSchedule, TwentyAtOneSecondThenFiveSecondsAndAgainAfterAClientLeaves) {
  int port = free_port_base();
  int u = raw_udp(port);
  ASSERT_GE(u, 0);
  Connection* s = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, kServer), 0);
  using Ms = std::chrono::milliseconds;
  auto next_beacon = [&](int within_ms, int* count) {
    auto end = std::chrono::steady_clock::now() + Ms(within_ms);
    uint8_t b[256];
    while (std::chrono::steady_clock::now() < end)
      if (recv(u, b, sizeof b, 0) == 72 && b[0] == 237) {
        *count = b[1];
        return std::chrono::steady_clock::now();
      }
    *count = -1;
    return std::chrono::steady_clock::time_point{};
  };
  std::vector<long> gaps;
  int count = 0;
  auto last = next_beacon(4000, &count);
  ASSERT_EQ(count, 1);
  for (int i = 2; i <= 21; ++i) {
    auto t = next_beacon(9000, &count);
    ASSERT_EQ(count, i);
    gaps.push_back(std::chrono::duration_cast<Ms>(t - last).count());
    last = t;
  }
  for (int i = 0; i < 19; ++i) {
    EXPECT_GE(gaps[i], 900) << "beacon " << i + 2;
    EXPECT_LT(gaps[i], 3000) << "beacon " << i + 2;
  }
  EXPECT_GE(gaps[19], 4900) << "the 21st waits 5000 ms";
  // A client comes and goes: the count starts again and so does the 1000 ms rate.
  int tcp = raw_tcp_connect(port);
  ASSERT_GE(tcp, 0);
  ASSERT_TRUE(wait_for([&] { return status_of(s) == 3; }, 3000));
  close(tcp);
  ASSERT_TRUE(wait_for([&] { return status_of(s) == 0; }, 3000));
  auto a = next_beacon(4000, &count);
  ASSERT_GT(count, 21);
  auto b = next_beacon(4000, &count);
  ASSERT_GT(count, 22);
  EXPECT_LT(std::chrono::duration_cast<Ms>(b - a).count(), 3000);
  conn_free(s);
  close(u);
}
