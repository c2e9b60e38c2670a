// The serial reader and send path. Over real pseudo-terminals, bytes written on the master
// arrive through the kernel's tty layer and the driver; the passes run without a port
// where a port cannot reach: the buffer limits and the fault memory between passes.
#include <cstring>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::cat;
using lptest::feed;
using lptest::message;
using lptest::val;
using Bytes = std::vector<uint8_t>;

namespace {

// A connection without a port.
class SerialFrame : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(c, nullptr); }
  ~SerialFrame() override {
    if (c) c->rx_capture_slot = 0;
    conn_free(c);
  }
  Connection* const c = conn_alloc();
};

// Run once as a connection without capture (bytes taken as a block) and once as one
// with a receive capture slot (bytes taken one by one, each recorded).
class SerialFrameBothPaths : public SerialFrame, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SerialFrameBothPaths, MessageBufferOverflowCountsAndDropsTheNextPass) {
  c->rx_capture_slot = GetParam();  // a slot with nothing open behind it records nothing
  c->serial_data_time = 1000;
  // Largest messages back to back, the third still incomplete.
  Bytes big(1600, 0x11);
  big[0] = 0x85;
  big[1] = 0x01;
  big[2] = 0x40;  // 1600
  big[3] = 0x06;
  Bytes bytes = cat(big, big);
  bytes.insert(bytes.end(), big.begin(), big.begin() + 798);
  // One message per pass: the first goes, the rest stays held.
  ASSERT_EQ(qc::serial_frame_message(c, bytes.data(), int(bytes.size())), 1);
  EXPECT_EQ(val(c->queue[0].count), 1);
  EXPECT_EQ(val(c->serial_raw_count), 2398);

  Bytes more(1700, 0x22);
  EXPECT_EQ(qc::serial_frame_message(c, more.data(), int(more.size())), 0);
  EXPECT_EQ(val(c->serial_raw_count), qc::kSerialLimit);
  EXPECT_EQ(val(c->serial_overflow_len), qc::kSerialLimit);
  EXPECT_EQ(val(c->serial_error_time), 1000u);
  EXPECT_EQ(val(c->rx_dropped), 1u);

  // The next pass forgets the error and drops its own bytes; the held ones stay.
  c->serial_data_time = 2000;
  uint8_t next[3] = {1, 2, 3};
  EXPECT_EQ(qc::serial_frame_message(c, next, 3), 1);
  EXPECT_EQ(val(c->serial_error_time), 0u);
  EXPECT_EQ(val(c->serial_raw_count), qc::kSerialLimit - 1600);  // one more message went
  EXPECT_EQ(val(c->queue[0].count), 2);
}

INSTANTIATE_TEST_SUITE_P(Capture, SerialFrameBothPaths, ::testing::Values(0u, 1u));

TEST_F(SerialFrame, RawOverflowAndQuietCheck) {
  c->serial_raw = 1;
  c->serial_data_time = 500;
  Bytes a(3990, 0xAA), b(20, 0xBB), d(10, 0xCC);
  EXPECT_EQ(qc::serial_frame_raw(c, a.data(), int(a.size())), 3990);
  EXPECT_EQ(qc::serial_frame_raw(c, b.data(), int(b.size())), 0);
  EXPECT_EQ(val(c->serial_raw_count), qc::kSerialLimit);
  EXPECT_EQ(c->serial_raw_buf[qc::kSerialLimit - 1], 0xBB);
  EXPECT_EQ(val(c->serial_overflow_len), qc::kSerialLimit);
  EXPECT_EQ(val(c->rx_dropped), 1u);

  // The application takes everything; the next pass is still dropped as a whole.
  c->serial_raw_count = 0;
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(val(c->serial_raw_count), 0);
  EXPECT_EQ(val(c->serial_error_time), 0u);
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);  // the one after is kept
  EXPECT_EQ(val(c->serial_raw_count), 10);

  // Raw mode 2 and above skips the quiet check.
  c->serial_raw = 2;
  c->serial_raw_count = 0;
  c->serial_error_time = 7;
  c->serial_overflow_len = 100;
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(val(c->serial_raw_count), 10);
  EXPECT_EQ(val(c->serial_error_time), 7u);
}

