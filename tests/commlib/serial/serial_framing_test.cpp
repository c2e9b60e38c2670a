// The serial reader over real pseudo-terminals: bytes written on the master by another
// thread arrive through the kernel's tty layer and the driver, and the reader passes
// frame them.
#include <cstring>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::cat;
using lptest::feed;
using lptest::message;

namespace {

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = root_.add_com(3);
    ASSERT_GE(master_, 0);
    c_ = conn_alloc();
    ASSERT_NE(c_, nullptr);
    ASSERT_EQ(lptest::open_serial(c_, "COM3", 115200), 0);
  }
  void TearDown() override {
    if (c_) {
      serial_close(c_);
      conn_free(c_);
    }
  }
  // Feeds the bytes and runs one reader pass once the driver holds all of them.
  int feed_and_poll(const std::vector<uint8_t>& bytes) {
    const int before = ser_in_count(2);
    feed(master_, bytes);
    EXPECT_TRUE(lptest::wait_input(c_, before + int(bytes.size())));
    return serial_poll(c_);
  }
  std::vector<uint8_t> take(int channel) {
    std::vector<uint8_t> buf(2000);
    int n = rx_receive(c_, channel, buf.data(), int(buf.size()));
    buf.resize(size_t(n > 0 ? n : 0));
    return buf;
  }

  PtyRoot root_;
  int master_ = -1;
  Connection* c_ = nullptr;
};

TEST_F(SerialPty, OpenParsesThePortText) {
  EXPECT_EQ(lptest::val(c_->serial_port), 3);
  EXPECT_EQ(lptest::val(c_->status), 4);
  EXPECT_EQ(lptest::val(c_->serial_hw_flow), 0);
  EXPECT_EQ(lptest::val(c_->serial_user_baud), 115200u);
  EXPECT_EQ(lptest::val(c_->serial_setup_baud), 9600u);
  serial_close(c_);
  EXPECT_EQ(lptest::val(c_->serial_port), 0);
  EXPECT_EQ(lptest::val(c_->status), 0);

  EXPECT_EQ(lptest::open_serial(c_, "com3:hw", 0), 0);
  EXPECT_EQ(lptest::val(c_->serial_port), 3);
  EXPECT_EQ(lptest::val(c_->serial_hw_flow), 1);
  EXPECT_EQ(lptest::val(c_->serial_baud), 9600u);
  serial_close(c_);

  EXPECT_EQ(lptest::open_serial(c_, "LPT1", 9600), 4);
  EXPECT_EQ(lptest::open_serial(c_, "COM", 9600), 2);
  EXPECT_EQ(lptest::open_serial(c_, "COM0", 9600), 2);
  EXPECT_EQ(lptest::val(c_->serial_port), 0);
}

TEST_F(SerialPty, ConnectAndDisconnectReachTheSerialSide) {
  serial_close(c_);
  EXPECT_EQ(conn_connect(c_, "Modem", "com3:hw", 0, 1), 0);
  EXPECT_EQ(lptest::val(c_->transport), 0);
  EXPECT_EQ(lptest::val(c_->is_server), 1u);
  EXPECT_EQ(lptest::val(c_->serial_hw_flow), 1);
  EXPECT_EQ(lptest::val(c_->serial_baud), 9600u);
  EXPECT_EQ(lptest::val(c_->status), 4);
  EXPECT_EQ(conn_disconnect(c_), 1);  // the driver's close result: nonzero on success
  EXPECT_EQ(lptest::val(c_->status), 0);
  EXPECT_EQ(lptest::val(c_->serial_port), 0);
  EXPECT_EQ(conn_connect(c_, "serial", "LPT1", 9600, 0), 4);
}

TEST_F(SerialPty, MissingPortStoresTheOpenErrorOnce) {
  const int r = lptest::open_serial(c_, "COM7", 9600);  // no dev/COM7 entry
  EXPECT_LT(r, 0);
  EXPECT_EQ(lptest::val(c_->serial_port), 0);
  int err = 0, lines = 0, in = 0;
  serial_line_status(c_, &err, &lines, &in);
  EXPECT_NE(err, 0);
  EXPECT_EQ(lines, -99);
  EXPECT_EQ(in, -99);
  serial_line_status(c_, nullptr, nullptr, nullptr);  // absent outputs are allowed
}

