// The driver over real pseudo-terminals (byte paths through the kernel, exclusive open,
// what it leaves on the tty) and over the simulated null-modem cable (modem lines,
// break, line errors, settings on the line).
#include <sys/wait.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ser_test_util.h"

namespace {

using SerPty = PtyPortTest<true>;
using SerPtyClosed = PtyPortTest<false>;
using SerCable = CableTest;

// First: the DTR and RTS read-backs outlive a close, and this case expects none set.
std::string inputs(int port) {
  return input_lines(ser_dsr(port), ser_carrier(port), ser_cts(port), ser_ring(port));
}

TEST_F(SerCable, LinesFollowTheDefaultsTheFlowControlAndTheOtherEnd) {
  ASSERT_EQ(ser_open(-1, 1, 1), 0);
  open_both();
  EXPECT_EQ(inputs(1), "DSR CD CTS");
  // The read-back is the last setting made through ser_dtr/ser_rts, not the line.
  EXPECT_EQ(ser_dtr(0, 'R') + ser_rts(0, 'R'), 0);
  EXPECT_EQ(ser_flow(0, 'N'), 0);  // RTS under the program's control: off
  EXPECT_EQ(inputs(1), "DSR CD");
  EXPECT_EQ(ser_flow(0, 'H'), 0);  // the handshake asserts RTS while there is room
  EXPECT_EQ(ser_cts(1), 0x10);
  EXPECT_EQ(ser_rts(0, 'S'), 1);
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  EXPECT_EQ(ser_cts(1), 0x10);  // raised again from the line flags
  EXPECT_EQ(ser_rts(0, 'C'), 1);
  EXPECT_EQ(ser_set_baud(0, 9), 1);
  EXPECT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_EQ(ser_cts(1), 0);
  EXPECT_EQ(ser_set_baud(0, -5), 0);  // a rate no line takes
  ser_close(0);
  ser_close(1);
  ASSERT_EQ(ser_open(-1, 0, 2), 0);  // bit 0 of each argument
  open_both();
  EXPECT_EQ(inputs(1), "");
  EXPECT_EQ(ser_dtr(0, 'S') + ser_rts(0, 'S'), 2);
  EXPECT_EQ(ser_dtr(0, 'C'), 1);
  EXPECT_EQ(inputs(1), "CTS");
  EXPECT_EQ(inputs(0), "");  // not looped back to the same end
  EXPECT_EQ(ser_dtr(1, 'S') + ser_rts(1, 'S'), 2);
  ASSERT_EQ(sim_cable_set_ring(cable_, 0, true), 0);
  EXPECT_EQ(inputs(0), "DSR CD CTS RI");
  EXPECT_EQ(ser_close(1), 1);  // closing an end drops what it drove
  EXPECT_EQ(inputs(0), "RI");
}

TEST_F(SerPty, ReadWriteMaskPushbackAndClose) {
  char buf[64];
  EXPECT_EQ(ser_read(0, buf, sizeof buf), 0);  // nothing waiting: at once
  EXPECT_EQ(ser_get_byte(0), -100);
  EXPECT_EQ(ser_write(0, "hello", 5), 5);
  EXPECT_EQ(ser_put_byte(0, '!'), 0);
  char got[7] = {};
  ASSERT_EQ(read_full(master_, got, 6), 6);
  EXPECT_STREQ(got, "hello!");
  const unsigned char in[] = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x80, 0xFF};
  arrive(in, sizeof in, sizeof in);  // binary and unchanged with 8 data bits
  unsigned char rd[16];
  ASSERT_EQ(ser_read(0, rd, sizeof rd), int(sizeof in));
  EXPECT_EQ(0, memcmp(rd, in, sizeof in));
  arrive("xyz", 3, 3);
  EXPECT_EQ(ser_get_byte(0), 'x');
  EXPECT_EQ(ser_in_count(0), 2);
  EXPECT_EQ(ser_drain(0), 0);
  EXPECT_EQ(ser_get_byte(0), -100);
  // The 7-bit mask applies at read time.
  ASSERT_EQ(ser_format(0, 0, 0, 7), 0);
  arrive("\xC1\xFF\x80\x41", 4, 4);
  ASSERT_EQ(ser_read(0, rd, 2), 2);
  EXPECT_EQ(rd[0] * 256 + rd[1], 0x417F);
  EXPECT_EQ(ser_get_byte(0), 0x00);
  ASSERT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_EQ(ser_get_byte(0), 0x41);
  // A pushback comes first without touching the device; a zero byte cancels it.
  arrive("Q", 1, 1);
  ASSERT_EQ(ser_unget(0, 'x'), 0);
  EXPECT_EQ(ser_read(0, buf, 0), 0);  // no room: nothing read, the pushback kept
  EXPECT_EQ(ser_read(0, nullptr, 4), -103);
  EXPECT_EQ(ser_read(0, buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(ser_in_count(0), 1);
  EXPECT_EQ(ser_unget(0, 'y'), 0);
  EXPECT_EQ(ser_get_byte(0), 'y');
  EXPECT_EQ(ser_get_byte(0), 'Q');
  ser_unget(0, 'z');
  ser_unget(0, 0);
  EXPECT_EQ(ser_get_byte(0), -100);
  ser_unget(0, 'w');  // a pushback does not outlive a close
  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -3);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_get_byte(0), -100);
  // A second open fails and closes the record; nothing of the earlier open holds the port.
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  int err = ser_error_text(nullptr, 0);
  EXPECT_TRUE(err == EWOULDBLOCK || err == EBUSY) << err;
  EXPECT_EQ(ser_close(0), -3);
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_open(4, 4000, 4000), -200);  // no <root>/dev/COM5
  char text[128], tiny[4];
  EXPECT_EQ(ser_error_text(text, sizeof text), ENOENT);
  EXPECT_STREQ(text, strerror(ENOENT));
  EXPECT_EQ(ser_error_text(tiny, sizeof tiny), ENOENT);
  EXPECT_EQ(strlen(tiny), 3u);
  root_.hang_up(master_);  // the adapter unplugged: reads and writes fail, close works
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -103);
  EXPECT_EQ(ser_error_text(nullptr, 0), EIO);
  EXPECT_EQ(ser_get_byte(0), -103);
  EXPECT_EQ(ser_write(0, "x", 1), -103);
  EXPECT_EQ(ser_put_byte(0, 'x'), -103);
  EXPECT_EQ(ser_close(0), 1);
}