TEST_F(SerialFrame, AfterAnOverflowOnlyMessagesUpToThatSizeAreAccepted) {
  c->serial_overflow_len = 20;
  uint8_t m[] = {0x85, 0, 24, 0};
  EXPECT_EQ(qc::serial_frame_message(c, m, 4), 0);
  EXPECT_EQ(val(c->rx_dropped), 1u);
  EXPECT_EQ(val(c->serial_overflow_len), 0);
  // Once cleared by the bad header, any size up to 1600 is fine again.
  EXPECT_EQ(qc::serial_frame_message(c, m, 4), 0);
  EXPECT_EQ(val(c->rx_dropped), 1u);
  EXPECT_EQ(val(c->serial_raw_count), 4);
}

TEST_F(SerialFrame, SetupLongMessageTextIsBoundedAndStateSurvivesPasses) {
  uint8_t start[2] = {0x80, 0x33}, end[1] = {0x00}, ab[2] = {'a', 'b'};
  qc::serial_frame_setup(c, start, 2);
  EXPECT_EQ(val(c->serial_reader_state), 2);
  // More than the gathering area: the excess is ignored, the message is too long.
  Bytes text(2500, 'q');
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  EXPECT_EQ(val(c->serial_frame_fill), qc::kSerialLimit);
  qc::serial_frame_setup(c, end, 1);
  EXPECT_EQ(val(c->serial_reader_state), 0);
  EXPECT_EQ(val(c->rx_dropped), 1u);
  EXPECT_EQ(val(c->queue[0].count), 0);

  // The command byte of a long message is not lost to messages built in between.
  qc::serial_frame_setup(c, start, 2);
  qc::serial_frame_setup(c, ab, 2);
  c->rx_buf[1] = 0x55;  // the buffer is shared with the message framing
  qc::serial_frame_setup(c, end, 1);
  uint8_t got[64];
  ASSERT_EQ(rx_receive(c, 0, got, sizeof got), 14);
  EXPECT_EQ(got[1], 0x33);
}

class SerialPty : public lptest::PtyConnection {
 protected:
  SerialPty() : PtyConnection(3, 115200) {}
  // Feeds the bytes and runs one reader pass once the driver holds all of them.
  int feed_and_poll(const Bytes& bytes) {
    const int before = ser_in_count(2);
    feed(master_, bytes);
    EXPECT_TRUE(lptest::wait_input(c_, before + int(bytes.size())));
    return serial_poll(c_);
  }
  Bytes take(int channel) {
    Bytes buf(2000);
    int n = rx_receive(c_, channel, buf.data(), int(buf.size()));
    buf.resize(size_t(n > 0 ? n : 0));
    return buf;
  }
  // The bytes on the line after a send, and that nothing else followed.
  Bytes line(size_t n) {
    Bytes got(n);
    got.resize(size_t(read_full(master_, got.data(), int(n))));
    // The driver's write has finished when the send returns; a short look suffices.
    uint8_t extra;
    EXPECT_EQ(read_full(master_, &extra, 1, 50), 0) << "extra bytes on the line";
    return got;
  }
};

TEST_F(SerialPty, OpenParsesThePortText) {
  EXPECT_EQ(val(c_->serial_port), 3);
  EXPECT_EQ(val(c_->status), 4);
  EXPECT_EQ(val(c_->serial_hw_flow), 0);
  EXPECT_EQ(val(c_->serial_user_baud), 115200u);
  EXPECT_EQ(val(c_->serial_setup_baud), 9600u);
  serial_close(c_);
  EXPECT_EQ(val(c_->serial_port), 0);
  EXPECT_EQ(val(c_->status), 0);
  // (":hw", other device names and a bare "COM" are parsed in the connect and modem tests.)
  EXPECT_EQ(lptest::open_serial(c_, "COM0", 9600), 2);
  EXPECT_EQ(val(c_->serial_port), 0);
}

