// The driver over real pseudo-terminals: byte paths through the kernel, exclusive open,
// result codes and defaults.
#include <sys/wait.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "ser_test_util.h"

namespace {

using SerPty = PtyPortTest<true>;
using SerPtyClosed = PtyPortTest<false>;

TEST_F(SerPty, ReadWriteAndClose) {
  char buf[64];
  EXPECT_EQ(ser_read(0, buf, sizeof buf), 0);  // nothing waiting: at once
  EXPECT_EQ(ser_get_byte(0), -100);
  EXPECT_EQ(ser_write(0, "hello", 5), 5);
  EXPECT_EQ(ser_put_byte(0, '!'), 0);
  char got[7] = {};
  ASSERT_EQ(read_full(master_, got, 6), 6);
  EXPECT_STREQ(got, "hello!");

  // Binary and unchanged with 8 data bits.
  const unsigned char in[] = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x80, 0xFF};
  arrive(in, sizeof in, sizeof in);
  unsigned char rd[16];
  ASSERT_EQ(ser_read(0, rd, sizeof rd), int(sizeof in));
  EXPECT_EQ(0, memcmp(rd, in, sizeof in));

  arrive("xyz", 3, 3);
  EXPECT_EQ(ser_get_byte(0), 'x');
  EXPECT_EQ(ser_in_count(0), 2);
  EXPECT_EQ(ser_drain(0), 0);
  EXPECT_EQ(ser_get_byte(0), -100);

  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -3);
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);  // released
}

TEST_F(SerPty, SecondOpenFailsAndClosesTheRecord) {
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  int err = ser_error_text(nullptr, 0);
  EXPECT_TRUE(err == EWOULDBLOCK || err == EBUSY) << err;
  // The record counts as closed now, and nothing of the earlier open holds the port.
  char c;
  EXPECT_EQ(ser_read(0, &c, 1), -3);
  EXPECT_EQ(ser_close(0), -3);
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);
}

TEST_F(SerPtyClosed, PortHeldByAnotherProcess) {
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);  // else the parent's close would never end the wait below
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
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);  // free again once the other process ended
}

TEST_F(SerPty, MissingNodeFailsWithSystemError) {
  EXPECT_EQ(ser_open(4, 4000, 4000), -200);  // no <root>/dev/COM5
  char text[128], tiny[4];
  EXPECT_EQ(ser_error_text(text, sizeof text), ENOENT);
  EXPECT_STREQ(text, strerror(ENOENT));
  EXPECT_EQ(ser_error_text(tiny, sizeof tiny), ENOENT);
  EXPECT_EQ(strlen(tiny), 3u);
}

TEST_F(SerPty, SevenBitMaskAppliesAtReadTime) {
  ASSERT_EQ(ser_format(0, 0, 0, 7), 0);
  const unsigned char in[] = {0xC1, 0xFF, 0x80, 0x41};
  arrive(in, 4, 4);
  unsigned char rd[8] = {};
  ASSERT_EQ(ser_read(0, rd, 2), 2);
  EXPECT_EQ(rd[0], 0x41);
  EXPECT_EQ(rd[1], 0x7F);
  EXPECT_EQ(ser_get_byte(0), 0x00);
  ASSERT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_EQ(ser_get_byte(0), 0x41);
  arrive(in, 2, 2);
  ASSERT_EQ(ser_read(0, rd, sizeof rd), 2);
  EXPECT_EQ(rd[0], 0xC1);
  EXPECT_EQ(rd[1], 0xFF);
}

TEST_F(SerPty, PushbackComesFirstWithoutTouchingTheDevice) {
  arrive("Q", 1, 1);
  ASSERT_EQ(ser_unget(0, 'x'), 0);
  char rd[8] = {};
  EXPECT_EQ(ser_read(0, rd, sizeof rd), 1);
  EXPECT_EQ(rd[0], 'x');
  EXPECT_EQ(ser_in_count(0), 1);  // the device's byte is still there
  EXPECT_EQ(ser_unget(0, 'y'), 0);
  EXPECT_EQ(ser_get_byte(0), 'y');
  EXPECT_EQ(ser_get_byte(0), 'Q');
  ser_unget(0, 'z');
  ser_unget(0, 0);  // a zero byte cancels a pushback
  EXPECT_EQ(ser_get_byte(0), -100);
  ser_unget(0, 'w');  // a pushback does not outlive a close
  ASSERT_EQ(ser_close(0), 1);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_get_byte(0), -100);
}

