// What a worker makes of odd input, driven without sockets.
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