TEST_F(SerialPty, ConnectAndDisconnectReachTheSerialSide) {
  serial_close(c_);
  EXPECT_EQ(conn_connect(c_, "Modem", "com3:hw", 0, 1), 0);
  EXPECT_EQ(val(c_->transport), 0);
  EXPECT_EQ(val(c_->is_server), 1u);
  EXPECT_EQ(val(c_->serial_hw_flow), 1);
  EXPECT_EQ(val(c_->serial_baud), 9600u);
  EXPECT_EQ(val(c_->status), 4);
  EXPECT_EQ(conn_disconnect(c_), 1);  // the driver's close result: nonzero on success
  EXPECT_EQ(val(c_->status), 0);
  EXPECT_EQ(val(c_->serial_port), 0);
  EXPECT_EQ(conn_connect(c_, "serial", "LPT1", 9600, 0), 4);
}

TEST_F(SerialPty, MissingPortStoresTheOpenError) {
  EXPECT_LT(lptest::open_serial(c_, "COM7", 9600), 0);  // no dev/COM7 entry
  EXPECT_EQ(val(c_->serial_port), 0);
  int err = 0, lines = 0, in = 0;
  serial_line_status(c_, &err, &lines, &in);
  EXPECT_NE(err, 0);
  EXPECT_EQ(lines, -99);
  EXPECT_EQ(in, -99);
  serial_line_status(c_, nullptr, nullptr, nullptr);  // absent outputs are allowed
}

TEST_F(SerialPty, MessageSplitOverPassesIsHeldUntilComplete) {
  auto m = message(0x85, 0x10, 12, 1);  // 20 bytes
  EXPECT_EQ(feed_and_poll(Bytes(m.begin(), m.begin() + 12)), 0);
  EXPECT_EQ(val(c_->serial_raw_count), 12);
  EXPECT_EQ(val(c_->queue[0].count), 0);
  EXPECT_EQ(feed_and_poll(Bytes(m.begin() + 12, m.end())), 1);
  EXPECT_EQ(val(c_->serial_raw_count), 0);
  EXPECT_EQ(take(0), m);
  EXPECT_EQ(val(c_->rx_dropped), 0u);
}

TEST_F(SerialPty, TwoMessagesInOnePassComeOutOverTwoPassesEachToItsQueue) {
  auto a = message(0x90, 1, 4, 1), beacon = message(239, 0, 30, 2, 0xFF);
  EXPECT_EQ(feed_and_poll(cat(a, beacon)), 1);
  EXPECT_EQ(val(c_->queue[0].count), 1);
  EXPECT_EQ(val(c_->serial_raw_count), beacon.size());
  EXPECT_EQ(serial_poll(c_), 1);  // no new bytes; the held message goes now
  EXPECT_EQ(serial_poll(c_), 0);
  EXPECT_EQ(val(c_->queue[0].count), 1);  // the type class chooses the queue
  EXPECT_EQ(take(0), a);
  EXPECT_EQ(take(1), beacon);
}

TEST_F(SerialPty, BadHeadersDropEverythingHeldAndCount) {
  const auto good = message(0x85, 0, 4, 3);
  struct Case {
    const char* what;
    size_t at;
    Bytes patch;
  };
  const Case cases[] = {{"type below 0x80", 0, {0x7F}},
                        {"command 0x80 or above", 1, {0x80}},
                        {"length 7", 2, {7, 0}},
                        {"length 1601", 2, {0x41, 0x06}}};
  uint32_t dropped = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    auto bad = good;
    std::copy(k.patch.begin(), k.patch.end(), bad.begin() + long(k.at));
    // A good message behind the bad one in the same pass goes with it.
    EXPECT_EQ(feed_and_poll(cat(bad, good)), 0);
    EXPECT_EQ(val(c_->rx_dropped), ++dropped);
    EXPECT_EQ(val(c_->serial_raw_count), 0);
    EXPECT_EQ(val(c_->queue[0].count), 0);
  }
  // The reader starts afresh with the next message.
  EXPECT_EQ(feed_and_poll(good), 1);
  EXPECT_EQ(take(0), good);
}

