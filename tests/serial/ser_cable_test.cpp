// The driver over the simulated null-modem cable: the wiring of the modem lines, break,
// injected line errors and the byte path, all through the driver's operations.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ser_test_util.h"

namespace {

using SerCable = CableTest;

std::string inputs(int port) {
  return input_lines(ser_dsr(port), ser_carrier(port), ser_cts(port), ser_ring(port));
}

TEST_F(SerCable, DtrIsDsrAndCarrierRtsIsCts) {
  open_both();
  EXPECT_EQ(inputs(1), "");
  EXPECT_EQ(ser_dtr(0, 'S'), 1);
  EXPECT_EQ(inputs(1), "DSR CD");
  EXPECT_EQ(inputs(0), "");  // not looped back to the same end
  EXPECT_EQ(ser_rts(0, 'S'), 1);
  EXPECT_EQ(ser_dtr(0, 'C'), 1);
  EXPECT_EQ(inputs(1), "CTS");
  EXPECT_EQ(ser_rts(0, 'C'), 1);
  EXPECT_EQ(inputs(1), "");

  // And the other way round.
  EXPECT_EQ(ser_dtr(1, 'S'), 1);
  EXPECT_EQ(ser_rts(1, 'S'), 1);
  EXPECT_EQ(inputs(0), "DSR CD CTS");
  EXPECT_EQ(sim_cable_lines(cable_, 1), int(SIM_LINE_DTR | SIM_LINE_RTS));
  ASSERT_EQ(sim_cable_set_ring(cable_, 0, true), 0);
  EXPECT_EQ(inputs(0), "DSR CD CTS RI");
  EXPECT_EQ(inputs(1), "");

  EXPECT_EQ(ser_close(1), 1);  // closing an end drops what it drove
  EXPECT_EQ(inputs(0), "RI");
}

TEST_F(SerCable, LinesAtOpenFollowTheDefaultsAndFlowChangesDriveRts) {
  ASSERT_EQ(ser_open(-1, 1, 1), 0);
  open_both();
  EXPECT_EQ(ser_dsr(1), 0x20);
  EXPECT_EQ(ser_cts(1), 0x10);
  // The read-back is the last setting made through ser_dtr/ser_rts, not the line.
  EXPECT_EQ(ser_dtr(0, 'R'), 0);
  EXPECT_EQ(ser_rts(0, 'R'), 0);

  // No flow control: RTS is under the program's control and off unless set through ser_rts.
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  EXPECT_EQ(ser_cts(1), 0);
  EXPECT_EQ(ser_dsr(1), 0x20);  // DTR keeps its control from the open
  EXPECT_EQ(ser_flow(0, 'H'), 0);
  EXPECT_EQ(ser_cts(1), 0x10);  // the handshake asserts RTS while there is room
  EXPECT_EQ(ser_rts(0, 'S'), 1);
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  EXPECT_EQ(ser_cts(1), 0x10);  // raised again from the line flags
  EXPECT_EQ(ser_rts(0, 'C'), 1);
  EXPECT_EQ(ser_set_baud(0, 9), 1);
  EXPECT_EQ(ser_cts(1), 0);
  EXPECT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_EQ(ser_cts(1), 0);
  EXPECT_EQ(ser_set_baud(0, -5), 0);  // a rate no line takes

  ser_close(0);
  ser_close(1);
  ASSERT_EQ(ser_open(-1, 0, 2), 0);  // bit 0 of each argument
  open_both();
  EXPECT_EQ(ser_dsr(1), 0);
  EXPECT_EQ(ser_cts(1), 0);
}

TEST_F(SerCable, BreakIsSeenOnceAtTheOtherEnd) {
  open_both();
  EXPECT_EQ(ser_break(1, 'D'), 0);
  EXPECT_EQ(ser_break(0, 'A'), 1);
  EXPECT_EQ(ser_break(0, 'A'), 1);  // still the same break
  EXPECT_EQ(ser_break(0, 'C'), 1);
  EXPECT_EQ(ser_break(0, 'D'), 0);  // the sender sees nothing
  EXPECT_EQ(ser_break(1, 'D'), 0x10);
  EXPECT_EQ(ser_break(1, 'D'), 0);  // cleared by the read
  // ser_errors reads the same word.
  ser_break(0, 'A');
  ser_break(0, 'C');
  EXPECT_EQ(ser_errors(1, 0x0F), 0);  // masked out, and cleared all the same
  EXPECT_EQ(ser_break(1, 'D'), 0);
  ser_break(0, 'A');
  ser_break(0, 'C');
  EXPECT_EQ(ser_in_count(1), 0);  // a queue count does not consume the error
  EXPECT_EQ(ser_errors(1, 0x1F), 0x10);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
}

TEST_F(SerCable, InjectedErrorsReportedAndClearedOnRead) {
  open_both();
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), 0);
  EXPECT_EQ(ser_errors(0, 0x1F), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0x0A);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x01), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04), 0);
  EXPECT_EQ(ser_errors(1, 0x04), 0x04);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);  // the masked-out overflow went with the read
  ASSERT_EQ(sim_cable_inject_errors(cable_, 0, 0x10), 0);
  EXPECT_EQ(ser_break(0, 'D'), 0x10);
  // Errors from before an open are not reported after it.
  ser_close(1);
  sim_cable_inject_errors(cable_, 1, 0x08);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  EXPECT_EQ(sim_cable_inject_errors(cable_, 2, 0x08), -1);
  EXPECT_EQ(sim_cable_inject_errors(cable_ + 1, 0, 0x08), -1);
}