TEST_F(SerPtyClosed, PortHeldByAnotherProcessAndResetAtOpen) {
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);
    char r = ser_open(0, 4000, 4000) == 0 ? 'y' : 'n';
    if (write(to_parent[1], &r, 1) != 1) _exit(2);
    (void)!read(to_child[0], &r, 1);  // hold until the parent has tried
    _exit(0);
  }
  close(to_parent[1]);
  close(to_child[0]);
  char r = 0;
  EXPECT_EQ(read(to_parent[0], &r, 1), 1);
  EXPECT_EQ(r, 'y');
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  close(to_child[1]);
  close(to_parent[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // 'R' stays set for the rest of the process, so it is tried in a child; without it,
  // bytes that arrived before the open are read after it.
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (write(master_, "abc", 3) != 3 || ser_open(0, 4000, 4000) != 0) _exit(1);
    if (!eventually([] { return ser_in_count(0) == 3; }) || ser_close(0) != 1) _exit(2);
    if (ser_option('R') != 82 || write(master_, "abc", 3) != 3) _exit(3);
    usleep(20000);
    _exit(ser_open(0, 4000, 4000) != 0 || ser_in_count(0) != 0 ? 4 : 0);
  }
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SerPtyClosed, SettingsReachTheTtyAndCloseLeavesTheLine) {
  termios before, t;
  ASSERT_EQ(tcgetattr(master_, &before), 0);  // the master reports the slave's settings
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_EQ(ser_set_baud(-1, 7), 0);  // table index: 38400, for the next open
  ASSERT_EQ(ser_format(-1, 2, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  auto attrs = [&]() -> const termios& {
    EXPECT_EQ(tcgetattr(master_, &t), 0);
    return t;
  };
  // A received break is a line error, never a 0x00 in the data, after every change.
  auto breaks_ignored = [&] {
    return (attrs().c_iflag & IGNBRK) && !(t.c_iflag & BRKINT) && !(t.c_iflag & PARMRK);
  };
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B38400));
  EXPECT_TRUE(t.c_cflag & CSTOPB);  // a pseudo-terminal forces 8 bits without parity
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_FALSE(t.c_iflag & IXON);
  EXPECT_TRUE(breaks_ignored());
  arrive("\xC1", 1, 1);
  EXPECT_EQ(ser_get_byte(0), 0x41);  // data mask from the default byte size
  EXPECT_EQ(ser_set_baud(0, 57600), 1);  // above 9 the rate itself
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B57600));
  EXPECT_EQ(ser_set_baud(0, 12345), 0);
  EXPECT_EQ(ser_set_baud(0, 5), 1);
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B9600));
  EXPECT_TRUE(breaks_ignored());
  EXPECT_EQ(ser_flow(0, 'S'), 0);
  EXPECT_TRUE((attrs().c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_EQ(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP], 0x1113);
  EXPECT_TRUE(breaks_ignored());
  EXPECT_EQ(ser_flow(0, 'H'), 0);
  EXPECT_TRUE((attrs().c_cflag & CRTSCTS) && !(t.c_iflag & IXON));
  EXPECT_TRUE(breaks_ignored());
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  EXPECT_FALSE(attrs().c_cflag & CRTSCTS);
  ASSERT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_TRUE(breaks_ignored());
  // Close lets the last bytes leave at the port's rate: only the timeouts go back.
  const char sound[8] = {'\xE0', 9, 8, 0, 1, 0, 0, 0};
  ASSERT_EQ(ser_write(0, sound, 8), 8);
  ASSERT_EQ(ser_close(0), 1);
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B9600));
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_EQ(t.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(t.c_cc[VTIME], before.c_cc[VTIME]);
  char got[8] = {};
  EXPECT_EQ(read_full(master_, got, 8), 8);
  EXPECT_EQ(std::memcmp(got, sound, 8), 0);
}

