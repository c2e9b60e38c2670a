// The serial reader, send path, modem lines and captures. Over real pseudo-terminals
// bytes arrive through the kernel's tty layer and the driver; the simulated cable shows
// what a pseudo-terminal cannot (modem lines, break, line errors); the passes run
// without a port where a port cannot reach: the buffer limits between passes.
#include <cstring>

#include "commlib/serial.h"
#include "tests/commlib/capture_reader.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::cat;
using lptest::CableTest;
using lptest::feed;
using lptest::message;
using lptest::val;
using Bytes = std::vector<uint8_t>;

namespace {

// The reader's state as one text: queued stream/datagram messages, bytes held, the
// overflow length and error time, messages dropped, setup state and fill.
std::string counters(const Connection* c) {
  char t[160];
  std::snprintf(t, sizeof t, "q%d/%d held %d overflow %d error %u dropped %u setup %d/%d",
                int(c->queue[0].count), int(c->queue[1].count), int(c->serial_raw_count),
                int(c->serial_overflow_len), unsigned(c->serial_error_time),
                unsigned(c->rx_dropped), int(c->serial_reader_state), int(c->serial_frame_fill));
  return t;
}

class SerialFrame : public ::testing::TestWithParam<uint32_t> {
 protected:
  ~SerialFrame() override {
    c->rx_capture_slot = 0;
    conn_free(c);
  }
  Connection* const c = conn_alloc();
};

// Without capture (bytes taken as a block) and with a receive capture slot (bytes taken
// one by one, each recorded; a slot with nothing open behind it records nothing).
TEST_P(SerialFrame, MessageBufferOverflowCountsAndDropsTheNextPass) {
  c->rx_capture_slot = GetParam();
  c->serial_data_time = 1000;
  Bytes big(1600, 0x11);  // largest messages back to back, the third incomplete
  big[0] = 0x85;
  big[1] = 0x01;
  big[2] = 0x40;
  big[3] = 0x06;
  Bytes bytes = cat(big, big);
  bytes.insert(bytes.end(), big.begin(), big.begin() + 798);
  ASSERT_EQ(qc::serial_frame_message(c, bytes.data(), int(bytes.size())), 1);  // one per pass
  EXPECT_EQ(counters(c), "q1/0 held 2398 overflow 0 error 0 dropped 0 setup 0/0");
  Bytes more(1700, 0x22);
  EXPECT_EQ(qc::serial_frame_message(c, more.data(), int(more.size())), 0);
  EXPECT_EQ(counters(c), "q1/0 held 4000 overflow 4000 error 1000 dropped 1 setup 0/0");
  // The next pass forgets the error and drops its own bytes; the held ones stay.
  c->serial_data_time = 2000;
  uint8_t next[3] = {1, 2, 3};
  EXPECT_EQ(qc::serial_frame_message(c, next, 3), 1);
  EXPECT_EQ(counters(c), "q2/0 held 2400 overflow 4000 error 0 dropped 1 setup 0/0");
}

INSTANTIATE_TEST_SUITE_P(Capture, SerialFrame, ::testing::Values(0u, 1u));

TEST(SerialFrameRaw, RawOverflowQuietCheckAndOverflowLength) {
  Connection* c = conn_alloc();
  c->serial_raw = 1;
  c->serial_data_time = 500;
  Bytes a(3990, 0xAA), b(20, 0xBB), d(10, 0xCC);
  EXPECT_EQ(qc::serial_frame_raw(c, a.data(), int(a.size())), 3990);
  EXPECT_EQ(qc::serial_frame_raw(c, b.data(), int(b.size())), 0);
  EXPECT_EQ(c->serial_raw_buf[qc::kSerialLimit - 1], 0xBB);
  EXPECT_EQ(counters(c), "q0/0 held 4000 overflow 4000 error 500 dropped 1 setup 0/0");
  c->serial_raw_count = 0;  // all taken; the next pass is still dropped as a whole
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(counters(c), "q0/0 held 0 overflow 4000 error 0 dropped 1 setup 0/0");
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(val(c->serial_raw_count), 10);
  c->serial_raw = 2;  // 2 and above skip the quiet check
  c->serial_raw_count = 0;
  c->serial_error_time = 7;
  c->serial_overflow_len = 100;
  EXPECT_EQ(qc::serial_frame_raw(c, d.data(), 10), 10);
  EXPECT_EQ(counters(c), "q0/0 held 10 overflow 100 error 7 dropped 1 setup 0/0");
  // After an overflow only messages up to that size are accepted, then any again.
  conn_free(c);
  c = conn_alloc();
  c->serial_overflow_len = 20;
  uint8_t m[] = {0x85, 0, 24, 0};
  EXPECT_EQ(qc::serial_frame_message(c, m, 4), 0);
  EXPECT_EQ(counters(c), "q0/0 held 0 overflow 0 error 0 dropped 1 setup 0/0");
  EXPECT_EQ(qc::serial_frame_message(c, m, 4), 0);
  EXPECT_EQ(counters(c), "q0/0 held 4 overflow 0 error 0 dropped 1 setup 0/0");
  conn_free(c);
}

TEST(SerialFrameSetup, LongMessageTextIsBoundedAndStateSurvivesPasses) {
  Connection* c = conn_alloc();
  uint8_t start[2] = {0x80, 0x33}, end[1] = {0x00}, ab[2] = {'a', 'b'};
  qc::serial_frame_setup(c, start, 2);
  EXPECT_EQ(counters(c), "q0/0 held 0 overflow 0 error 0 dropped 0 setup 2/0");
  Bytes text(2500, 'q');  // more than the gathering area: ignored, the message too long
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  qc::serial_frame_setup(c, text.data(), int(text.size()));
  EXPECT_EQ(counters(c), "q0/0 held 0 overflow 0 error 0 dropped 0 setup 2/4000");
  qc::serial_frame_setup(c, end, 1);
  // Back to waiting for a command; what the gathering area held does not matter.
  EXPECT_EQ(counters(c).substr(0, 49), "q0/0 held 0 overflow 0 error 0 dropped 1 setup 0/");
  // The command byte of a long message is not lost to messages built in between.
  qc::serial_frame_setup(c, start, 2);
  qc::serial_frame_setup(c, ab, 2);
  c->rx_buf[1] = 0x55;  // the buffer is shared with the message framing
  qc::serial_frame_setup(c, end, 1);
  uint8_t got[64];
  ASSERT_EQ(rx_receive(c, 0, got, sizeof got), 14);
  EXPECT_EQ(got[1], 0x33);
  conn_free(c);
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
    uint8_t extra;
    EXPECT_EQ(read_full(master_, &extra, 1, 50), 0) << "extra bytes on the line";
    return got;
  }
};

