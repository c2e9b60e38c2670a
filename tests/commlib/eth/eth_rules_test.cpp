// What a worker makes of its input, driven without sockets: stream reassembly and
// resynchronisation, datagrams that are not one message, pokes and beacons.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;
using Bytes = std::vector<uint8_t>;

namespace {

class EthRules : public ::testing::Test {
 protected:
  void TearDown() override { conn_free(c); }
  // Appends bytes at rx_fill and runs the reassembly, as a worker's receive does; returns
  // what is held afterwards.
  int feed(const Bytes& bytes) {
    std::memcpy(c->rx_buf + c->rx_fill, bytes.data(), bytes.size());
    qc::eth_stream_input(c, int(bytes.size()), qc::kClientStreamEvents);
    return c->rx_fill;
  }
  Bytes take(int channel) {
    uint8_t buf[qc::kMaxMessage];
    int n = rx_receive(c, channel, buf, sizeof buf);
    return Bytes(buf, buf + (n > 0 ? n : 0));
  }
  int datagram(const Bytes& d, int full, bool server = false) {
    int flag = 0;
    if (server)
      qc::eth_server_datagram(c, d.data(), int(d.size()), full, &flag);
    else
      qc::eth_client_datagram(c, d.data(), int(d.size()), full, &flag);
    return flag;
  }
  Connection* c = conn_alloc();
};

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes with_length(Bytes m, uint16_t len) {
  m[2] = uint8_t(len);
  m[3] = uint8_t(len >> 8);
  return m;
}

}  // namespace

TEST_F(EthRules, StreamSplitJoinedAndResynchronised) {
  auto m1 = make_msg(224, 4, "", 1), m2 = make_msg(230, 1, "hello world", 2);
  auto both = cat(m1, m2), bad = make_msg(0xE0, 1, "0123456789", 1);
  // Fewer than 8 held; m1 complete with 4 bytes of m2 moved; a start below 128 and
  // impossible lengths dropped whole.
  EXPECT_EQ(results({feed({both.begin(), both.begin() + 3}), feed({both.begin() + 3, both.begin() + 12}),
                     feed({both.begin() + 12, both.end()}), feed(make_msg(0x7f, 1, "", 1)),
                     feed(with_length(bad, 0)), feed(with_length(bad, 7)), feed(with_length(bad, 1609)),
                     feed(with_length(bad, 65535))}),
            "3 4 0 0 0 0 0 0");
  EXPECT_EQ(take(0), m1);
  EXPECT_EQ(take(0), m2);
  // A bad message behind a good one is dropped with the rest of that receive.
  auto good = make_msg(0xE2, 2, "ok", 7);
  EXPECT_EQ(feed(cat(good, with_length(make_msg(0xE0, 0, "", 8), 0))), 0);
  EXPECT_EQ(take(0), good);
  EXPECT_EQ(take(-1), Bytes());
  // The type byte is checked once per receive: a low one inside it passes.
  auto a = make_msg(0xE2, 1, "first", 1), low = make_msg(0x41, 2, "low type", 2);
  qc::eth_stream_append(c, cat(a, low).data(), int(a.size() + low.size()), qc::kClientStreamEvents);
  EXPECT_EQ(take(0), a);
  EXPECT_EQ(take(0), low);
  // The largest message fills the buffer exactly; datagrams leave a held one intact.
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 8, 'x'), 3);
  feed({big.begin(), big.begin() + 1000});
  EXPECT_EQ(qc::eth_stream_room(c), qc::kRxBufSize - 1000);
  auto d = make_msg(160, 1, "datagram", 5);
  EXPECT_EQ(datagram(d, int(d.size())), 1) << "not connected: try again next pass";
  feed({big.begin() + 1000, big.end()});
  EXPECT_EQ(take(0), big);
  EXPECT_EQ(take(1), d);
}

TEST_F(EthRules, DatagramsAreQueuedWithTheirCountOrCountedAsDropped) {
  const Bytes tiny = {0xA1, 2, 5, 0, 9};  // shorter than a message, honest length
  datagram(tiny, 5);
  auto lying = with_length(make_msg(0xA2, 1, "x", 4), 20);  // 9 bytes that claim 20
  datagram(lying, int(lying.size()), true);
  auto ok = make_msg(161, 1, "x", 1);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), int(ok.size())), 0);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), 5000), 1) << "truncated";
  EXPECT_EQ(take(1), tiny);
  EXPECT_EQ(take(1), cat(lying, Bytes(11, 0))) << "nothing it did not carry";
  EXPECT_EQ(take(1), ok);
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 7, 'y'), 5);  // 1601
  EXPECT_EQ(qc::eth_queue_datagram(c, big.data(), int(big.size()), int(big.size())), 1);
  // Over a slot, or cut by the receive buffer: dropped and counted.
  const uint32_t dropped = conn_get_rx_dropped(c);
  datagram(big, int(big.size()));
  big.resize(qc::kRxBufSize);
  datagram(big, 5000);
  EXPECT_EQ(conn_get_rx_dropped(c), dropped + 2);
  EXPECT_EQ(take(1), Bytes());
}

TEST_F(EthRules, PokesAndBeaconsChangeTheState) {
  auto poke = make_msg(239, 0, "", 1), beacon = beacon_named("10.1.2.3", 1);
  datagram(poke, 8);
  EXPECT_EQ(connect_state_of(c), 4);
  EXPECT_EQ(take(1), Bytes()) << "pokes are not queued";
  // Connected: a poke no longer asks for a connect and beacons are ignored.
  ETH_STORE(c, status, 1);
  ETH_STORE(c, connect_state, 0);
  EXPECT_EQ(results({datagram(poke, 8), datagram(beacon, 72), connect_state_of(c)}), "0 0 0");
  EXPECT_EQ(take(1), Bytes());
  // The server takes a poke only while nobody is connected, and queues beacons.
  c->is_server = 1;
  ETH_STORE(c, status, 3);
  EXPECT_EQ(datagram(poke, 8, true), 0);
  ETH_STORE(c, status, 0);
  EXPECT_EQ(results({datagram(poke, 8, true), datagram(beacon, 72, true)}), "1 0");
  EXPECT_EQ(take(1), beacon);
  // Beacon names are compared ignoring case, or resolved and compared by address.
  std::snprintf(c->host, sizeof c->host, "%s", "GameBox");
  auto b = beacon_named("gamebox", 1);
  EXPECT_TRUE(qc::eth_beacon_matches(c, b.data(), 72));
  b = beacon_named("10.4.5.6", 1);
  uint8_t ip[4] = {10, 4, 5, 6};
  sock_addr_make(&c->tcp_peer, ip, 5510);
  EXPECT_TRUE(qc::eth_beacon_matches(c, b.data(), 72));
  ip[3] = 7;
  sock_addr_make(&c->tcp_peer, ip, 5510);
  EXPECT_FALSE(qc::eth_beacon_matches(c, b.data(), 72));
  b[4] = 0;
  EXPECT_FALSE(qc::eth_beacon_matches(c, b.data(), 72)) << "no name";
}