// Reads and writes themselves are checked over the pseudo-terminal and through the echo
// on another thread; the cable adds the purge and the loss while an end is closed.
TEST_F(SerCable, PurgeAndBytesLostWhileTheOtherEndIsClosed) {
  open_both();
  EXPECT_EQ(ser_write(0, "abc", 3), 3);
  EXPECT_EQ(ser_in_count(1), 3);
  EXPECT_EQ(ser_in_count(0), 0);  // not looped back
  EXPECT_EQ(ser_purge(1), 0);
  EXPECT_EQ(ser_in_count(1), 0);
  ser_close(1);
  EXPECT_EQ(ser_write(0, "lost", 4), 4);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  char buf[8];
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 0);
}

TEST_F(SerCable, EndOpensOnceAndBindingsDecide) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(sim_cable_bind(3, cable_, 0), 0);  // COM3 names the same end
  EXPECT_EQ(ser_open(2, 4000, 4000), -200);
  EXPECT_EQ(ser_error_text(nullptr, 0), EBUSY);
  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(ser_open(2, 4000, 4000), 0);
  EXPECT_EQ(ser_close(2), 1);

  EXPECT_EQ(sim_cable_unbind(3), 0);
  EXPECT_EQ(sim_cable_unbind(3), -1);
  EXPECT_EQ(sim_cable_bind(0, cable_, 0), -1);
  EXPECT_EQ(sim_cable_bind(33, cable_, 0), -1);
  EXPECT_EQ(sim_cable_bind(3, cable_, 2), -1);
  EXPECT_EQ(sim_cable_bind(3, 0, 0), -1);

  // Lines driven from outside play a peer that is not opened through the driver.
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_DTR), 0);
  EXPECT_EQ(ser_dsr(0), 0x20);
  EXPECT_EQ(ser_cts(0), 0);
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_RTS), 0);
  EXPECT_EQ(ser_dsr(0), 0);
  EXPECT_EQ(ser_cts(0), 0x10);
  ser_dtr(0, 'S');
  EXPECT_EQ(sim_cable_lines(cable_, 0), static_cast<int>(SIM_LINE_DTR));

  // Destroying the cable unbinds it; the open end keeps working until closed.
  ASSERT_EQ(sim_cable_destroy(cable_), 0);
  EXPECT_EQ(ser_dtr(0, 'C'), 1);
  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(sim_cable_destroy(cable_), -1);
  cable_ = sim_cable_create();  // for TearDown
  ASSERT_GT(cable_, 0);
}

