// Connect rules (transport text, flags, ports, failing steps) and the send checks.
#include <gtest/gtest.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

struct Obj {
  Connection* c = conn_alloc();
  ~Obj() { conn_free(c); }
};

}  // namespace

TEST(EthConnect, TransportTextAndFlags) {
  int port = free_port_base();
  Obj o;
  EXPECT_EQ(conn_connect(o.c, "Ethernet", "127.0.0.1", port, 0), 1) << "prefix is case-sensitive";
  EXPECT_EQ(conn_connect(o.c, "ether", "127.0.0.1", port, 0), 1);
  EXPECT_EQ(conn_connect(o.c, nullptr, "127.0.0.1", port, 0), 1);
  EXPECT_EQ(o.c->thread, 0u);

  // Flags 16, 32, 64 and the "127.0.0.1" rule; the address is then ignored.
  ASSERT_EQ(conn_connect(o.c, "ethernet2", "10.11.12.13", port, 16 | 32 | 64), 0);
  EXPECT_EQ(o.c->transport, 1);
  EXPECT_EQ(o.c->loopback, 1);
  EXPECT_EQ(o.c->no_beacon, 1);
  EXPECT_EQ(o.c->udp_only, 1);
  EXPECT_EQ(o.c->is_server, 0u);
  EXPECT_STREQ(o.c->host, "127.0.0.1");
  EXPECT_EQ(o.c->tcp_peer.addr[0], 127);
  EXPECT_EQ(sock_addr_port(&o.c->tcp_peer), port);
  EXPECT_EQ(sock_addr_port(&o.c->udp_peer), port + 1);
  EXPECT_GT(std::strlen(o.c->local_hostname), 0u);
  EXPECT_TRUE(wait_for([&] { return ETH_LOAD(o.c, thread_running) == 1; }, 2000));

  // Connecting again stops the earlier worker first; the flags are taken afresh.
  ASSERT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 0), 0);
  EXPECT_EQ(o.c->loopback, 1) << "the address alone sets loopback";
  EXPECT_EQ(o.c->no_beacon, 0);
  EXPECT_EQ(o.c->udp_only, 0);
  EXPECT_EQ(conn_disconnect(o.c), 0);
  EXPECT_EQ(o.c->thread, 0u);
  EXPECT_EQ(o.c->tcp_socket, 0u);
  EXPECT_EQ(o.c->udp_socket, 0u);
  EXPECT_EQ(o.c->thread_running, 0u);

  // An unregistered block is refused without being touched.
  std::vector<uint8_t> raw(qc::kObjectSize, 0xAB);
  Connection* fake = reinterpret_cast<Connection*>(raw.data());
  EXPECT_EQ(conn_connect(fake, "ethernet", "127.0.0.1", port, 0), 0);
  EXPECT_EQ(eth_disconnect(fake), 1);
  EXPECT_EQ(conn_disconnect(fake), 0);
  EXPECT_EQ(eth_reconnect(fake, 0), 1);
  EXPECT_EQ(eth_send(fake, raw.data(), 8), 1);
  EXPECT_EQ(raw[0], 0xAB);
  EXPECT_EQ(raw[qc::kObjectSize - 1], 0xAB);
}