TEST_F(SerCable, BreakAndErrorsAreSeenOnceAtTheOtherEnd) {
  open_both();
  EXPECT_EQ(ser_break(1, 'D'), 0);
  EXPECT_EQ(ser_break(0, 'A') + ser_break(0, 'A') + ser_break(0, 'C'), 3);
  EXPECT_EQ(ser_break(0, 'D'), 0);  // the sender sees nothing
  EXPECT_EQ(ser_break(1, 'D'), 0x10);
  EXPECT_EQ(ser_break(1, 'D'), 0);  // cleared by the read
  ser_break(0, 'A');
  ser_break(0, 'C');
  EXPECT_EQ(ser_errors(1, 0x0F), 0);  // masked out, and cleared all the same
  EXPECT_EQ(ser_break(1, 'D'), 0);
  ser_break(0, 'A');
  ser_break(0, 'C');
  EXPECT_EQ(ser_in_count(1), 0);  // a queue count does not consume the error
  EXPECT_EQ(ser_errors(1, 0x1F), 0x10);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), 0);
  EXPECT_EQ(ser_errors(0, 0x1F), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0x0A);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x01), 0);
  ASSERT_EQ(sim_cable_inject_errors(cable_, 1, 0x04), 0);
  EXPECT_EQ(ser_errors(1, 0x04), 0x04);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);  // the masked-out overflow went with the read
  ser_close(1);  // errors from before an open are not reported after it
  sim_cable_inject_errors(cable_, 1, 0x08);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  EXPECT_EQ(sim_cable_inject_errors(cable_, 2, 0x08), -1);
  EXPECT_EQ(sim_cable_inject_errors(cable_ + 1, 0, 0x08), -1);
  // Purge, and bytes lost while the other end is closed.
  EXPECT_EQ(ser_write(0, "abc", 3), 3);
  EXPECT_EQ(ser_in_count(1) * 10 + ser_in_count(0), 30);
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
  for (int com : {0, 33}) EXPECT_EQ(sim_cable_bind(com, cable_, 0), -1);
  EXPECT_EQ(sim_cable_bind(3, cable_, 2), -1);
  EXPECT_EQ(sim_cable_bind(3, 0, 0), -1);
  // Lines driven from outside play a peer that is not opened through the driver.
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_DTR), 0);
  EXPECT_EQ(inputs(0), "DSR CD");
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_RTS), 0);
  EXPECT_EQ(inputs(0), "CTS");
  ser_dtr(0, 'S');
  EXPECT_EQ(sim_cable_lines(cable_, 0), static_cast<int>(SIM_LINE_DTR));
  // Destroying the cable unbinds it; the open end keeps working until closed.
  ASSERT_EQ(sim_cable_destroy(cable_), 0);
  EXPECT_EQ(ser_dtr(0, 'C'), 1);
  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(sim_cable_destroy(cable_), -1);
  int ids[SIM_CABLES];  // every id in use
  for (int& id : ids) ASSERT_GT(id = sim_cable_create(), 0);
  EXPECT_EQ(sim_cable_create(), -1);
  for (int id : ids) EXPECT_EQ(sim_cable_destroy(id), 0);
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