// A cable end's settings as "baud parity stop size flow xon/xoff xon-limit/xoff-limit",
// flow as C (CTS), I and O (XON/XOFF in and out) or -.
std::string line_settings(int cable, int end) {
  SerialLineSettings s;
  if (sim_cable_settings(cable, end, &s) != 0) return "none";
  char t[80];
  snprintf(t, sizeof t, "%d %d %d %d %c%c%c %02X/%02X %d/%d", s.baud, s.parity, s.stop_bits,
           s.byte_size, s.cts_flow ? 'C' : '-', s.xon_in ? 'I' : '-', s.xon_out ? 'O' : '-',
           s.xon_char, s.xoff_char, s.xon_limit, s.xoff_limit);
  return t;
}

TEST_F(SerCable, SettingsReachTheLine) {
  ASSERT_EQ(ser_set_baud(-1, 8), 0);  // table index: 57600
  ASSERT_EQ(ser_format(-1, 1, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 400, 400), 0);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  // XON/XOFF limits: a quarter of a small input queue, 128 for a large one.
  EXPECT_EQ(line_settings(cable_, 0), "57600 1 2 7 --- 11/13 100/100");
  EXPECT_EQ(line_settings(cable_, 1), "57600 1 2 7 --- 11/13 128/128");
  EXPECT_EQ(line_settings(cable_, 2), "none");
  struct Step {
    const char* what;
    int32_t (*op)();
    int32_t result;
    const char* line;
  };
  const Step steps[] = {
      {"table speed", [] { return ser_set_baud(0, 2); }, 1, "1200 1 2 7 --- 11/13 100/100"},
      {"XON/XOFF", [] { return ser_flow(0, 'S'); }, 0, "1200 1 2 7 -IO 11/13 100/100"},
      {"another letter changes nothing", [] { return ser_flow(0, 'Q'); }, 0,
       "1200 1 2 7 -IO 11/13 100/100"},
      {"CTS", [] { return ser_flow(0, 'H'); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {"refused parity", [] { return ser_format(0, 9, 0, 8); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {"later changes still go through", [] { return ser_set_baud(0, 4); }, 1,
       "4800 1 2 7 C-- 11/13 100/100"},
  };
  for (const Step& k : steps) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.op(), k.result);
    EXPECT_EQ(line_settings(cable_, 0), k.line);
  }
}

TEST_F(SerCable, StrictCableGarblesMismatchedSpeeds) {
  ASSERT_EQ(sim_cable_set_strict(cable_, true), 0);
  open_both();
  EXPECT_EQ(ser_write(0, "ok", 2), 2);
  char buf[8];
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 2);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  ASSERT_EQ(ser_set_baud(1, 9600), 1);
  EXPECT_EQ(ser_write(0, "lost", 4), 4);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0x08);
  ASSERT_EQ(ser_set_baud(0, 9600), 1);
  EXPECT_EQ(ser_write(0, "back", 4), 4);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 4);
  // Without strictness speeds do not matter.
  ASSERT_EQ(sim_cable_set_strict(cable_, false), 0);
  ASSERT_EQ(ser_set_baud(1, 19200), 1);
  EXPECT_EQ(ser_write(0, "x", 1), 1);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 1);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
}

TEST(SimCableIds, AllInUse) {
  int ids[SIM_CABLES];
  for (int i = 0; i < SIM_CABLES; ++i) {
    ids[i] = sim_cable_create();
    ASSERT_GT(ids[i], 0);
  }
  EXPECT_EQ(sim_cable_create(), -1);
  for (int id : ids) EXPECT_EQ(sim_cable_destroy(id), 0);
  int again = sim_cable_create();
  EXPECT_GT(again, 0);
  sim_cable_destroy(again);
}

}  // namespace