TEST_F(SerialPty, SetupFramingPairs) {
  serial_set_framing(c_, 1, 0);
  EXPECT_EQ(serial_get_framing(c_), -1);
  feed_and_poll({0x85, 0x10});
  EXPECT_EQ(take(0), (Bytes{0x85, 0x10, 8, 0, 0, 0, 0, 0}));
  // A second command byte replaces the first; bytes without a command are skipped.
  feed_and_poll({0x01, 0x02, 0x85, 0x86, 0x10});
  EXPECT_EQ(take(0), (Bytes{0x86, 0x10, 8, 0, 0, 0, 0, 0}));
  EXPECT_EQ(val(c_->queue[0].count), 0);
  // Pairs split over passes; type 161 is a datagram type by default.
  feed_and_poll({0xA1});
  EXPECT_EQ(val(c_->queue[1].count), 0);
  feed_and_poll({0x05});
  EXPECT_EQ(take(1), (Bytes{0xA1, 0x05, 8, 0, 0, 0, 0, 0}));
}

TEST_F(SerialPty, SetupFramingLongMessages) {
  serial_set_framing(c_, 1, 0);
  feed_and_poll({0x80, 0x01, 'a', 'b', 0x00});
  EXPECT_EQ(take(0), (Bytes{0x80, 0x01, 14, 0, 0, 0, 0, 0, 'a', 'b', 0, 0, 0, 0}));
  // A command byte ends the text and starts the next pair.
  feed_and_poll({0x80, 0x02, 'x', 0x90, 0x03});
  EXPECT_EQ(take(0), (Bytes{0x80, 0x02, 13, 0, 0, 0, 0, 0, 'x', 0, 0, 0, 0}));
  EXPECT_EQ(take(0), (Bytes{0x90, 0x03, 8, 0, 0, 0, 0, 0}));

  // 1588 text bytes are the most one message holds; delivered over several passes.
  Bytes text(qc::kSetupLongMax);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t(1 + i % 0x7E);
  Bytes wire = cat({0x80, 0x07}, text);
  wire.push_back(0);
  feed_and_poll(wire);
  const Bytes m = take(0);
  ASSERT_EQ(m.size(), 1600u);
  EXPECT_EQ(std::memcmp(m.data() + 8, text.data(), text.size()), 0);
  EXPECT_EQ(val(c_->rx_dropped), 0u);

  // One more byte does not fit a message: dropped and counted, not cut.
  wire.insert(wire.end() - 1, 'z');
  feed_and_poll(wire);
  EXPECT_EQ(val(c_->queue[0].count), 0);
  EXPECT_EQ(val(c_->rx_dropped), 1u);
  EXPECT_EQ(val(c_->serial_reader_state), 0);
}

