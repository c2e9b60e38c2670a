// What the serial send path puts on the line, read back from the pseudo-terminal master.
#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::message;

namespace {

class SerialSend : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = root_.add_com(4);
    ASSERT_GE(master_, 0);
    c_ = conn_alloc();
    ASSERT_NE(c_, nullptr);
    ASSERT_EQ(lptest::open_serial(c_, "COM4", 38400), 0);
  }
  void TearDown() override {
    serial_close(c_);
    conn_free(c_);
  }
  // The bytes on the line after a send, and that nothing else followed.
  std::vector<uint8_t> line(size_t n) {
    auto got = lptest::drain_master(master_, n);
    // The driver's write has finished when the send returns; a short look suffices.
    EXPECT_TRUE(lptest::drain_master(master_, 1, 50).empty()) << "extra bytes on the line";
    return got;
  }

  PtyRoot root_;
  int master_ = -1;
  Connection* c_ = nullptr;
};

// A type 0x80 message carrying a text: two bytes before the text length, then the text.
std::vector<uint8_t> text_message(uint8_t command, const std::vector<uint8_t>& text,
                                  int text_len) {
  std::vector<uint8_t> payload(4 + text.size(), 0);
  payload[2] = uint8_t(text_len);
  payload[3] = uint8_t(text_len >> 8);
  std::copy(text.begin(), text.end(), payload.begin() + 4);
  auto m = message(0x80, command, payload.size(), 7);
  std::copy(payload.begin(), payload.end(), m.begin() + 4);
  return m;
}

TEST_F(SerialSend, MessageFramingAndRawModeSendTheWholeMessage) {
  auto m = message(0xE0, 4, 100, 42, 0xFF);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);

  // Raw mode wins over the setup framing.
  serial_set_framing(c_, 1, 1);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);
}

TEST_F(SerialSend, SetupFramingSendsTypeAndCommandOnly) {
  serial_set_framing(c_, 1, 0);
  auto m = message(0x85, 0x10, 20, 3);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(2), (std::vector<uint8_t>{0x85, 0x10}));
}

TEST_F(SerialSend, SetupFramingTextMessages) {
  serial_set_framing(c_, 1, 0);
  auto ab = text_message(0x21, {'a', 'b'}, 2);
  EXPECT_EQ(qc::serial_send(c_, ab.data(), int(ab.size())), 0);
  EXPECT_EQ(line(5), (std::vector<uint8_t>{0x80, 0x21, 'a', 'b', 0x00}));

  // The text's own final 0x00 is enough.
  auto abz = text_message(0x22, {'a', 'b', 0}, 3);
  EXPECT_EQ(qc::serial_send(c_, abz.data(), int(abz.size())), 0);
  EXPECT_EQ(line(5), (std::vector<uint8_t>{0x80, 0x22, 'a', 'b', 0x00}));

  // A text length beyond the message sends only what the message holds.
  auto lying = text_message(0x23, {'x', 'y'}, 500);
  EXPECT_EQ(qc::serial_send(c_, lying.data(), int(lying.size())), 0);
  // The message ends in its sequence 7, 0, 0, 0: the last byte is 0, nothing is added.
  EXPECT_EQ(line(8), (std::vector<uint8_t>{0x80, 0x23, 'x', 'y', 7, 0, 0, 0}));

  // A length field of 2 or less: the pair only.
  std::vector<uint8_t> tiny = {0x80, 0x24, 2, 0, 0, 0, 0, 0};
  EXPECT_EQ(qc::serial_send(c_, tiny.data(), int(tiny.size())), 0);
  EXPECT_EQ(line(2), (std::vector<uint8_t>{0x80, 0x24}));
}

TEST_F(SerialSend, SentTextComesBackAsTheSameLongMessage) {
  // The receiving framing rebuilds exactly what the sending framing took apart.
  serial_set_framing(c_, 1, 0);
  auto t = text_message(0x05, {'h', 'e', 'l', 'l', 'o'}, 5);
  EXPECT_EQ(qc::serial_send(c_, t.data(), int(t.size())), 0);
  auto wire = line(8);
  lptest::feed(master_, wire);
  ASSERT_TRUE(lptest::wait_input(c_, int(wire.size())));
  uint8_t got[64];
  ASSERT_EQ(rx_receive(c_, 0, got, sizeof got), 17);
  EXPECT_EQ(got[0], 0x80);
  EXPECT_EQ(got[1], 0x05);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got + 8), 5), "hello");
}

TEST_F(SerialSend, WriteResults) {
  const uint8_t text[] = "COM text";
  EXPECT_EQ(serial_write(c_, text, 0), 0);  // count 0: the NUL-terminated text
  EXPECT_EQ(line(8), std::vector<uint8_t>(text, text + 8));
  serial_close(c_);
  EXPECT_EQ(serial_write(c_, text, 3), 1);
  auto m = message(0x85, 1, 0, 1);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 1);
}

TEST_F(SerialSend, ReopenKeepsThePortAndDropsWaitingInput) {
  lptest::feed(master_, {1, 2, 3, 4});
  ASSERT_TRUE(lptest::wait_input(c_, 4));
  serial_reopen(c_);  // also makes every later open of this process reset its device
  EXPECT_EQ(lptest::val(c_->serial_port), 4);
  EXPECT_EQ(lptest::val(c_->status), 4);
  EXPECT_EQ(ser_in_count(3), 0);
  auto m = message(0x85, 2, 6, 9);
  EXPECT_EQ(qc::serial_send(c_, m.data(), int(m.size())), 0);
  EXPECT_EQ(line(m.size()), m);
}

}  // namespace
