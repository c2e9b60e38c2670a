// The framing passes without a port: the buffer limits and the fault memory between
// passes, which a port cannot reach because a pass never reads more than there is room for.
#include <gtest/gtest.h>

#include <vector>

#include "commlib/core.h"
#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

namespace {

struct Conn {
  Conn() : c(conn_alloc()) {}
  ~Conn() {
    if (c) c->rx_capture_slot = 0;
    conn_free(c);
  }
  Connection* c;
};

std::vector<uint8_t> fill(int n, uint8_t b) { return std::vector<uint8_t>(size_t(n), b); }

// Run once as a connection without capture (bytes taken as a block) and once as one
// with a receive capture slot (bytes taken one by one, each recorded).
class SerialFrameBothPaths : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SerialFrameBothPaths, MessageBufferOverflowCountsAndDropsTheNextPass) {
  Conn k;
  Connection* c = k.c;
  ASSERT_NE(c, nullptr);
  c->rx_capture_slot = GetParam();  // a slot with nothing open behind it records nothing
  c->serial_data_time = 1000;
  // Largest messages back to back, the third still incomplete.
  std::vector<uint8_t> big = fill(1600, 0x11);
  big[0] = 0x85;
  big[1] = 0x01;
  big[2] = 0x40;  // 1600
  big[3] = 0x06;
  std::vector<uint8_t> bytes = big;
  bytes.insert(bytes.end(), big.begin(), big.end());
  bytes.insert(bytes.end(), big.begin(), big.begin() + 798);
  // One message per pass: the first goes, the rest stays held.
  ASSERT_EQ(qc::serial_frame_message(c, bytes.data(), int(bytes.size())), 1);
  EXPECT_EQ(lptest::val(c->queue[0].count), 1);
  EXPECT_EQ(lptest::val(c->serial_raw_count), 2398);

  std::vector<uint8_t> more = fill(1700, 0x22);
  EXPECT_EQ(qc::serial_frame_message(c, more.data(), int(more.size())), 0);
  EXPECT_EQ(lptest::val(c->serial_raw_count), qc::kSerialLimit);
  EXPECT_EQ(lptest::val(c->serial_overflow_len), qc::kSerialLimit);
  EXPECT_EQ(lptest::val(c->serial_error_time), 1000u);
  EXPECT_EQ(lptest::val(c->rx_dropped), 1u);

  // The next pass forgets the error and drops its own bytes; the held ones stay.
  c->serial_data_time = 2000;
  uint8_t next[3] = {1, 2, 3};
  EXPECT_EQ(qc::serial_frame_message(c, next, 3), 1);
  EXPECT_EQ(lptest::val(c->serial_error_time), 0u);
  EXPECT_EQ(lptest::val(c->serial_raw_count), qc::kSerialLimit - 1600);  // one more message went
  EXPECT_EQ(lptest::val(c->queue[0].count), 2);
}

INSTANTIATE_TEST_SUITE_P(Capture, SerialFrameBothPaths, ::testing::Values(0u, 1u));

TEST(SerialFrame, RawOverflowAndQuietCheck) {
  Conn k;
  Connection* c = k.c;
  ASSERT_NE(c, nullptr);
  c->serial_raw = 1;
  c->serial_data_time = 500;
  auto a = fill(3990, 0xAA);
  EXPECT_EQ(qc::serial_frame_raw(c, a.data(), int(a.size())), 3990);
  auto b = fill(20, 0xBB);
  EXPECT_EQ(qc::serial_frame_raw(c, b.data(), int(b.size())), 0);
  EXPECT_EQ(lptest::val(c->serial_raw_count), qc::kSerialLimit);
  EXPECT_EQ(c->serial_raw_buf[qc::kSerialLimit - 1], 0xBB);
  EXPECT_EQ(lptest::val(c->serial_overflow_len), qc::kSerialLimit);
  EXPECT_EQ(lptest::val(c->rx_dropped), 1u);

  // The application takes everything; the next pass is still dropped as a whole.
  c->serial_raw_count = 0;
  auto d = fill(10, 0xCC);
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(lptest::val(c->serial_raw_count), 0);
  EXPECT_EQ(lptest::val(c->serial_error_time), 0u);
  // The one after is kept.
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(lptest::val(c->serial_raw_count), 10);

  // Raw mode 2 and above skips the quiet check.
  c->serial_raw = 2;
  c->serial_raw_count = 0;
  c->serial_error_time = 7;
  c->serial_overflow_len = 100;
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(lptest::val(c->serial_raw_count), 10);
  EXPECT_EQ(lptest::val(c->serial_error_time), 7u);
}

TEST(SerialFrame, AfterAnOverflowOnlyMessagesUpToThatSizeAreAccepted) {
  Conn k;
  Connection* c = k.c;
  ASSERT_NE(c, nullptr);
  c->serial_overflow_len = 20;
  std::vector<uint8_t> m = {0x85, 0, 24, 0};
  EXPECT_EQ(qc::serial_frame_message(c, m.data(), 4), 0);
  EXPECT_EQ(lptest::val(c->rx_dropped), 1u);
  EXPECT_EQ(lptest::val(c->serial_overflow_len), 0);
  // Once cleared by the bad header, any size up to 1600 is fine again.
  EXPECT_EQ(qc::serial_frame_message(c, m.data(), 4), 0);
  EXPECT_EQ(lptest::val(c->rx_dropped), 1u);
  EXPECT_EQ(lptest::val(c->serial_raw_count), 4);
}

TEST(SerialFrame, SetupLongMessageTextIsBoundedAndStateSurvivesPasses) {
  Conn k;
  Connection* c = k.c;
  ASSERT_NE(c, nullptr);
  uint8_t start[2] = {0x80, 0x33};
  qc::serial_frame_setup(c, start, 2);
  EXPECT_EQ(lptest::val(c->serial_reader_state), 2);
  // More than the gathering area: the excess is ignored, the message is too long.
  auto text = fill(2500, 'q');
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  EXPECT_EQ(lptest::val(c->serial_frame_fill), qc::kSerialLimit);
  uint8_t end[1] = {0x00};
  qc::serial_frame_setup(c, end, 1);
  EXPECT_EQ(lptest::val(c->serial_reader_state), 0);
  EXPECT_EQ(lptest::val(c->rx_dropped), 1u);
  EXPECT_EQ(lptest::val(c->queue[0].count), 0);

  // The command byte of a long message is not lost to messages built in between.
  qc::serial_frame_setup(c, start, 2);
  uint8_t ab[2] = {'a', 'b'};
  qc::serial_frame_setup(c, ab, 2);
  c->rx_buf[1] = 0x55;  // the buffer is shared with the message framing
  qc::serial_frame_setup(c, end, 1);
  uint8_t got[64];
  ASSERT_EQ(rx_receive(c, 0, got, sizeof got), 14);
  EXPECT_EQ(got[1], 0x33);
}

}  // namespace
