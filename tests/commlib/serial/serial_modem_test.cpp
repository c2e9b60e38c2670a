// Modem lines, break and line errors on both transports, and the serial reader's
// handling of line errors (the cable injects them; a pseudo-terminal has none).
#include <cstring>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::CableTest;
using lptest::message;
using lptest::val;

namespace {

std::string inputs(Connection* c) {
  return input_lines(conn_dsr(c), conn_carrier(c), conn_cts(c), conn_ring(c));
}

TEST_F(CableTest, InputLinesFollowThePeersOutputs) {
  open_both(19200);
  // Both ends open with DTR raised (RTS follows the flow control: none here).
  EXPECT_EQ(inputs(a_), "DSR CD");
  EXPECT_NE(conn_dtr(b_, 0), 0);  // the driver's nonzero success
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
}

TEST_F(CableTest, BreakAndLineErrorsAreReadOnce) {
  open_both(19200);
  EXPECT_NE(conn_break(a_, 1), 0);
  EXPECT_NE(conn_break(a_, 0), 0);
  EXPECT_EQ(conn_line_errors(b_, 4), 0x10);
  EXPECT_EQ(conn_line_errors(b_, 4), 0);
  EXPECT_NE(conn_break(b_, 1), 0);
  conn_break(b_, 0);
  EXPECT_EQ(conn_break(a_, -1), 0x10);
  EXPECT_EQ(conn_break(a_, -1), 0);

  // One read clears the whole word, whichever bit was asked about.
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04 | 0x08), 0);
  EXPECT_EQ(conn_line_errors(b_, 2), 0x04);
  EXPECT_EQ(conn_line_errors(b_, 3), 0);
  // A selector outside 0..4 answers 0 and leaves the pending errors alone.
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02), 0);
  EXPECT_EQ(conn_line_errors(b_, 5), 0);
  EXPECT_EQ(conn_line_errors(b_, -1), 0);
  EXPECT_EQ(conn_line_errors(b_, 1), 0x02);

  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x01), 0);
  int err = -5, line = -5, in = -5;
  serial_line_status(b_, &err, &line, &in);
  EXPECT_EQ(line, 0x01);
  EXPECT_EQ(in, 0);
}

TEST_F(CableTest, SerialWithoutAPort) {
  ASSERT_EQ(lptest::open_serial(a_, "COM", 9600), 2);  // a serial object, no port open
  EXPECT_EQ(inputs(a_), "");
  EXPECT_EQ(conn_dtr(a_, 1), -1);
  EXPECT_EQ(conn_rts(a_, 2), -1);
  EXPECT_EQ(conn_line_errors(a_, 0), -1);
  EXPECT_EQ(conn_line_errors(a_, 9), -1);
  EXPECT_EQ(conn_break(a_, -1), -1);
  EXPECT_EQ(serial_close(a_), 0);
}

TEST(Modem, EthernetAnswersFromItsStatus) {
  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  c->transport = 1;
  c->status = 3;
  EXPECT_EQ(inputs(c), "3 3 3");  // DSR, CD and CTS give the status; no ring
  EXPECT_EQ(conn_dtr(c, 1), 3);
  EXPECT_EQ(conn_rts(c, 1), 0);
  EXPECT_EQ(conn_break(c, 1), 0);
  c->listen_state = 2;
  EXPECT_EQ(conn_line_errors(c, 0), -8);
  c->listen_state = -9;
  EXPECT_EQ(conn_line_errors(c, 4), -19);
  c->listen_state = 0;
  c->accepted_valid = 1;
  EXPECT_EQ(conn_line_errors(c, 77), 1);
  c->status = 0;
  EXPECT_EQ(conn_dsr(c), 0);
  // Framing questions on ethernet.
  serial_set_mode(c, 1, 0);
  EXPECT_EQ(val(c->serial_setup_mode), 1);
  EXPECT_EQ(serial_get_framing(c), 0);
  int err = 123;
  serial_line_status(c, &err, nullptr, nullptr);
  EXPECT_EQ(err, 123);
  conn_free(c);
}

TEST(Modem, UnregisteredObjectsAreRefused) {
  std::vector<uint8_t> block(size_t(conn_object_size()), 0);
  Connection* c = reinterpret_cast<Connection*>(block.data());
  c->transport = 1;
  c->status = 3;
  EXPECT_EQ(inputs(c), "");
  EXPECT_EQ(conn_dtr(c, 1), 0);
  EXPECT_EQ(conn_rts(c, 1), 0);
  EXPECT_EQ(conn_line_errors(c, 0), 0);
  EXPECT_EQ(conn_break(c, 1), 0);
  EXPECT_EQ(serial_set_option(c, 1), -1);
  EXPECT_EQ(serial_set_mode(c, 1, 0), 0);
  serial_set_framing(c, 1, 1);
  serial_reopen(c);
  EXPECT_EQ(serial_get_framing(c), 0);
  // Nothing was touched.
  EXPECT_EQ(val(c->serial_setup_mode), 0);
  EXPECT_EQ(val(c->serial_raw), 0);
  EXPECT_EQ(val(c->serial_option), 0);
}

TEST_F(CableTest, LineErrorsDropHeldAndPassBytes) {
  open_both(19200);
  auto m = message(0x85, 1, 20, 1);
  std::vector<uint8_t> head(m.begin(), m.begin() + 10), tail(m.begin() + 10, m.end());
  send_to_b(head);
  EXPECT_EQ(serial_poll(b_), 0);
  EXPECT_EQ(val(b_->serial_raw_count), 10);

  // A parity error: this pass's bytes and the held ones go, one drop is counted.
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04), 0);
  send_to_b(tail);
  EXPECT_EQ(serial_poll(b_), 0);
  EXPECT_EQ(val(b_->serial_raw_count), 0);
  EXPECT_EQ(val(b_->rx_dropped), 1u);
  EXPECT_NE(val(b_->serial_error_time), 0u);
  EXPECT_EQ(ser_in_count(kComB - 1), 0);
  EXPECT_EQ(val(b_->queue[0].count), 0);

  // A break alone is not an error; the next message arrives whole.
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x10), 0);
  send_to_b(m);
  EXPECT_EQ(serial_poll(b_), 1);
  EXPECT_EQ(val(b_->rx_dropped), 1u);
  uint8_t got[64];
  ASSERT_EQ(rx_receive(b_, 0, got, sizeof got), int(m.size()));
  EXPECT_EQ(std::memcmp(got, m.data(), m.size()), 0);

  // Raw mode keeps its bytes through line errors.
  b_->serial_raw = 1;
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), 0);
  send_to_b(head);
  EXPECT_EQ(serial_poll(b_), int(head.size()));
  EXPECT_EQ(val(b_->serial_raw_count), int(head.size()));
  EXPECT_EQ(val(b_->rx_dropped), 1u);
}

TEST_F(CableTest, SendTakesTheLengthFromTheMessageAndRefusesOversize) {
  open_both(115200);
  uint8_t buf[64], got[64];
  int n = msg_build(a_, buf, sizeof buf, 224, 4, "ping", 4);
  ASSERT_EQ(n, 12);
  EXPECT_EQ(conn_send(a_, buf, 0), 0);
  ASSERT_TRUE(lptest::wait_input(b_, n));
  ASSERT_EQ(rx_receive(b_, -1, got, sizeof got), n);
  EXPECT_EQ(std::memcmp(got, buf, size_t(n)), 0);

  std::vector<uint8_t> big(1601, 0x90);
  EXPECT_EQ(conn_send(b_, big.data(), 1601), 32);
  EXPECT_EQ(ser_in_count(kComA - 1), 0);
}

}  // namespace
