// Connect rules (transport text, flags, ports, failing steps) and the send checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  // The prefix is case-sensitive.
  EXPECT_EQ(results({conn_connect(o.c, "Ethernet", "127.0.0.1", port, 0),
                     conn_connect(o.c, "ether", "127.0.0.1", port, 0),
                     conn_connect(o.c, nullptr, "127.0.0.1", port, 0), o.c->thread}),
            "1 1 1 0");
  // Flags 16, 32, 64 and the "127.0.0.1" rule; the address is then ignored.
  ASSERT_EQ(conn_connect(o.c, "ethernet2", "10.11.12.13", port, 16 | 32 | 64), 0);
  EXPECT_EQ(results({o.c->transport, o.c->loopback, o.c->no_beacon, o.c->udp_only, o.c->is_server,
                     o.c->tcp_peer.addr[0], sock_addr_port(&o.c->tcp_peer) - port,
                     sock_addr_port(&o.c->udp_peer) - port}),
            "1 1 1 1 0 127 0 1");
  EXPECT_STREQ(o.c->host, "127.0.0.1");
  EXPECT_GT(std::strlen(o.c->local_hostname), 0u);
  EXPECT_TRUE(wait_for([&] { return ETH_LOAD(o.c, thread_running) == 1; }, 2000));
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
    // COM1 of a root whose port map is empty: the machine's own ports are left alone.
    char cwd[4096];  // the scratch folder
    const std::string root = std::string(getcwd(cwd, sizeof cwd) ? cwd : "/nonexistent") + "/root";
    mkdir(root.c_str(), 0700), mkdir((root + "/dev").c_str(), 0700);
    setenv("QUMEX_ROOT", root.c_str(), 1);
    conn_connect(o.c, "serial", "COM1", 9600, 0);
    unsetenv("QUMEX_ROOT");
    EXPECT_EQ(results({o.c->transport, o.c->udp_socket, o.c->tcp_socket}), "0 0 0");
  }
  close(udp_block);
  ASSERT_TRUE((tcp_block = bound_socket(SOCK_STREAM, port)) >= 0 && listen(tcp_block, 1) == 0);
  {
    Obj o;
    EXPECT_EQ(conn_connect(o.c, "ethernet", "127.0.0.1", port, 1), 5);
  }
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
