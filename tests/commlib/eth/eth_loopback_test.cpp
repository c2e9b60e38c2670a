// Server and client connection objects talking over loopback TCP and UDP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

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
  bool start_server(int flags = kServer) {
    return conn_connect(server, "ethernet", "127.0.0.1", port, flags) == 0;
  }
  bool start_client(int flags = 0) {
    return conn_connect(client, "ethernet", "127.0.0.1", port, flags) == 0;
  }
  bool connected(int ms = 8000) {
    return wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, ms);
  }
  int port = free_port_base();
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
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

}  // namespace

TEST_F(EthLoopback, ServerFirstThenClientEchoesOnBothChannels) {
  ASSERT_NE(port, 0);
  ASSERT_TRUE(start_server());
  EXPECT_EQ(ETH_LOAD(server, listen_state), 0);
  EXPECT_EQ(server->tcp_port, uint32_t(port));
  ASSERT_TRUE(start_client());
  ASSERT_TRUE(connected());
  int st = status_of(client);
  EXPECT_TRUE(st == 1 || st == 2 || st == 4) << st;
  EXPECT_EQ(connect_state_of(server), -3);

  expect_delivery(client, server, 224, 0, "echo request");
  expect_delivery(server, client, 224, 0, "echo answer");
  // Class 1 types travel by UDP while the TCP connection is up.
  expect_delivery(client, server, 160, 1, "datagram up");
  expect_delivery(server, client, 175, 1, "datagram down");
  // A type moved to class 1 follows the class, not the default.
  conn_set_class(client, 200, 200, 1);
  expect_delivery(client, server, 200, 1, "reclassed");
}

TEST_F(EthLoopback, ClientStartedFirstKeepsTryingUntilServerArrives) {
  ASSERT_TRUE(start_client());
  sleep_ms(1200);
  EXPECT_EQ(status_of(client), 0);
  EXPECT_GT(connect_state_of(client), 0);
  EXPECT_EQ(ETH_LOAD(client, thread_running), 1u);
  ASSERT_TRUE(start_server());
  ASSERT_TRUE(connected());
  expect_delivery(client, server, 230, 0, "late but there");
}

TEST_F(EthLoopback, ClientNoticesServerLeavingAndReconnectsByItself) {
  ScratchDir dir("RECORD=1\n");
  ASSERT_TRUE(start_server());
  ASSERT_TRUE(start_client());
  ASSERT_TRUE(connected());
  ASSERT_EQ(conn_disconnect(server), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(client) == 0; }, 3000));
  EXPECT_TRUE(wait_for([&] { return connect_state_of(client) > 0; }, 1000));
  ASSERT_TRUE(start_server());
  ASSERT_TRUE(connected(10000));
  expect_delivery(client, server, 224, 0, "again");
  conn_disconnect(client);
  // The client's received-side capture holds the loss (109) and the new socket (93, 4).
  const std::vector<Record> recs = dir.capture("CRX");
  EXPECT_TRUE(has_event(recs, 109));
  auto renewed = std::find_if(recs.rbegin(), recs.rend(), [](const Record& r) {
    return r.kind == 0 && r.code == 93 && r.first == 4;
  });
  ASSERT_NE(renewed, recs.rend());
  EXPECT_GT(renewed->third, 2u);
}