// The port fields as one text: port, status, hardware flow, rate, connect rate, setup
// rate, server.
std::string port_state(const Connection* c) {
  char t[120];
  std::snprintf(t, sizeof t, "COM%d status %d hw %d baud %u user %u setup %u server %u",
                int(c->serial_port), int(c->status), int(c->serial_hw_flow),
                unsigned(c->serial_baud), unsigned(c->serial_user_baud),
                unsigned(c->serial_setup_baud), unsigned(c->is_server));
  return t;
}

TEST_F(SerialPty, OpenConnectAndDisconnect) {
  EXPECT_EQ(port_state(c_), "COM3 status 4 hw 0 baud 115200 user 115200 setup 9600 server 0");
  serial_close(c_);
  EXPECT_EQ(port_state(c_), "COM0 status 0 hw 0 baud 115200 user 115200 setup 9600 server 0");
  EXPECT_EQ(lptest::open_serial(c_, "COM0", 9600), 2);
  EXPECT_EQ(conn_connect(c_, "Modem", "com3:hw", 0, 1), 0);
  EXPECT_EQ(val(c_->transport), 0);
  EXPECT_EQ(port_state(c_), "COM3 status 4 hw 1 baud 9600 user 9600 setup 9600 server 1");
  EXPECT_EQ(conn_disconnect(c_), 1);  // the driver's close result: nonzero on success
  EXPECT_EQ(val(c_->status) + val(c_->serial_port), 0);
  EXPECT_EQ(conn_connect(c_, "serial", "LPT1", 9600, 0), 4);
  EXPECT_LT(lptest::open_serial(c_, "COM7", 9600), 0);  // no dev/COM7 entry
  int err = 0, lines = 0, in = 0;
  serial_line_status(c_, &err, &lines, &in);
  EXPECT_NE(err, 0);
  EXPECT_EQ(lines, -99);
  EXPECT_EQ(in, -99);
  serial_line_status(c_, nullptr, nullptr, nullptr);
}

