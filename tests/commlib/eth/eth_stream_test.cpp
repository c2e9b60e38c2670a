// Stream reassembly and datagram hand-over, driven without sockets.
#include <gtest/gtest.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

class EthStream : public ::testing::Test {
 protected:
  void SetUp() override { c = conn_alloc(); }
  void TearDown() override { conn_free(c); }
  // Appends bytes at rx_fill and runs the reassembly, as a worker's receive does.
  void feed(const std::vector<uint8_t>& bytes) {
    std::memcpy(c->rx_buf + c->rx_fill, bytes.data(), bytes.size());
    qc::eth_stream_input(c, int(bytes.size()), qc::kClientStreamEvents);
  }
  int take(int channel, std::vector<uint8_t>* out = nullptr) {
    uint8_t buf[qc::kMaxMessage];
    int n = rx_receive(c, channel, buf, sizeof buf);
    if (out) out->assign(buf, buf + (n > 0 ? n : 0));
    return n;
  }
  Connection* c = nullptr;
};

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(EthStream, SplitAndJoinedMessagesAreQueuedInOrder) {
  auto m1 = make_msg(224, 4, "", 1);
  auto m2 = make_msg(230, 1, "hello world", 2);
  auto both = cat(m1, m2);
  feed({both.begin(), both.begin() + 3});  // fewer than 8: held
  EXPECT_EQ(c->rx_fill, 3);
  feed({both.begin() + 3, both.begin() + 12});  // m1 complete, 4 bytes of m2 moved
  EXPECT_EQ(c->rx_fill, 4);
  feed({both.begin() + 12, both.end()});
  EXPECT_EQ(c->rx_fill, 0);
  std::vector<uint8_t> got;
  EXPECT_EQ(take(0, &got), 8);
  EXPECT_EQ(got, m1);
  EXPECT_EQ(take(0, &got), 19);
  EXPECT_EQ(got, m2);
  EXPECT_EQ(take(0), 0);
}

TEST_F(EthStream, LowFirstByteAndImpossibleLengthsResynchronise) {
  feed(make_msg(0x7f, 1, "", 1));  // eight bytes starting below 128: all dropped
  EXPECT_EQ(c->rx_fill, 0);
  for (uint16_t len : {0, 7, 1609, 65535}) {
    auto bad = make_msg(0xE0, 1, "0123456789", 1);
    bad[2] = uint8_t(len);
    bad[3] = uint8_t(len >> 8);
    feed(bad);
    EXPECT_EQ(c->rx_fill, 0) << len;
  }
  // A bad message right behind a good one is dropped with the rest of that receive.
  auto good = make_msg(0xE2, 2, "ok", 7);
  auto bad = make_msg(0xE0, 0, "", 8);
  bad[2] = bad[3] = 0;
  feed(cat(good, bad));
  EXPECT_EQ(c->rx_fill, 0);
  EXPECT_EQ(take(0), 10);
  // The next well-formed message is taken again.
  feed(make_msg(0xE3, 3, "next", 9));
  EXPECT_EQ(take(0), 12);
  EXPECT_EQ(take(-1), 0);
}

TEST_F(EthStream, LargestMessageFillsTheBufferExactly) {
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 8, 'x'), 3);
  feed({big.begin(), big.begin() + 1000});
  EXPECT_EQ(qc::eth_stream_room(c), qc::kRxBufSize - 1000);
  feed({big.begin() + 1000, big.end()});
  EXPECT_EQ(take(0), qc::kMaxMessage);
}

TEST_F(EthStream, DatagramsLeaveAHeldStreamMessageIntact) {
  auto m = make_msg(230, 1, "stream payload", 4);
  feed({m.begin(), m.begin() + 10});
  auto d = make_msg(160, 1, "datagram", 5);
  int attempt = 0;
  qc::eth_client_datagram(c, d.data(), int(d.size()), int(d.size()), &attempt);
  EXPECT_EQ(attempt, 1) << "not connected: try again next pass";
  feed({m.begin() + 10, m.end()});
  std::vector<uint8_t> got;
  EXPECT_EQ(take(0, &got), int(m.size()));
  EXPECT_EQ(got, m);
  EXPECT_EQ(take(1, &got), int(d.size()));
  EXPECT_EQ(got, d);
}

TEST_F(EthStream, DatagramsThatAreNotOneMessageAreRefused) {
  auto ok = make_msg(161, 1, "x", 1);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), int(ok.size())), 0);
  EXPECT_EQ(qc::eth_queue_datagram(c, ok.data(), int(ok.size()), 5000), 1) << "truncated";
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 7, 'y'), 3);  // 1601
  EXPECT_EQ(qc::eth_queue_datagram(c, big.data(), int(big.size()), int(big.size())), 1);
  EXPECT_EQ(take(1), 9);
  EXPECT_EQ(take(1), 0);
}

TEST_F(EthStream, PokesAndBeaconsChangeTheClientState) {
  auto poke = make_msg(239, 0, "", 1);
  int attempt = 0;
  qc::eth_client_datagram(c, poke.data(), 8, 8, &attempt);
  EXPECT_EQ(connect_state_of(c), 4);
  EXPECT_EQ(take(1), 0) << "pokes are not queued";
  // Connected: a poke no longer asks for a connect and beacons are ignored.
  ETH_STORE(c, status, 1);
  ETH_STORE(c, connect_state, 0);
  attempt = 0;
  qc::eth_client_datagram(c, poke.data(), 8, 8, &attempt);
  auto beacon = beacon_named("10.1.2.3", 1);
  qc::eth_client_datagram(c, beacon.data(), 72, 72, &attempt);
  EXPECT_EQ(connect_state_of(c), 0);
  EXPECT_EQ(attempt, 0);
  EXPECT_EQ(take(1), 0);
  // The server takes a poke only while nobody is connected.
  int accept_now = 0;
  c->is_server = 1;
  ETH_STORE(c, status, 3);
  qc::eth_server_datagram(c, poke.data(), 8, 8, &accept_now);
  EXPECT_EQ(accept_now, 0);
  ETH_STORE(c, status, 0);
  qc::eth_server_datagram(c, poke.data(), 8, 8, &accept_now);
  EXPECT_EQ(accept_now, 1);
  qc::eth_server_datagram(c, beacon.data(), 72, 72, &accept_now);
  EXPECT_EQ(take(1), 72) << "a server queues a beacon like any datagram";
}

TEST_F(EthStream, BeaconNamesAreComparedIgnoringCase) {
  std::snprintf(c->host, sizeof c->host, "%s", "GameBox");
  auto b = beacon_named("gamebox", 1);
  EXPECT_TRUE(qc::eth_beacon_matches(c, b.data(), 72));
  b = beacon_named("10.4.5.6", 1);  // a number resolves without the network
  uint8_t ip[4] = {10, 4, 5, 6};
  sock_addr_make(&c->tcp_peer, ip, 5510);
  EXPECT_TRUE(qc::eth_beacon_matches(c, b.data(), 72));
  ip[3] = 7;
  sock_addr_make(&c->tcp_peer, ip, 5510);
  EXPECT_FALSE(qc::eth_beacon_matches(c, b.data(), 72));
  b[4] = 0;
  EXPECT_FALSE(qc::eth_beacon_matches(c, b.data(), 72)) << "no name";
}