TEST_F(EthLoopback, SecondClientReplacesTheFirst) {
  ASSERT_TRUE(start_server());
  int first = raw_tcp_connect(port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(wait_for([&] { return status_of(server) == 3; }, 3000));
  ASSERT_TRUE(start_client());
  ASSERT_TRUE(connected());
  // The first connection is closed by the server: its reader sees the end.
  timeval tv{5, 0};
  setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char b;
  EXPECT_EQ(recv(first, &b, 1, 0), 0);
  close(first);
  expect_delivery(client, server, 224, 0, "second wins");
  expect_delivery(server, client, 224, 0, "to the second");
}

TEST_F(EthLoopback, UdpOnlyClientStaysUnconnectedButExchangesDatagrams) {
  ASSERT_TRUE(start_server(kServer | kNoBeacon));
  ASSERT_TRUE(start_client(kUdpOnly));
  sleep_ms(1200);
  EXPECT_EQ(status_of(client), 0);
  EXPECT_EQ(status_of(server), 0);
  // Not connected: even a stream type goes out as a datagram.
  ASSERT_EQ(send_built(client, 224, 4, "by udp"), 0);
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(receive_wait(server, 1, buf, sizeof buf, 3000), 14);
  EXPECT_EQ(buf[0], 224);
  // Datagrams to the client's UDP port are queued on its datagram channel.
  int u = raw_udp(0);
  auto m = make_msg(161, 2, "hello", 9);
  ASSERT_TRUE(raw_sendto(u, port, m.data(), m.size()));
  close(u);
  ASSERT_EQ(receive_wait(client, 1, buf, sizeof buf, 3000), int(m.size()));
  EXPECT_EQ(0, std::memcmp(buf, m.data(), m.size()));
  EXPECT_EQ(status_of(client), 0);
}

TEST_F(EthLoopback, NoBeaconServerStaysSilent) {
  int u = raw_udp(port);
  ASSERT_GE(u, 0);
  ASSERT_TRUE(start_server(kServer | kNoBeacon));
  uint8_t b[256];
  bool any = wait_for([&] { return recv(u, b, sizeof b, MSG_DONTWAIT) > 0; }, 2600);
  close(u);
  EXPECT_FALSE(any);
}

// A client drops beacons of its own server (by name or by address) and queues those of
// others, unless told to ignore beacons altogether.
TEST_F(EthLoopback, ClientMatchesBeaconsOfItsServerAndQueuesOthers) {
  for (int flags : {0, kNoBeacon}) {
    SCOPED_TRACE(flags ? "no beacon" : "beacons on");
    ScratchDir dir("RECORD=1\n");
    ASSERT_TRUE(start_client(flags));
    int u = raw_udp(0);
    const std::vector<uint8_t> sent[] = {
        beacon_named("127.0.0.1", 1),    // equals the connect address
        beacon_named("LOCALHOST", 2),    // resolves to the server's address
        beacon_named("10.99.98.97", 3),  // someone else's server
        make_msg(170, 1, "after", 4)};
    for (const auto& d : sent) ASSERT_TRUE(raw_sendto(u, port, d.data(), d.size()));
    close(u);
    uint8_t buf[qc::kMaxMessage];
    if (!flags) {
      ASSERT_EQ(receive_wait(client, 1, buf, sizeof buf, 3000), 72);
      EXPECT_EQ(buf[1], 3);
    }
    // Datagrams are handled in order: nothing else came before the message behind them.
    ASSERT_EQ(receive_wait(client, 1, buf, sizeof buf, 3000), int(sent[3].size()));
    EXPECT_EQ(buf[0], 170);
    EXPECT_EQ(rx_receive(client, 1, buf, sizeof buf), 0);
    conn_disconnect(client);
    if (!flags) {
      auto whole = [](const Record& r) { return r.first == 72; };
      EXPECT_EQ(count_events(dir.capture("CRX"), 125, whole), 2) << "matched beacons";
    }
  }
}

TEST_F(EthLoopback, PokeMakesServerAcceptAndIsIgnoredWhileConnected) {
  ScratchDir dir("RECORD=1\n");
  ASSERT_TRUE(start_server(kServer | kNoBeacon));
  int u = raw_udp(0);
  auto poke = make_msg(239, 0, "", 1);
  ASSERT_TRUE(raw_sendto(u, port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  EXPECT_EQ(status_of(server), 0) << "nobody to accept yet";
  // A client that reconnects with a non-zero attempt pokes the server.
  ASSERT_TRUE(start_client());
  ASSERT_TRUE(connected());
  ASSERT_TRUE(raw_sendto(u, port + 1, poke.data(), poke.size()));
  sleep_ms(300);
  EXPECT_EQ(status_of(server), 3) << "a poke while connected changes nothing";
  close(u);
  uint8_t buf[64];
  EXPECT_EQ(rx_receive(server, 1, buf, sizeof buf), 0) << "pokes are not queued";
  conn_disconnect(client);
  conn_disconnect(server);
  const std::vector<Record> recs = dir.capture("SRX");
  EXPECT_EQ(count_events(recs, 224), 2);
  EXPECT_EQ(count_events(recs, 211, [](const Record& r) { return r.second == 1; }), 1)
      << "only the poke without a client asks for an accept";
  EXPECT_GE(count_events(recs, 203), 1);
}

TEST_F(EthLoopback, ReconnectPokesTheServerIntoAccepting) {
  int u = raw_udp(port + 1);  // stands in for the server's datagram socket
  ASSERT_GE(u, 0);
  ASSERT_TRUE(start_client());
  uint32_t first_thread = ETH_LOAD(client, thread);
  uint8_t b[256];
  // 5 -> attempt 6: no disconnect, the worker runs on, a poke goes out.
  ASSERT_EQ(eth_reconnect(client, 5), 0);
  EXPECT_EQ(ETH_LOAD(client, thread), first_thread);
  ASSERT_EQ(recv(u, b, sizeof b, 0), 8);
  EXPECT_EQ(b[0], 239);
  // 0: disconnect and connect again, no poke.
  ASSERT_EQ(eth_reconnect(client, 0), 0);
  EXPECT_TRUE(ETH_LOAD(client, thread_running) || ETH_LOAD(client, thread) != 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), -1);
  // -3 -> -2 and 10 -> 1: disconnect, connect, poke.
  ASSERT_EQ(eth_reconnect(client, -3), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 8);
  ASSERT_EQ(eth_reconnect(client, 10), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 8);
  // Without a class for type 239 there is no poke.
  conn_set_class(client, 239, 239, 0);
  ASSERT_EQ(eth_reconnect(client, 3), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), -1);
  close(u);
}

TEST_F(EthLoopback, CaptureFilesOfAClientSession) {
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
    ASSERT_TRUE(start_client(kNoBeacon));
    ASSERT_TRUE(wait_for([&] { return status_of(client) != 0; }, 8000));
    expect_delivery(client, client, 224, 0, "through the peer");
    expect_delivery(client, client, 160, 1, "and back by datagram");
    conn_disconnect(client);
    auto files = dir.files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"ZRCLOG.INI", "zrcCRX10.bin", "zrcCTX20.bin"}));
    auto rx = read_capture("zrcCRX10.bin");
    auto tx = read_capture("zrcCTX20.bin");
    // Connect records the TCP socket (50) before the worker's text record (100).
    ASSERT_GE(rx.size(), 2u);
    EXPECT_EQ(find_event(rx, 50), &rx[0]);
    EXPECT_EQ(rx[0].first, 9u);
    EXPECT_EQ(rx[0].second, 0u);
    EXPECT_EQ(rx[1].kind, 1);
    EXPECT_EQ(rx[1].code, 100);
    EXPECT_EQ(rx[1].text, std::to_string(port) + " 0.0.0.0");
    EXPECT_TRUE(has_event(rx, 104) || has_event(rx, 126)) << "connected";
    const Record* got = find_event(rx, 108);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->first, 24u);
    const Record* queued = find_event(rx, 0);
    ASSERT_NE(queued, nullptr);
    EXPECT_EQ(queued->first & 0xffff, 224u | 7u << 8);
    for (uint16_t code : {91, 51, 53}) EXPECT_TRUE(has_event(rx, code)) << code;
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