TEST_F(SerialPty, RawModeKeepsBytesAndStopsReadingWhenNearlyFull) {
  c_->serial_raw = 1;
  Bytes bytes(6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + (i >> 8));
  feed(master_, bytes);  // more than the tty's input buffer: the kernel holds the rest

  // Nobody takes the bytes: the buffer fills to within 100 bytes of its end and stays.
  for (int i = 0; i < 1000 && qc::kSerialLimit - c_->serial_raw_count >= qc::kRawLowWater;
       ++i) {
    if (serial_poll(c_) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(val(c_->serial_raw_count), qc::kSerialLimit - qc::kRawLowWater);
  EXPECT_LE(val(c_->serial_raw_count), qc::kSerialLimit);
  const int held = c_->serial_raw_count;
  ASSERT_TRUE(lptest::wait_input(c_, 1));
  EXPECT_EQ(serial_poll(c_), 0);
  EXPECT_EQ(val(c_->serial_raw_count), held);
  EXPECT_GT(ser_in_count(2), 0);  // the rest waits in the port

  // Taking bytes (rx_receive runs a pass first) lets the rest in, in order.
  Bytes got;
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    uint8_t buf[1500];
    int n = rx_receive(c_, -1, buf, sizeof buf);
    ASSERT_GE(n, 0);
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(val(c_->rx_dropped), 0u);
}

TEST_F(SerialPty, ResetForgetsHeldBytesAndQueues) {
  feed_and_poll(cat(message(0x85, 1, 10, 1), {0x85, 0x01}));
  ASSERT_EQ(val(c_->queue[0].count), 1);
  c_->rx_dropped = 5;
  serial_reset(c_);
  EXPECT_EQ(val(c_->queue[0].count), 0);
  EXPECT_EQ(val(c_->serial_raw_count), 0);
  EXPECT_EQ(val(c_->rx_dropped), 0u);
  EXPECT_EQ(val(c_->last_rx_seq[0]), 0u);
}

// A type 0x80 message carrying a text: two bytes before the text length, then the text.
Bytes text_message(uint8_t command, const Bytes& text, int text_len) {
  auto m = message(0x80, command, 4 + text.size(), 7);
  m[4] = m[5] = 0;
  m[6] = uint8_t(text_len);
  m[7] = uint8_t(text_len >> 8);
  std::copy(text.begin(), text.end(), m.begin() + 8);
  return m;
}

TEST_F(SerialPty, SendPutsTheMessageOnTheLine) {
  struct Case {
    const char* what;
    int setup, raw;
    Bytes sent, wire;
  };
  const auto m = message(0xE0, 4, 100, 42, 0xFF);
  const Case cases[] = {
      {"message framing", 0, 0, m, m},
      {"raw mode wins over the setup framing", 1, 1, m, m},
      {"setup pair", 1, 0, message(0x85, 0x10, 20, 3), {0x85, 0x10}},
      {"text", 1, 0, text_message(0x21, {'a', 'b'}, 2), {0x80, 0x21, 'a', 'b', 0}},
      {"text with its own 0", 1, 0, text_message(0x22, {'a', 'b', 0}, 3),
       {0x80, 0x22, 'a', 'b', 0}},
      // The message ends in its sequence 7, 0, 0, 0: the last byte is 0, nothing added.
      {"text length beyond the message", 1, 0, text_message(0x23, {'x', 'y'}, 500),
       {0x80, 0x23, 'x', 'y', 7, 0, 0, 0}},
      {"text length 2 or less", 1, 0, {0x80, 0x24, 2, 0, 0, 0, 0, 0}, {0x80, 0x24}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    serial_set_framing(c_, k.setup, k.raw);
    EXPECT_EQ(qc::serial_send(c_, k.sent.data(), int(k.sent.size())), 0);
    EXPECT_EQ(line(k.wire.size()), k.wire);
  }
}

TEST_F(SerialPty, WriteResults) {
  const uint8_t text[] = "COM text";
  EXPECT_EQ(serial_write(c_, text, 0), 0);  // count 0: the NUL-terminated text
  EXPECT_EQ(line(8), Bytes(text, text + 8));
  serial_close(c_);
  EXPECT_EQ(serial_write(c_, text, 3), 1);
  auto m = message(0x85, 1, 0, 1);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 1);
}

TEST_F(SerialPty, ReopenKeepsThePortAndDropsWaitingInput) {
  feed(master_, {1, 2, 3, 4});
  ASSERT_TRUE(lptest::wait_input(c_, 4));
  serial_reopen(c_);  // also makes every later open of this process reset its device
  EXPECT_EQ(val(c_->serial_port), 3);
  EXPECT_EQ(val(c_->status), 4);
  EXPECT_EQ(ser_in_count(2), 0);
  auto m = message(0x85, 2, 6, 9);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);
}

}  // namespace