TEST_F(SerPtyClosed, DefaultsApplyToTheNextOpenAndSettingsReachTheTty) {
  termios before, t;
  ASSERT_EQ(tcgetattr(master_, &before), 0);  // the master reports the slave's settings
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_EQ(ser_set_baud(-1, 7), 0);          // table index: 38400
  ASSERT_EQ(ser_format(-1, 2, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  auto attrs = [&]() -> const termios& {
    EXPECT_EQ(tcgetattr(master_, &t), 0);
    return t;
  };
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B38400));
  // (A pseudo-terminal forces 8 bits without parity, so only the stop bits show.)
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_FALSE(t.c_iflag & IXON);
  arrive("\xC1", 1, 1);
  EXPECT_EQ(ser_get_byte(0), 0x41);  // data mask from the default byte size

  // A speed above 9 is the rate itself; a rate the tty cannot take fails (0).
  EXPECT_EQ(ser_set_baud(0, 57600), 1);
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B57600));
  EXPECT_EQ(ser_set_baud(0, 5), 1);
  EXPECT_EQ(cfgetospeed(&attrs()), speed_t(B9600));
  EXPECT_EQ(ser_set_baud(0, 12345), 0);

  EXPECT_EQ(ser_flow(0, 'S'), 0);
  EXPECT_TRUE((attrs().c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  EXPECT_EQ(ser_flow(0, 'H'), 0);
  EXPECT_TRUE((attrs().c_cflag & CRTSCTS) && !(t.c_iflag & IXON));
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  EXPECT_FALSE(attrs().c_cflag & CRTSCTS);

  // Close puts back only the read timeouts found at open.
  ASSERT_EQ(ser_close(0), 1);
  EXPECT_EQ(attrs().c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(t.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST_F(SerPty, HungUpLineFailsReadsAndWritesButCloses) {
  root_.hang_up(master_);
  char buf[8];
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -103);
  EXPECT_EQ(ser_error_text(nullptr, 0), EIO);
  EXPECT_EQ(ser_get_byte(0), -103);
  EXPECT_EQ(ser_write(0, "x", 1), -103);
  EXPECT_EQ(ser_put_byte(0, 'x'), -103);
  EXPECT_EQ(ser_close(0), 1);
}

TEST_F(SerPtyClosed, RangeAndClosedCodes) {
  static char buf[4];
  struct Op {
    const char* name;
    int32_t (*call)(int port);
    bool port_minus_1_sets_defaults;
  };
  const Op ops[] = {
      {"close", [](int p) { return ser_close(p); }, false},
      {"set_baud", [](int p) { return ser_set_baud(p, 5); }, true},
      {"put_byte", [](int p) { return ser_put_byte(p, 1); }, false},
      {"write", [](int p) { return ser_write(p, "a", 1); }, false},
      {"get_byte", [](int p) { return ser_get_byte(p); }, false},
      {"read", [](int p) { return ser_read(p, buf, 4); }, false},
      {"dtr", [](int p) { return ser_dtr(p, 'R'); }, false},
      {"rts", [](int p) { return ser_rts(p, 'S'); }, false},
      {"purge", [](int p) { return ser_purge(p); }, false},
      {"drain", [](int p) { return ser_drain(p); }, false},
      {"out_count", [](int p) { return ser_out_count(p); }, false},
      {"in_count", [](int p) { return ser_in_count(p); }, false},
      {"errors", [](int p) { return ser_errors(p, 0x1F); }, false},
      {"flow", [](int p) { return ser_flow(p, 'N'); }, false},
      {"format", [](int p) { return ser_format(p, 0, 0, 8); }, true},
      {"cts", [](int p) { return ser_cts(p); }, false},
      {"dsr", [](int p) { return ser_dsr(p); }, false},
      {"ring", [](int p) { return ser_ring(p); }, false},
      {"carrier", [](int p) { return ser_carrier(p); }, false},
      {"break", [](int p) { return ser_break(p, 'D'); }, false},
      {"unget", [](int p) { return ser_unget(p, 1); }, false},
      {"port_in", [](int p) { return ser_port_in(p, 0); }, false},
      {"wait_event", [](int p) { return ser_wait_event(p, SER_EV_RXCHAR); }, false},
      {"watch", [](int p) { return ser_watch(p, nullptr, nullptr, 0, 0); }, false},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(op.name);
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
}

TEST_F(SerPty, OpenPortCodes) {
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
  EXPECT_EQ(ser_dtr(0, 'S'), 1);
  EXPECT_EQ(ser_dtr(0, 'R'), 1);
  EXPECT_EQ(ser_rts(0, 'S'), 1);
  EXPECT_EQ(ser_rts(0, 'R'), 2);
  EXPECT_EQ(ser_rts(0, 'C'), 1);
  EXPECT_EQ(ser_rts(0, 'R'), 0);
  EXPECT_EQ(ser_dsr(0) | ser_cts(0) | ser_carrier(0) | ser_ring(0), 0);
  EXPECT_EQ(ser_break(0, 'A'), 1);
  EXPECT_EQ(ser_break(0, 'C'), 1);
  EXPECT_EQ(ser_break(0, 'D'), 0);
  EXPECT_EQ(ser_errors(0, 0x1F), 0);
  EXPECT_EQ(ser_out_count(0), 0);
  EXPECT_EQ(ser_purge(0), 0);
}

TEST_F(SerPtyClosed, ResetAtOpenDiscardsWaitingInput) {
  // 'R' stays set for the rest of the process, so it is tried in a child.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Without the reset, bytes that arrived before the open are read after it.
    if (write(master_, "abc", 3) != 3 || ser_open(0, 4000, 4000) != 0) _exit(1);
    if (!eventually([] { return ser_in_count(0) == 3; }) || ser_close(0) != 1) _exit(2);
    if (ser_option('R') != 82 || write(master_, "abc", 3) != 3) _exit(3);
    usleep(20000);  // lets them reach the closed line: nothing there to wait for
    _exit(ser_open(0, 4000, 4000) != 0 || ser_in_count(0) != 0 ? 4 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SerLetters, OptionAndQuery) {
  EXPECT_EQ(ser_query('3'), 1);
  EXPECT_EQ(ser_query('I'), 1);
  EXPECT_EQ(ser_query('V'), 790);
  EXPECT_EQ(ser_query('v'), -1);
  EXPECT_EQ(ser_option('X'), -1);
  EXPECT_EQ(ser_option('W'), 87);
  EXPECT_EQ(ser_option('W'), 87);  // flipped back
}

}  // namespace