TEST_F(SerialPty, MessagesSplitJoinedAndBad) {
  auto m = message(0x85, 0x10, 12, 1);  // 20 bytes, held until complete
  EXPECT_EQ(feed_and_poll(Bytes(m.begin(), m.begin() + 12)), 0);
  EXPECT_EQ(counters(c_), "q0/0 held 12 overflow 0 error 0 dropped 0 setup 0/0");
  EXPECT_EQ(feed_and_poll(Bytes(m.begin() + 12, m.end())), 1);
  EXPECT_EQ(take(0), m);
  // Two in one pass come out over two passes, each to the queue of its type class.
  auto a = message(0x90, 1, 4, 1), beacon = message(239, 0, 30, 2, 0xFF);
  EXPECT_EQ(feed_and_poll(cat(a, beacon)), 1);
  EXPECT_EQ(counters(c_), "q1/0 held 38 overflow 0 error 0 dropped 0 setup 0/0");
  EXPECT_EQ(serial_poll(c_), 1);
  EXPECT_EQ(serial_poll(c_), 0);
  EXPECT_EQ(take(0), a);
  EXPECT_EQ(take(1), beacon);
  const auto good = message(0x85, 0, 4, 3);
  struct Case {
    size_t at;
    Bytes patch;
  } cases[] = {{0, {0x7F}}, {1, {0x80}}, {2, {7, 0}}, {2, {0x41, 0x06}}};
  uint32_t dropped = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.at);
    auto bad = good;
    std::copy(k.patch.begin(), k.patch.end(), bad.begin() + long(k.at));
    EXPECT_EQ(feed_and_poll(cat(bad, good)), 0);  // the good one behind goes with it
    EXPECT_EQ(val(c_->rx_dropped), ++dropped);
    EXPECT_EQ(val(c_->serial_raw_count) + val(c_->queue[0].count), 0);
  }
  EXPECT_EQ(feed_and_poll(good), 1);
  EXPECT_EQ(take(0), good);
  // Reset forgets held bytes, queues and counters.
  feed_and_poll(cat(message(0x85, 1, 10, 1), {0x85, 0x01}));
  serial_reset(c_);
  EXPECT_EQ(counters(c_), "q0/0 held 0 overflow 0 error 0 dropped 0 setup 0/0");
  EXPECT_EQ(val(c_->last_rx_seq[0]), 0u);
}

TEST_F(SerialPty, SetupFraming) {
  serial_set_framing(c_, 1, 0);
  EXPECT_EQ(serial_get_framing(c_), -1);
  feed_and_poll({0x85, 0x10});
  EXPECT_EQ(take(0), (Bytes{0x85, 0x10, 8, 0, 0, 0, 0, 0}));
  // A second command byte replaces the first; bytes without a command are skipped.
  feed_and_poll({0x01, 0x02, 0x85, 0x86, 0x10});
  EXPECT_EQ(take(0), (Bytes{0x86, 0x10, 8, 0, 0, 0, 0, 0}));
  EXPECT_EQ(val(c_->queue[0].count), 0);
  feed_and_poll({0xA1});  // split over passes; 161 is a datagram type
  EXPECT_EQ(val(c_->queue[1].count), 0);
  feed_and_poll({0x05});
  EXPECT_EQ(take(1), (Bytes{0xA1, 0x05, 8, 0, 0, 0, 0, 0}));
  feed_and_poll({0x80, 0x01, 'a', 'b', 0x00});
  EXPECT_EQ(take(0), (Bytes{0x80, 0x01, 14, 0, 0, 0, 0, 0, 'a', 'b', 0, 0, 0, 0}));
  feed_and_poll({0x80, 0x02, 'x', 0x90, 0x03});  // a command byte ends the text
  EXPECT_EQ(take(0), (Bytes{0x80, 0x02, 13, 0, 0, 0, 0, 0, 'x', 0, 0, 0, 0}));
  EXPECT_EQ(take(0), (Bytes{0x90, 0x03, 8, 0, 0, 0, 0, 0}));
  // 1588 text bytes are the most one message holds; one more is dropped, not cut.
  Bytes text(qc::kSetupLongMax);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t(1 + i % 0x7E);
  Bytes wire = cat({0x80, 0x07}, text);
  wire.push_back(0);
  feed_and_poll(wire);
  const Bytes m = take(0);
  ASSERT_EQ(m.size(), 1600u);
  EXPECT_EQ(std::memcmp(m.data() + 8, text.data(), text.size()), 0);
  EXPECT_EQ(val(c_->rx_dropped), 0u);
  wire.insert(wire.end() - 1, 'z');
  feed_and_poll(wire);
  // Back to waiting for a command; what the gathering area held does not matter.
  EXPECT_EQ(counters(c_).substr(0, 49), "q0/0 held 0 overflow 0 error 0 dropped 1 setup 0/");
}

