// What a worker makes of odd input, driven without sockets: a low type byte inside one
// receive, datagrams that are not exactly one message, and where an object may live.
#include <gtest/gtest.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

class EthReceiveRules : public ::testing::Test {
 protected:
  void SetUp() override { c = conn_alloc(); }
  void TearDown() override { conn_free(c); }
  int take(int channel, std::vector<uint8_t>* out) {
    uint8_t buf[qc::kMaxMessage];
    int n = rx_receive(c, channel, buf, sizeof buf);
    out->assign(buf, buf + (n > 0 ? n : 0));
    return n;
  }
  Connection* c = nullptr;
};

}  // namespace

TEST_F(EthReceiveRules, TypeByteIsCheckedOncePerReceive) {
  auto a = make_msg(0xE2, 1, "first", 1);
  auto low = make_msg(0x41, 2, "low type", 2);
  auto b = make_msg(0xE3, 3, "third", 3);
  std::vector<uint8_t> all = a;
  all.insert(all.end(), low.begin(), low.end());
  all.insert(all.end(), b.begin(), b.end());
  qc::eth_stream_append(c, all.data(), int(all.size()), qc::kClientStreamEvents);
  std::vector<uint8_t> got;
  for (const auto& m : {a, low, b}) {
    EXPECT_EQ(take(0, &got), int(m.size()));
    EXPECT_EQ(got, m);
  }
  // At the start of a receive a low type still drops what came.
  qc::eth_stream_append(c, low.data(), int(low.size()), qc::kClientStreamEvents);
  EXPECT_EQ(take(0, &got), 0);
}

TEST_F(EthReceiveRules, DatagramsAreQueuedWithTheirCountOrCountedAsDropped) {
  int attempt = 0, accept_now = 0;
  const uint8_t tiny[5] = {0xA1, 2, 5, 0, 9};  // shorter than a message, honest length
  qc::eth_client_datagram(c, tiny, 5, 5, &attempt);
  auto lying = make_msg(0xA2, 1, "x", 4);  // 9 bytes that claim 20
  lying[2] = 20;
  qc::eth_server_datagram(c, lying.data(), int(lying.size()), int(lying.size()), &accept_now);
  std::vector<uint8_t> got;
  EXPECT_EQ(take(1, &got), 5);
  EXPECT_EQ(got, std::vector<uint8_t>(tiny, tiny + 5));
  EXPECT_EQ(take(1, &got), 20);
  EXPECT_TRUE(std::equal(lying.begin(), lying.end(), got.begin()));
  EXPECT_EQ(std::count(got.begin() + 9, got.end(), 0), 11) << "nothing it did not carry";
  EXPECT_EQ(conn_get_rx_dropped(c), 0u);
  // Over a slot, or cut by the receive buffer: dropped, and counted as dropped.
  auto big = make_msg(0xE1, 2, std::string(qc::kMaxMessage - 7, 'y'), 5);  // 1601
  qc::eth_client_datagram(c, big.data(), int(big.size()), int(big.size()), &attempt);
  big.resize(qc::kRxBufSize);  // what a receive buffer holds of a 5000-byte datagram
  qc::eth_client_datagram(c, big.data(), qc::kRxBufSize, 5000, &attempt);
  EXPECT_EQ(conn_get_rx_dropped(c), 2u);
  EXPECT_EQ(take(1, &got), 0);
}

TEST(EthObjectBlock, MisalignedCallerBlockIsRefused) {
  std::vector<uint32_t> words(qc::kObjectSize / 4 + 2);
  char* base = reinterpret_cast<char*>(words.data());
  EXPECT_EQ(conn_init_buffer(base + 1, int(qc::kObjectSize)), nullptr);
  EXPECT_EQ(conn_init_buffer(base + 2, int(qc::kObjectSize)), nullptr);
  Connection* c = conn_init_buffer(base + 4, int(qc::kObjectSize));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(conn_is_valid(c), 1);
  conn_free(c);
}
