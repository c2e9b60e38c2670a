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
  // Appends bytes at rx_fill and runs the reassembly, as a worker's receive does.
  void feed(const Bytes& bytes) {
    std::memcpy(c->rx_buf + c->rx_fill, bytes.data(), bytes.size());
    qc::eth_stream_input(c, int(bytes.size()), qc::kClientStreamEvents);
  }
  Bytes take(int channel) {
    uint8_t buf[qc::kMaxMessage];
    int n = rx_receive(c, channel, buf, sizeof buf);
    return Bytes(buf, buf + (n > 0 ? n : 0));
  }
  Connection* c = conn_alloc();
};

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(EthRules, StreamSplitJoinedAndResynchronised) {
  auto m1 = make_msg(224, 4, "", 1), m2 = make_msg(230, 1, "hello world", 2);
  auto both = cat(m1, m2);
  feed({both.begin(), both.begin() + 3});  // fewer than 8: held
  EXPECT_EQ(c->rx_fill, 3);
  feed({both.begin() + 3, both.begin() + 12});  // m1 complete, 4 bytes of m2 moved
  EXPECT_EQ(c->rx_fill, 4);
  feed({both.begin() + 12, both.end()});
  EXPECT_EQ(c->rx_fill, 0);
  EXPECT_EQ(take(0), m1);
  EXPECT_EQ(take(0), m2);
  feed(make_msg(0x7f, 1, "", 1));  // starting below 128: all dropped
  EXPECT_EQ(c->rx_fill, 0);
  for (uint16_t len : {0, 7, 1609, 65535}) {
    auto bad = make_msg(0xE0, 1, "0123456789", 1);
    bad[2] = uint8_t(len);
    bad[3] = uint8_t(len >> 8);
    feed(bad);
    EXPECT_EQ(c->rx_fill, 0) << len;
  }
  // A bad message behind a good one is dropped with the rest of that receive.
  auto good = make_msg(0xE2, 2, "ok", 7), bad = make_msg(0xE0, 0, "", 8);
  bad[2] = bad[3] = 0;
  feed(cat(good, bad));
  EXPECT_EQ(c->rx_fill, 0);
  EXPECT_EQ(take(0), good);
  EXPECT_EQ(take(-1), Bytes());
  // The type byte is checked once per receive: a low one inside it passes.
  auto a = make_msg(0xE2, 1, "first", 1), low = make_msg(0x41, 2, "low type", 2);
  qc::eth_stream_append(c, cat(a, low).data(), int(a.size() + low.size()),
                        qc::kClientStreamEvents);
  EXPECT_EQ(take(0), a);
  EXPECT_EQ(take(0), low);
  // The largest message fills the buffer exactly.
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 8, 'x'), 3);
  feed({big.begin(), big.begin() + 1000});
  EXPECT_EQ(qc::eth_stream_room(c), qc::kRxBufSize - 1000);
  // Datagrams leave a held stream message intact.
  auto d = make_msg(160, 1, "datagram", 5);
  int attempt = 0;
  qc::eth_client_datagram(c, d.data(), int(d.size()), int(d.size()), &attempt);
  EXPECT_EQ(attempt, 1) << "not connected: try again next pass";
  feed({big.begin() + 1000, big.end()});
  EXPECT_EQ(take(0), big);
  EXPECT_EQ(take(1), d);
}

TEST_F(EthRules, DatagramsAreQueuedWithTheirCountOrCountedAsDropped) {
  int attempt = 0, accept_now = 0;
  const uint8_t tiny[5] = {0xA1, 2, 5, 0, 9};  // shorter than a message, honest length
  qc::eth_client_datagram(c, tiny, 5, 5, &attempt);
  auto lying = make_msg(0xA2, 1, "x", 4);  // 9 bytes that claim 20
  lying[2] = 20;
  qc::eth_server_datagram(c, lying.data(), int(lying.size()), int(lying.size()), &accept_now);
  auto ok = make_msg(161, 1, "x", 1);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), int(ok.size())), 0);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), 5000), 1) << "truncated";
  EXPECT_EQ(take(1), Bytes(tiny, tiny + 5));
  Bytes got = take(1);
  ASSERT_EQ(got.size(), 20u);
  EXPECT_TRUE(std::equal(lying.begin(), lying.end(), got.begin()));
  EXPECT_EQ(std::count(got.begin() + 9, got.end(), 0), 11) << "nothing it did not carry";
  EXPECT_EQ(take(1), ok);
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 7, 'y'), 5);  // 1601
  EXPECT_EQ(qc::eth_queue_datagram(c, big.data(), int(big.size()), int(big.size())), 1);
  // Over a slot, or cut by the receive buffer: dropped and counted.
  const uint32_t dropped = conn_get_rx_dropped(c);
  qc::eth_client_datagram(c, big.data(), int(big.size()), int(big.size()), &attempt);
  big.resize(qc::kRxBufSize);
  qc::eth_client_datagram(c, big.data(), qc::kRxBufSize, 5000, &attempt);
  EXPECT_EQ(conn_get_rx_dropped(c), dropped + 2);
  EXPECT_EQ(take(1), Bytes());
}

TEST_F(EthRules, PokesAndBeaconsChangeTheState) {
  auto poke = make_msg(239, 0, "", 1);
  int attempt = 0;
  qc::eth_client_datagram(c, poke.data(), 8, 8, &attempt);
  EXPECT_EQ(connect_state_of(c), 4);
  EXPECT_EQ(take(1), Bytes()) << "pokes are not queued";
  // Connected: a poke no longer asks for a connect and beacons are ignored.
  ETH_STORE(c, status, 1);
  ETH_STORE(c, connect_state, 0);
  attempt = 0;
  qc::eth_client_datagram(c, poke.data(), 8, 8, &attempt);
  auto beacon = beacon_named("10.1.2.3", 1);
  qc::eth_client_datagram(c, beacon.data(), 72, 72, &attempt);
  EXPECT_EQ(connect_state_of(c) + attempt, 0);
  EXPECT_EQ(take(1), Bytes());
  // The server takes a poke only while nobody is connected, and queues beacons.
  int accept_now = 0;
  c->is_server = 1;
  ETH_STORE(c, status, 3);
  qc::eth_server_datagram(c, poke.data(), 8, 8, &accept_now);
  EXPECT_EQ(accept_now, 0);
  ETH_STORE(c, status, 0);
  qc::eth_server_datagram(c, poke.data(), 8, 8, &accept_now);
  EXPECT_EQ(accept_now, 1);
  qc::eth_server_datagram(c, beacon.data(), 72, 72, &accept_now);
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