TEST(EthConnect, FailingStepsReturnTheirNumbers) {
  ScratchDir dir("RECORD=1\nWRITENOW=1\n");
  int port = free_port_base();
  {
    Obj o;
    o.c->loopback = 0;
    int r = conn_connect(o.c, "ethernet", "", port, 0);  // nothing to look up
    EXPECT_NE(r, 0);
    EXPECT_NE(r, 1);
    EXPECT_EQ(o.c->thread, 0u);
  }
  // Blockers hold the ports without SO_REUSEADDR.
  int udp_block = bound_socket(SOCK_DGRAM, port + 1);
  ASSERT_GE(udp_block, 0);
  {
    Obj o;
    EXPECT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 1), 3) << "server UDP is P + 1";
    // The failed start keeps its UDP socket until the next connect, here to serial.
    EXPECT_NE(o.c->udp_socket, 0u);
    conn_connect(o.c, "serial", "COM1", 9600, 0);
    EXPECT_EQ(o.c->transport, 0);
    EXPECT_EQ(o.c->udp_socket, 0u);
    EXPECT_EQ(o.c->tcp_socket, 0u);
  }
  close(udp_block);
  int tcp_block = bound_socket(SOCK_STREAM, port);
  ASSERT_GE(tcp_block, 0);
  ASSERT_EQ(listen(tcp_block, 1), 0);
  {
    Obj o;
    EXPECT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 1), 5);
  }
  close(tcp_block);
  // The failures were recorded (event 93 with the step) and the files closed.
  int steps = 0;
  for (const auto& r : dir.capture(""))
    if (r.kind == 0 && r.code == 93) steps |= 1 << r.first;
  EXPECT_EQ(steps, (1 << 1) | (1 << 3) | (1 << 5));
}

TEST(EthSend, ChecksBeforeAnythingIsSent) {
  int port = free_port_base();
  int u = raw_udp(port + 1);
  ASSERT_GE(u, 0);
  Obj o;
  ASSERT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 64), 0);
  std::vector<uint8_t> big(1601, 0);
  big[0] = 224;
  big[2] = 0x41;
  big[3] = 0x06;  // 1601
  EXPECT_EQ(conn_send(o.c, big.data(), 0), 32);
  EXPECT_EQ(conn_send(o.c, big.data(), 1601), 32);
  auto low = make_msg(0x7f, 0, "x", 1);
  EXPECT_EQ(conn_send(o.c, low.data(), 0), 33);
  auto zero = make_msg(0x90, 0, "", 1);
  zero[2] = zero[3] = 0;
  EXPECT_EQ(conn_send(o.c, zero.data(), 8), 34);
  EXPECT_EQ(conn_send(nullptr, zero.data(), 8), 0);
  EXPECT_EQ(msg_length(nullptr, big.data()), 1601);
  uint8_t b[2000];
  EXPECT_EQ(recv(u, b, sizeof b, 0), -1) << "nothing left for the refused messages";
  // len 0 takes the length field; a shorter len sends only that much.
  auto ok = make_msg(0x90, 3, "abcd", 5);
  EXPECT_EQ(conn_send(o.c, ok.data(), 0), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 12);
  EXPECT_EQ(conn_send(o.c, ok.data(), 10), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 10);
  close(u);
}

TEST(EthSend, UnconnectedServerRestartsBeforeSending) {
  ScratchDir dir("RECORD=1\nWRITENOW=1\n");
  int port = free_port_base();
  int u = raw_udp(port);  // the server's datagrams go to port P
  ASSERT_GE(u, 0);
  Obj o;
  ASSERT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 1 | 32), 0);
  ASSERT_EQ(send_built(o.c, 224, 1, "hi"), 0);
  uint8_t b[64];
  EXPECT_EQ(recv(u, b, sizeof b, 0), 10);
  EXPECT_EQ(ETH_LOAD(o.c, listen_state), 0);
  EXPECT_EQ(ETH_LOAD(o.c, thread_running), 1u);
  // A server whose start was given up (listen_state negative) is not restarted.
  ETH_STORE(o.c, listen_state, -9);
  uint32_t worker = ETH_LOAD(o.c, thread);
  ASSERT_EQ(send_built(o.c, 224, 2, "hi"), 0);
  EXPECT_EQ(recv(u, b, sizeof b, 0), 10);
  EXPECT_EQ(ETH_LOAD(o.c, thread), worker);
  close(u);
  conn_disconnect(o.c);
  const auto recs = dir.capture("");
  EXPECT_EQ(count_events(recs, 99, [](const Record& r) { return r.second == 1; }), 2) << "unconnected";
  EXPECT_EQ(count_events(recs, 92), 1) << "restarts";
}
