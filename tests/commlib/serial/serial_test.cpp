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
using lptest::Seq;
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
  // The port fields: port, status, hardware flow, rate, connect rate, setup rate, server.
  std::string port_state() {
    return (Seq() << c_->serial_port << c_->status << c_->serial_hw_flow << c_->serial_baud
                  << c_->serial_user_baud << c_->serial_setup_baud << c_->is_server).s;
  }
};

TEST_F(SerialPty, OpenConnectAndDisconnect) {
  EXPECT_EQ(port_state(), "3 4 0 115200 115200 9600 0");
  serial_close(c_);
  EXPECT_EQ(port_state(), "0 0 0 115200 115200 9600 0");
  EXPECT_EQ(lptest::open_serial(c_, "COM0", 9600), 2);
  EXPECT_EQ(conn_connect(c_, "Modem", "com3:hw", 0, 1), 0);
  EXPECT_EQ((Seq() << c_->transport << port_state()).s, "0 3 4 1 9600 9600 9600 1");
  EXPECT_EQ(conn_disconnect(c_), 1);  // the driver's close result: nonzero on success
  EXPECT_EQ(port_state().substr(0, 4), "0 0 ");
  EXPECT_EQ(conn_connect(c_, "serial", "LPT1", 9600, 0), 4);
  EXPECT_LT(lptest::open_serial(c_, "COM7", 9600), 0);  // no dev/COM7 entry
  ASSERT_GE(root_.add_com(10), 0);  // a number with a 0 in it
  EXPECT_EQ(lptest::open_serial(c_, "com10", 9600), 0);
  EXPECT_EQ(port_state().substr(0, 5), "10 4 ");
  serial_close(c_);
  int err = 0, lines = 0, in = 0;
  serial_line_status(c_, &err, &lines, &in);
  EXPECT_EQ((Seq() << (err != 0) << lines << in).s, "1 -99 -99");
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
  EXPECT_EQ((Seq() << serial_poll(c_) << serial_poll(c_)).s, "1 0");
  const Bytes first = take(0);
  EXPECT_EQ(cat(first, take(1)), cat(a, beacon));
  // A bad type, length or command byte drops the pass: the good one behind goes too.
  const auto good = message(0x85, 0, 4, 3);
  const struct {
    size_t at;
    Bytes patch;
  } cases[] = {{0, {0x7F}}, {1, {0x80}}, {2, {7, 0}}, {2, {0x41, 0x06}}};
  for (const auto& k : cases) {
    auto bad = good;
    std::copy(k.patch.begin(), k.patch.end(), bad.begin() + long(k.at));
    EXPECT_EQ(feed_and_poll(cat(bad, good)), 0) << k.at;
    EXPECT_EQ((Seq() << c_->rx_dropped << c_->serial_raw_count << c_->queue[0].count).s,
              std::to_string(&k - cases + 1) + " 0 0") << k.at;
  }
  EXPECT_EQ(feed_and_poll(good), 1);
  EXPECT_EQ(take(0), good);
  // Reset forgets held bytes, queues and counters.
  feed_and_poll(cat(message(0x85, 1, 10, 1), {0x85, 0x01}));
  serial_reset(c_);
  EXPECT_EQ(counters(c_) + " " + std::to_string(c_->last_rx_seq[0]),
            "q0/0 held 0 overflow 0 error 0 dropped 0 setup 0/0 0");
}

TEST_F(SerialPty, SetupFraming) {
  serial_set_framing(c_, 1, 0);
  EXPECT_EQ(serial_get_framing(c_), -1);
  auto built = [](uint8_t type, uint8_t command, Bytes text) {
    Bytes m{type, command, uint8_t(8 + text.size()), uint8_t((8 + text.size()) >> 8), 0, 0, 0, 0};
    return cat(m, text);
  };
  // A second command byte replaces the first; bytes without a command are skipped; a
  // pair may be split over passes (161 is a datagram type); a text ends at a NUL or at
  // the next command byte.
  const struct {
    Bytes wire;
    int channel;
    Bytes want;
  } cases[] = {
      {{0x85, 0x10}, 0, built(0x85, 0x10, {})},
      {{0x01, 0x02, 0x85, 0x86, 0x10}, 0, built(0x86, 0x10, {})},
      {{}, 0, {}},
      {{0xA1}, 1, {}},
      {{0x05}, 1, built(0xA1, 0x05, {})},
      {{0x80, 0x01, 'a', 'b', 0x00}, 0, built(0x80, 0x01, {'a', 'b', 0, 0, 0, 0})},
      {{0x80, 0x02, 'x', 0x90, 0x03}, 0, built(0x80, 0x02, {'x', 0, 0, 0, 0})},
      {{}, 0, built(0x90, 0x03, {})},
  };
  for (const auto& k : cases) {
    if (!k.wire.empty()) feed_and_poll(k.wire);
    EXPECT_EQ(take(k.channel), k.want) << &k - cases;
  }
  // 1588 text bytes are the most one message holds; one more is dropped, not cut.
  Bytes text(qc::kSetupLongMax);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t(1 + i % 0x7E);
  Bytes wire = cat(cat({0x80, 0x07}, text), {0});
  feed_and_poll(wire);
  EXPECT_EQ(take(0), built(0x80, 0x07, cat(text, {0, 0, 0, 0})));
  wire.insert(wire.end() - 1, 'z');
  feed_and_poll(wire);
  EXPECT_EQ(counters(c_).substr(0, 49), "q0/0 held 0 overflow 0 error 0 dropped 1 setup 0/");
}