TEST_F(SerialPty, RawModeKeepsBytesAndStopsReadingWhenNearlyFull) {
  c_->serial_raw = 1;
  Bytes bytes(6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + (i >> 8));
  feed(master_, bytes);  // more than the tty's input buffer: the kernel holds the rest
  for (int i = 0; i < 1000 && qc::kSerialLimit - c_->serial_raw_count >= qc::kRawLowWater; ++i)
    if (serial_poll(c_) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(val(c_->serial_raw_count), qc::kSerialLimit - qc::kRawLowWater);
  const int held = c_->serial_raw_count;
  ASSERT_TRUE(lptest::wait_input(c_, 1));
  EXPECT_EQ(serial_poll(c_), 0);  // nearly full: the rest waits in the port
  EXPECT_EQ(val(c_->serial_raw_count), held);
  Bytes got;
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    uint8_t buf[1500];
    int n = rx_receive(c_, -1, buf, sizeof buf);  // runs a pass first
    ASSERT_GE(n, 0);
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(val(c_->rx_dropped), 0u);
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

TEST_F(SerialPty, SendWriteAndReopen) {
  struct Case {
    int setup, raw;
    Bytes sent, wire;
  };
  const auto m = message(0xE0, 4, 100, 42, 0xFF);
  const Case cases[] = {
      {0, 0, m, m},
      {1, 1, m, m},  // raw mode wins over the setup framing
      {1, 0, message(0x85, 0x10, 20, 3), {0x85, 0x10}},
      {1, 0, text_message(0x21, {'a', 'b'}, 2), {0x80, 0x21, 'a', 'b', 0}},
      {1, 0, text_message(0x22, {'a', 'b', 0}, 3), {0x80, 0x22, 'a', 'b', 0}},
      // Beyond the message: up to its end, which is its sequence 7, 0, 0, 0.
      {1, 0, text_message(0x23, {'x', 'y'}, 500), {0x80, 0x23, 'x', 'y', 7, 0, 0, 0}},
      {1, 0, {0x80, 0x24, 2, 0, 0, 0, 0, 0}, {0x80, 0x24}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.wire.size());
    serial_set_framing(c_, k.setup, k.raw);
    EXPECT_EQ(qc::serial_send(c_, k.sent.data(), int(k.sent.size())), 0);
    EXPECT_EQ(line(k.wire.size()), k.wire);
  }
  serial_set_framing(c_, 0, 0);
  const uint8_t text[] = "COM text";
  EXPECT_EQ(serial_write(c_, text, 0), 0);  // count 0: the NUL-terminated text
  EXPECT_EQ(line(8), Bytes(text, text + 8));
  feed(master_, {1, 2, 3, 4});
  ASSERT_TRUE(lptest::wait_input(c_, 4));
  serial_reopen(c_);  // keeps the port, drops waiting input
  EXPECT_EQ(val(c_->serial_port), 3);
  EXPECT_EQ(val(c_->status), 4);
  EXPECT_EQ(ser_in_count(2), 0);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);
  serial_close(c_);
  EXPECT_EQ(serial_write(c_, text, 3), 1);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 1);
}