TEST_F(SerialPty, MessageSplitOverPassesIsHeldUntilComplete) {
  auto m = message(0x85, 0x10, 12, 1);  // 20 bytes
  std::vector<uint8_t> first(m.begin(), m.begin() + 12), rest(m.begin() + 12, m.end());
  EXPECT_EQ(feed_and_poll(first), 0);
  EXPECT_EQ(lptest::val(c_->serial_raw_count), 12);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 0);
  EXPECT_EQ(feed_and_poll(rest), 1);
  EXPECT_EQ(lptest::val(c_->serial_raw_count), 0);
  EXPECT_EQ(take(0), m);
  EXPECT_EQ(lptest::val(c_->rx_dropped), 0u);
}

TEST_F(SerialPty, TwoMessagesInOnePassComeOutOverTwoPasses) {
  auto a = message(0x90, 1, 4, 1), b = message(0x91, 2, 30, 2, 0xFF);
  EXPECT_EQ(feed_and_poll(cat(a, b)), 1);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 1);
  EXPECT_EQ(lptest::val(c_->serial_raw_count), b.size());
  EXPECT_EQ(serial_poll(c_), 1);  // no new bytes; the held message goes now
  EXPECT_EQ(serial_poll(c_), 0);
  EXPECT_EQ(take(0), a);
  EXPECT_EQ(take(0), b);
}

TEST_F(SerialPty, TypeClassChoosesTheQueue) {
  auto beacon = message(239, 0, 0, 9);
  EXPECT_EQ(feed_and_poll(beacon), 1);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 0);
  EXPECT_EQ(lptest::val(c_->queue[1].count), 1);
  EXPECT_EQ(take(1), beacon);
}

TEST_F(SerialPty, BadHeadersDropEverythingHeldAndCount) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  auto good = message(0x85, 0, 4, 3);
  auto low_type = good;
  low_type[0] = 0x7F;
  auto high_command = good;
  high_command[1] = 0x80;
  auto short_len = good;
  short_len[2] = 7;
  auto long_len = good;
  long_len[2] = 0x41;  // 1601
  long_len[3] = 0x06;
  const Case cases[] = {{"type below 0x80", low_type},
                        {"command 0x80 or above", high_command},
                        {"length 7", short_len},
                        {"length 1601", long_len}};
  uint32_t dropped = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    // A good message behind the bad one in the same pass goes with it.
    EXPECT_EQ(feed_and_poll(cat(k.bytes, good)), 0);
    EXPECT_EQ(lptest::val(c_->rx_dropped), ++dropped);
    EXPECT_EQ(lptest::val(c_->serial_raw_count), 0);
    EXPECT_EQ(lptest::val(c_->queue[0].count), 0);
  }
  // The reader starts afresh with the next message.
  EXPECT_EQ(feed_and_poll(good), 1);
  EXPECT_EQ(take(0), good);
}

TEST_F(SerialPty, SetupFramingPairs) {
  serial_set_framing(c_, 1, 0);
  EXPECT_EQ(serial_get_framing(c_), -1);
  feed_and_poll({0x85, 0x10});
  auto m = take(0);
  ASSERT_EQ(m.size(), 8u);
  EXPECT_EQ(m, (std::vector<uint8_t>{0x85, 0x10, 8, 0, 0, 0, 0, 0}));

  // A second command byte replaces the first; bytes without a command are skipped.
  feed_and_poll({0x01, 0x02, 0x85, 0x86, 0x10});
  m = take(0);
  ASSERT_EQ(m.size(), 8u);
  EXPECT_EQ(m[0], 0x86);
  EXPECT_EQ(m[1], 0x10);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 0);

  // Pairs split over passes.
  feed_and_poll({0xA1});
  EXPECT_EQ(lptest::val(c_->queue[1].count), 0);
  feed_and_poll({0x05});
  m = take(1);  // type 161 is a datagram type by default
  ASSERT_EQ(m.size(), 8u);
  EXPECT_EQ(m[0], 0xA1);
  EXPECT_EQ(m[1], 0x05);
}