TEST_F(SerCable, SettingsReachTheLineAndAStrictCableGarblesMismatchedSpeeds) {
  ASSERT_EQ(ser_set_baud(-1, 8), 0);  // table index: 57600
  ASSERT_EQ(ser_format(-1, 1, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 400, 400), 0);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  // XON/XOFF limits: a quarter of a small input queue, 128 for a large one.
  EXPECT_EQ(line_settings(cable_, 0), "57600 1 2 7 --- 11/13 100/100");
  EXPECT_EQ(line_settings(cable_, 1), "57600 1 2 7 --- 11/13 128/128");
  EXPECT_EQ(line_settings(cable_, 2), "none");
  struct Step {
    int32_t (*op)();
    int32_t result;
    const char* line;
  } steps[] = {
      {[] { return ser_set_baud(0, 2); }, 1, "1200 1 2 7 --- 11/13 100/100"},
      {[] { return ser_flow(0, 'S'); }, 0, "1200 1 2 7 -IO 11/13 100/100"},
      {[] { return ser_flow(0, 'Q'); }, 0, "1200 1 2 7 -IO 11/13 100/100"},
      {[] { return ser_flow(0, 'H'); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {[] { return ser_format(0, 9, 0, 8); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {[] { return ser_set_baud(0, 4); }, 1, "4800 1 2 7 C-- 11/13 100/100"},
  };
  for (const Step& k : steps) {
    EXPECT_EQ(k.op(), k.result) << k.line;
    EXPECT_EQ(line_settings(cable_, 0), k.line);
  }
  ASSERT_EQ(sim_cable_set_strict(cable_, true), 0);
  ASSERT_EQ(ser_flow(0, 'N'), 0);
  ASSERT_EQ(ser_set_baud(1, 4800), 1);
  ASSERT_EQ(ser_format(1, 1, 2, 7), 0);
  char buf[8];
  EXPECT_EQ(ser_write(0, "ok", 2), 2);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 2);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
  ASSERT_EQ(ser_set_baud(1, 9600), 1);
  EXPECT_EQ(ser_write(0, "lost", 4), 4);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 0);
  EXPECT_EQ(ser_errors(1, 0x1F), 0x08);
  ASSERT_EQ(ser_set_baud(0, 9600), 1);
  EXPECT_EQ(ser_write(0, "back", 4), 4);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 4);
  ASSERT_EQ(ser_set_baud(1, 19200), 1);
  ASSERT_EQ(sim_cable_set_strict(cable_, false), 0);  // then speeds do not matter
  EXPECT_EQ(ser_write(0, "x", 1), 1);
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 1);
  EXPECT_EQ(ser_errors(1, 0x1F), 0);
}