TEST(SerialCapture, OpenReadDeliverWriteAndCloseAreRecorded) {
  PtyRoot root;
  const int master = root.add_com(3);
  ASSERT_GE(master, 0);
  lpcap::ScratchDir scratch("RECORD=1\n");
  Connection* c = conn_alloc();
  EXPECT_EQ(lptest::open_serial(c, "xCOM", 9600), 2);  // 310 with "M" and what follows
  serial_close(c);
  ASSERT_EQ(lptest::open_serial(c, "COM3", 9600), 0);
  auto m = message(0x85, 1, 4, 1);
  feed(master, m);
  ASSERT_TRUE(lptest::wait_input(c, int(m.size())));
  EXPECT_EQ(serial_poll(c), 1);
  EXPECT_EQ(serial_write(c, m.data(), int(m.size())), 0);
  EXPECT_GT(serial_dtr_op(c, 2), -1);
  serial_close(c);
  conn_free(c);
  // The failed open left its own capture (its empty transmit one no file).
  const auto failed = lpcap::read_capture("zrcMRX10.bin");
  const auto rx = lpcap::read_capture("zrcMRX11.bin");
  const auto tx = lpcap::read_capture("zrcMTX20.bin");
  EXPECT_EQ(scratch.files().size(), 4u);
  const uint32_t any = 0xFFFFFFFF, head = qc::le32(m.data()), size = uint32_t(m.size());
  struct Want {
    const std::vector<lpcap::Record>* file;
    uint16_t code;
    uint32_t first, third;
  } wants[] = {
      {&failed, 310, any, 0x4D}, {&rx, 324, any, any}, {&rx, 312, 3, any},
      {&rx, 300, size, head},    {&rx, 319, 0, 0x85},  // bytes recorded one by one
      {&rx, 321, 0, size},       {&rx, 315, any, any}, {&rx, 313, 3, any},
      {&tx, 309, size, head},
  };
  for (const Want& w : wants) {
    SCOPED_TRACE(w.code);
    const lpcap::Record* r = lpcap::find_event(*w.file, w.code);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(w.first == any || r->first == w.first) << r->first;
    EXPECT_TRUE(w.third == any || r->third == w.third) << r->third;
  }
}

std::string inputs(Connection* c) {
  return input_lines(conn_dsr(c), conn_carrier(c), conn_cts(c), conn_ring(c));
}

TEST_F(CableTest, ModemLinesBreakAndLineErrors) {
  open_both(19200);
  EXPECT_EQ(inputs(a_), "DSR CD");  // DTR raised at open, RTS follows the flow control
  EXPECT_NE(conn_dtr(b_, 0), 0);    // the driver's nonzero success
  EXPECT_EQ(conn_dtr(b_, 2), 0);
  EXPECT_EQ(inputs(a_), "");
  EXPECT_NE(conn_dtr(b_, 1), 0);
  EXPECT_EQ(conn_dtr(b_, 2), 1);
  EXPECT_NE(conn_rts(b_, 1), 0);
  EXPECT_EQ(conn_rts(b_, 2), 2);
  EXPECT_EQ(inputs(a_), "DSR CD CTS");
  EXPECT_NE(conn_rts(b_, 0), 0);
  EXPECT_EQ(conn_rts(b_, 7), 0);
  ASSERT_EQ(sim_cable_set_ring(cable_, 0, true), 0);
  EXPECT_EQ(inputs(a_), "DSR CD RI");
  EXPECT_EQ(inputs(b_), "DSR CD");
  // Break and line errors are read once.
  EXPECT_NE(conn_break(a_, 1), 0);
  EXPECT_NE(conn_break(a_, 0), 0);
  EXPECT_EQ(conn_line_errors(b_, 4), 0x10);
  EXPECT_EQ(conn_line_errors(b_, 4), 0);
  EXPECT_NE(conn_break(b_, 1), 0);
  conn_break(b_, 0);
  EXPECT_EQ(conn_break(a_, -1), 0x10);
  EXPECT_EQ(conn_break(a_, -1), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04 | 0x08), 0);
  EXPECT_EQ(conn_line_errors(b_, 2), 0x04);  // one read clears the whole word
  EXPECT_EQ(conn_line_errors(b_, 3), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02), 0);
  EXPECT_EQ(conn_line_errors(b_, 5), 0);  // outside 0..4: 0, the errors left alone
  EXPECT_EQ(conn_line_errors(b_, -1), 0);
  EXPECT_EQ(conn_line_errors(b_, 1), 0x02);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x01), 0);
  int err = -5, line = -5, in = -5;
  serial_line_status(b_, &err, &line, &in);
  EXPECT_EQ(line, 0x01);
  EXPECT_EQ(in, 0);
  // A serial object without a port.
  serial_close(a_);
  ASSERT_EQ(lptest::open_serial(a_, "COM", 9600), 2);
  EXPECT_EQ(inputs(a_), "");
  EXPECT_EQ(conn_dtr(a_, 1), -1);
  EXPECT_EQ(conn_rts(a_, 2), -1);
  EXPECT_EQ(conn_line_errors(a_, 0), -1);
  EXPECT_EQ(conn_line_errors(a_, 9), -1);
  EXPECT_EQ(conn_break(a_, -1), -1);
  EXPECT_EQ(serial_close(a_), 0);
}