// Beacons: 72 bytes naming this host, counted from 1, twenty at 1000 ms, then every
// 5000 ms; a client that comes and goes starts the faster rate again.
TEST_F(EthLoopback, BeaconScheduleAndContent) {
  int u = raw_udp(port);  // where a client would listen
  ASSERT_GE(u, 0);
  ASSERT_TRUE(start_server());
  char host[64] = {0};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  auto next_beacon = [&](int within_ms, int* count) {
    auto end = Clock::now() + Ms(within_ms);
    uint8_t b[256];
    *count = -1;
    while (Clock::now() < end) {
      ssize_t n = recv(u, b, sizeof b, 0);
      if (n <= 0) continue;
      EXPECT_EQ(n, 72);
      EXPECT_EQ(b[0], 237);
      EXPECT_EQ(qc::le16(b + 2), 72);
      EXPECT_EQ(qc::le32(b + 68), 0u);
      EXPECT_STREQ(reinterpret_cast<char*>(b + 4), host);
      *count = b[1];
      break;
    }
    return Clock::now();
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
  // A client comes and goes: the count goes on, at the 1000 ms rate again.
  int tcp = raw_tcp_connect(port);
  ASSERT_GE(tcp, 0);
  ASSERT_TRUE(wait_for([&] { return status_of(server) == 3; }, 3000));
  close(tcp);
  ASSERT_TRUE(wait_for([&] { return status_of(server) == 0; }, 3000));
  auto a = next_beacon(4000, &count);
  ASSERT_GT(count, 21);
  auto b = next_beacon(4000, &count);
  ASSERT_GT(count, 22);
  EXPECT_LT(std::chrono::duration_cast<Ms>(b - a).count(), 3000);
  close(u);
}