TEST_F(SerPtyClosed, RangeClosedAndOpenPortCodes) {
  static char buf[4];
  struct Op {
    int32_t (*call)(int port);
    bool port_minus_1_sets_defaults;
  } ops[] = {
      {[](int p) { return ser_close(p); }, false},
      {[](int p) { return ser_set_baud(p, 5); }, true},
      {[](int p) { return ser_put_byte(p, 1); }, false},
      {[](int p) { return ser_write(p, "a", 1); }, false},
      {[](int p) { return ser_get_byte(p); }, false},
      {[](int p) { return ser_read(p, buf, 4); }, false},
      {[](int p) { return ser_dtr(p, 'R'); }, false},
      {[](int p) { return ser_rts(p, 'S'); }, false},
      {[](int p) { return ser_purge(p); }, false},
      {[](int p) { return ser_drain(p); }, false},
      {[](int p) { return ser_out_count(p); }, false},
      {[](int p) { return ser_in_count(p); }, false},
      {[](int p) { return ser_errors(p, 0x1F); }, false},
      {[](int p) { return ser_flow(p, 'N'); }, false},
      {[](int p) { return ser_format(p, 0, 0, 8); }, true},
      {[](int p) { return ser_cts(p); }, false},
      {[](int p) { return ser_dsr(p); }, false},
      {[](int p) { return ser_ring(p); }, false},
      {[](int p) { return ser_carrier(p); }, false},
      {[](int p) { return ser_break(p, 'D'); }, false},
      {[](int p) { return ser_unget(p, 1); }, false},
      {[](int p) { return ser_port_in(p, 0); }, false},
      {[](int p) { return ser_wait_event(p, SER_EV_RXCHAR); }, false},
      {[](int p) { return ser_watch(p, nullptr, nullptr, 0, 0); }, false},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(&op - ops);
    for (int port : {32, 1000, -2}) EXPECT_EQ(op.call(port), -1) << port;
    if (!op.port_minus_1_sets_defaults) {
      EXPECT_EQ(op.call(-1), -1);
    }
    EXPECT_EQ(op.call(0), -3);  // exists, closed
  }
  EXPECT_EQ(ser_open(-1, 0, 0), 0);
  EXPECT_EQ(ser_set_baud(-1, 19200), 0);
  EXPECT_EQ(ser_format(-1, 0, 0, 8), 0);
  EXPECT_EQ(ser_open(32, 4000, 4000), -1);
  EXPECT_EQ(ser_port_in(4, 0), -1);  // only the four legacy ports
  EXPECT_EQ(ser_query('3') + ser_query('I'), 2);
  EXPECT_EQ(ser_query('V'), 790);
  EXPECT_EQ(ser_query('v') + ser_option('X'), -2);
  EXPECT_EQ(ser_option('W'), 87);
  EXPECT_EQ(ser_option('W'), 87);  // flipped back
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_write(0, nullptr, 5), -101);
  EXPECT_EQ(ser_write(0, "a", 0), -101);
  EXPECT_EQ(ser_dtr(0, 'X'), -101);
  EXPECT_EQ(ser_rts(0, 's'), -101);
  EXPECT_EQ(ser_break(0, 'Z'), -101);
  EXPECT_EQ(ser_port_in(0, 0), -1);
  EXPECT_EQ(ser_wait_event(0, 0), -103);
  EXPECT_EQ(ser_error_text(nullptr, 0), EINVAL);
  EXPECT_EQ(ser_wait_event(0, 0x8000), -103);
  // A pseudo-terminal has no modem lines and drops a break: everything reads as off.
  EXPECT_EQ(ser_dtr(0, 'S') + ser_dtr(0, 'R') + ser_rts(0, 'S'), 3);
  EXPECT_EQ(ser_rts(0, 'R'), 2);
  EXPECT_EQ(ser_rts(0, 'C'), 1);
  EXPECT_EQ(ser_rts(0, 'R'), 0);
  EXPECT_EQ(ser_dsr(0) | ser_cts(0) | ser_carrier(0) | ser_ring(0), 0);
  EXPECT_EQ(ser_break(0, 'A') + ser_break(0, 'C'), 2);
  EXPECT_EQ(ser_break(0, 'D') + ser_errors(0, 0x1F) + ser_out_count(0) + ser_purge(0), 0);
}

}  // namespace