TEST_F(SerialPty, SetupFramingLongMessages) {
  serial_set_framing(c_, 1, 0);
  feed_and_poll({0x80, 0x01, 'a', 'b', 0x00});
  auto m = take(0);
  ASSERT_EQ(m.size(), 14u);
  EXPECT_EQ(m[0], 0x80);
  EXPECT_EQ(m[1], 0x01);
  EXPECT_EQ(qc::le16(&m[2]), 14);
  EXPECT_EQ(m[8], 'a');
  EXPECT_EQ(m[9], 'b');
  EXPECT_EQ(qc::le32(&m[10]), 0u);

  // A command byte ends the text and starts the next pair.
  feed_and_poll({0x80, 0x02, 'x', 0x90, 0x03});
  m = take(0);
  ASSERT_EQ(m.size(), 13u);
  EXPECT_EQ(m[1], 0x02);
  EXPECT_EQ(m[8], 'x');
  m = take(0);
  ASSERT_EQ(m.size(), 8u);
  EXPECT_EQ(m[0], 0x90);
  EXPECT_EQ(m[1], 0x03);

  // 1588 text bytes are the most one message holds; delivered over several passes.
  std::vector<uint8_t> text(qc::kSetupLongMax);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t(1 + i % 0x7E);
  std::vector<uint8_t> wire = {0x80, 0x07};
  wire = cat(wire, text);
  wire.push_back(0);
  feed_and_poll(wire);
  m = take(0);
  ASSERT_EQ(m.size(), 1600u);
  EXPECT_EQ(std::memcmp(m.data() + 8, text.data(), text.size()), 0);
  EXPECT_EQ(lptest::val(c_->rx_dropped), 0u);

  // One more byte does not fit a message: dropped and counted, not cut.
  wire.insert(wire.end() - 1, 'z');
  feed_and_poll(wire);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 0);
  EXPECT_EQ(lptest::val(c_->rx_dropped), 1u);
  EXPECT_EQ(lptest::val(c_->serial_reader_state), 0);
}

TEST_F(SerialPty, RawModeKeepsBytesAndStopsReadingWhenNearlyFull) {
  c_->serial_raw = 1;
  std::vector<uint8_t> bytes(6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + (i >> 8));
  feed(master_, bytes);  // more than the tty's input buffer: the kernel holds the rest

  // Nobody takes the bytes: the buffer fills to within 100 bytes of its end and stays.
  for (int i = 0; i < 1000 && qc::kSerialLimit - c_->serial_raw_count >= qc::kRawLowWater;
       ++i) {
    if (serial_poll(c_) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(lptest::val(c_->serial_raw_count), qc::kSerialLimit - qc::kRawLowWater);
  EXPECT_LE(lptest::val(c_->serial_raw_count), qc::kSerialLimit);
  const int held = c_->serial_raw_count;
  ASSERT_TRUE(lptest::wait_input(c_, 1));
  EXPECT_EQ(serial_poll(c_), 0);
  EXPECT_EQ(lptest::val(c_->serial_raw_count), held);
  EXPECT_GT(ser_in_count(2), 0);  // the rest waits in the port

  // Taking bytes (rx_receive runs a pass first) lets the rest in, in order.
  std::vector<uint8_t> got;
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    uint8_t buf[1500];
    int n = rx_receive(c_, -1, buf, sizeof buf);
    ASSERT_GE(n, 0);
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(lptest::val(c_->rx_dropped), 0u);
}

TEST_F(SerialPty, ResetForgetsHeldBytesAndQueues) {
  auto m = message(0x85, 1, 10, 1);
  feed_and_poll(cat(m, {0x85, 0x01}));
  ASSERT_EQ(lptest::val(c_->queue[0].count), 1);
  c_->rx_dropped = 5;
  serial_reset(c_);
  EXPECT_EQ(lptest::val(c_->queue[0].count), 0);
  EXPECT_EQ(lptest::val(c_->serial_raw_count), 0);
  EXPECT_EQ(lptest::val(c_->rx_dropped), 0u);
  EXPECT_EQ(lptest::val(c_->last_rx_seq[0]), 0u);
}

}  // namespace