TEST(Modem, EthernetAnswersFromItsStatusAndUnregisteredObjectsAreRefused) {
  Connection* c = conn_alloc();
  c->transport = 1;
  c->status = 3;
  EXPECT_EQ(inputs(c), "3 3 3");  // DSR, CD and CTS give the status; no ring
  EXPECT_EQ(conn_dtr(c, 1), 3);
  EXPECT_EQ(conn_rts(c, 1) + conn_break(c, 1), 0);
  c->listen_state = 2;
  EXPECT_EQ(conn_line_errors(c, 0), -8);
  c->listen_state = -9;
  EXPECT_EQ(conn_line_errors(c, 4), -19);
  c->listen_state = 0;
  c->accepted_valid = 1;
  EXPECT_EQ(conn_line_errors(c, 77), 1);
  c->status = 0;
  EXPECT_EQ(conn_dsr(c), 0);
  serial_set_mode(c, 1, 0);
  EXPECT_EQ(val(c->serial_setup_mode), 1);
  EXPECT_EQ(serial_get_framing(c), 0);
  int err = 123;
  serial_line_status(c, &err, nullptr, nullptr);
  EXPECT_EQ(err, 123);
  conn_free(c);
  Bytes block(size_t(conn_object_size()), 0);
  c = reinterpret_cast<Connection*>(block.data());
  c->transport = 1;
  c->status = 3;
  EXPECT_EQ(inputs(c), "");
  EXPECT_EQ(conn_dtr(c, 1) + conn_rts(c, 1) + conn_line_errors(c, 0) + conn_break(c, 1), 0);
  EXPECT_EQ(serial_set_option(c, 1), -1);
  EXPECT_EQ(serial_set_mode(c, 1, 0), 0);
  serial_set_framing(c, 1, 1);
  serial_reopen(c);
  EXPECT_EQ(serial_get_framing(c), 0);
  EXPECT_EQ(val(c->serial_setup_mode) + val(c->serial_raw) + val(c->serial_option), 0);
}

TEST_F(CableTest, LineErrorsDropHeldAndPassBytesAndOversizeIsRefused) {
  open_both(115200);
  auto m = message(0x85, 1, 20, 1);
  Bytes head(m.begin(), m.begin() + 10), tail(m.begin() + 10, m.end());
  send_to_b(head);
  EXPECT_EQ(serial_poll(b_), 0);
  EXPECT_EQ(val(b_->serial_raw_count), 10);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04), 0);  // parity: all goes, one drop
  send_to_b(tail);
  EXPECT_EQ(serial_poll(b_), 0);
  EXPECT_EQ(val(b_->serial_raw_count), 0);
  EXPECT_EQ(val(b_->rx_dropped), 1u);
  EXPECT_NE(val(b_->serial_error_time), 0u);
  EXPECT_EQ(ser_in_count(kComB - 1) + val(b_->queue[0].count), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x10), 0);  // a break alone is no error
  uint8_t buf[64], got[64];
  int n = msg_build(a_, buf, sizeof buf, 0x85, 1, "ping", 4);
  EXPECT_EQ(conn_send(a_, buf, 0), 0);  // the length from the message
  ASSERT_TRUE(lptest::wait_input(b_, n));
  ASSERT_EQ(rx_receive(b_, -1, got, sizeof got), n);
  EXPECT_EQ(std::memcmp(got, buf, size_t(n)), 0);
  EXPECT_EQ(val(b_->rx_dropped), 1u);
  b_->serial_raw = 1;  // raw mode keeps its bytes through line errors
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), 0);
  send_to_b(head);
  EXPECT_EQ(serial_poll(b_), int(head.size()));
  EXPECT_EQ(val(b_->serial_raw_count), int(head.size()));
  EXPECT_EQ(val(b_->rx_dropped), 1u);
  Bytes big(1601, 0x90);
  EXPECT_EQ(conn_send(b_, big.data(), 1601), 32);
  EXPECT_EQ(ser_in_count(kComA - 1), 0);
}

}  // namespace