TEST_F(SerialPty, RawModeKeepsBytesAndStopsReadingWhenNearlyFull) {
  c_->serial_raw = 1;
  Bytes bytes(6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + (i >> 8));
  feed(master_, bytes);  // more than the tty's input buffer: the kernel holds the rest
  for (int i = 0; i < 1000 && qc::kSerialLimit - c_->serial_raw_count >= qc::kRawLowWater; ++i)
    if (serial_poll(c_) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int held = c_->serial_raw_count;
  EXPECT_GT(held, qc::kSerialLimit - qc::kRawLowWater);
  ASSERT_TRUE(lptest::wait_input(c_, 1));
  EXPECT_EQ((Seq() << serial_poll(c_) << c_->serial_raw_count).s, "0 " + std::to_string(held));
  Bytes got;
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    uint8_t buf[1500];
    int n = rx_receive(c_, -1, buf, sizeof buf);  // runs a pass first
    ASSERT_GE(n, 0);
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(+c_->rx_dropped, 0u);
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
  const auto m = message(0xE0, 4, 100, 42, 0xFF);
  const struct {
    int setup, raw;
    Bytes sent, wire;
  } cases[] = {
      {0, 0, m, m},
      {1, 1, m, m},  // raw mode wins over the setup framing
      {1, 0, message(0x85, 0x10, 20, 3), {0x85, 0x10}},
      {1, 0, text_message(0x21, {'a', 'b'}, 2), {0x80, 0x21, 'a', 'b', 0}},
      {1, 0, text_message(0x22, {'a', 'b', 0}, 3), {0x80, 0x22, 'a', 'b', 0}},
      // Beyond the message: up to its end, which is its sequence 7, 0, 0, 0.
      {1, 0, text_message(0x23, {'x', 'y'}, 500), {0x80, 0x23, 'x', 'y', 7, 0, 0, 0}},
      {1, 0, {0x80, 0x24, 2, 0, 0, 0, 0, 0}, {0x80, 0x24}},
  };
  for (const auto& k : cases) {
    serial_set_framing(c_, k.setup, k.raw);
    EXPECT_EQ(qc::serial_send(c_, k.sent.data(), int(k.sent.size())), 0);
    EXPECT_EQ(line(k.wire.size()), k.wire) << &k - cases;
  }
  serial_set_framing(c_, 0, 0);
  const uint8_t text[] = "COM text";
  EXPECT_EQ(serial_write(c_, text, 0), 0);  // count 0: the NUL-terminated text
  EXPECT_EQ(line(8), Bytes(text, text + 8));
  feed(master_, {1, 2, 3, 4});
  ASSERT_TRUE(lptest::wait_input(c_, 4));
  serial_reopen(c_);  // keeps the port, drops waiting input
  EXPECT_EQ((Seq() << c_->serial_port << c_->status << ser_in_count(2)).s, "3 4 0");
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);
  serial_close(c_);
  EXPECT_EQ((Seq() << serial_write(c_, text, 3) << qc::serial_send(c_, m.data(), int(m.size()))).s,
            "1 1");
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
  const struct {
    const std::vector<lpcap::Record>* file;
    uint16_t code;
    uint32_t first, third;
  } wants[] = {
      {&failed, 310, any, 0x4D}, {&rx, 324, any, any}, {&rx, 312, 3, any},
      {&rx, 300, size, head},    {&rx, 319, 0, 0x85},  // bytes recorded one by one
      {&rx, 321, 0, size},       {&rx, 315, any, any}, {&rx, 313, 3, any},
      {&tx, 309, size, head},
  };
  for (const auto& w : wants) {
    const lpcap::Record* r = lpcap::find_event(*w.file, w.code);
    ASSERT_NE(r, nullptr) << w.code;
    EXPECT_TRUE(w.first == any || r->first == w.first) << w.code << " " << r->first;
    EXPECT_TRUE(w.third == any || r->third == w.third) << w.code << " " << r->third;
  }
}

TEST_F(CableTest, LineErrorsDropHeldAndPassBytesAndOversizeIsRefused) {
  open_both(115200);
  auto m = message(0x85, 1, 20, 1);
  Bytes head(m.begin(), m.begin() + 10), tail(m.begin() + 10, m.end());
  send_to_b(head);
  EXPECT_EQ((Seq() << serial_poll(b_) << b_->serial_raw_count).s, "0 10");
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04), 0);  // parity: all goes, one drop
  send_to_b(tail);
  EXPECT_EQ((Seq() << serial_poll(b_) << b_->serial_raw_count << b_->rx_dropped
                   << (b_->serial_error_time != 0) << ser_in_count(kComB - 1) << b_->queue[0].count)
                .s,
            "0 0 1 1 0 0");
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x10), 0);  // a break alone is no error
  uint8_t buf[64], got[64];
  int n = msg_build(a_, buf, sizeof buf, 0x85, 1, "ping", 4);
  EXPECT_EQ(conn_send(a_, buf, 0), 0);  // the length from the message
  ASSERT_TRUE(lptest::wait_input(b_, n));
  ASSERT_EQ(rx_receive(b_, -1, got, sizeof got), n);
  EXPECT_EQ(Bytes(got, got + n), Bytes(buf, buf + n));
  b_->serial_raw = 1;  // raw mode keeps its bytes through line errors
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), 0);
  send_to_b(head);
  EXPECT_EQ((Seq() << serial_poll(b_) << b_->serial_raw_count << b_->rx_dropped).s, "10 10 1");
  Bytes big(1601, 0x90);
  EXPECT_EQ(conn_send(b_, big.data(), 1601), 32);
  EXPECT_EQ(ser_in_count(kComA - 1), 0);
}

}  // namespace
