// The driver over real pseudo-terminals: byte paths through the kernel, exclusive open,
// result codes and defaults.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ser_test_util.h"
#include "serial/ser.h"

namespace {

using SerPty = PtyPortTest<false>;

TEST_F(SerPty, OpenReadWriteClose) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  char buf[64];
  // Nothing waiting: reads return at once.
  EXPECT_EQ(ser_read(0, buf, sizeof buf), 0);
  EXPECT_EQ(ser_get_byte(0), -100);
  EXPECT_EQ(ser_in_count(0), 0);

  EXPECT_EQ(ser_write(0, "hello", 5), 5);
  EXPECT_EQ(ser_put_byte(0, '!'), 0);
  char got[7] = {};
  ASSERT_EQ(read_full(master_, got, 6), 6);
  EXPECT_STREQ(got, "hello!");

  // Bytes from the other side, binary and unchanged with 8 data bits.
  const unsigned char in[] = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x80, 0xFF};
  ASSERT_EQ(write(master_, in, sizeof in), static_cast<ssize_t>(sizeof in));
  unsigned char rd[16];
  int n = 0;
  for (int tries = 0; tries < 500 && n < static_cast<int>(sizeof in); ++tries) {
    int r = ser_read(0, rd + n, static_cast<int>(sizeof rd) - n);
    ASSERT_GE(r, 0);
    n += r;
    if (n < static_cast<int>(sizeof in)) usleep(2000);
  }
  ASSERT_EQ(n, static_cast<int>(sizeof in));
  EXPECT_EQ(0, memcmp(rd, in, sizeof in));

  // ser_get_byte one at a time, and ser_drain empties the rest.
  ASSERT_EQ(write(master_, "xyz", 3), 3);
  int b = -100;
  for (int tries = 0; tries < 500 && b == -100; ++tries) {
    b = ser_get_byte(0);
    if (b == -100) usleep(2000);
  }
  EXPECT_EQ(b, 'x');
  usleep(20000);
  EXPECT_EQ(ser_in_count(0), 2);
  EXPECT_EQ(ser_drain(0), 0);
  EXPECT_EQ(ser_get_byte(0), -100);

  EXPECT_EQ(ser_close(0), 1);
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -3);
  // Released: the port opens again.
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_close(0), 1);
}

TEST_F(SerPty, SecondOpenFailsAndClosesTheRecord) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  int err = ser_error_text(nullptr, 0);
  EXPECT_TRUE(err == EWOULDBLOCK || err == EBUSY) << err;
  // The record counts as closed now, and nothing of the earlier open holds the port.
  char c;
  EXPECT_EQ(ser_read(0, &c, 1), -3);
  EXPECT_EQ(ser_close(0), -3);
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);
}

TEST_F(SerPty, PortHeldByAnotherProcess) {
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_parent[0]);
    close(to_child[1]);
    char r = ser_open(0, 4000, 4000) == 0 ? 'y' : 'n';
    if (write(to_parent[1], &r, 1) != 1) _exit(2);
    char c;
    (void)!read(to_child[0], &c, 1);  // hold until the parent has tried
    _exit(0);
  }
  close(to_parent[1]);
  close(to_child[0]);
  char r = 0;
  ASSERT_EQ(read(to_parent[0], &r, 1), 1);
  ASSERT_EQ(r, 'y');
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  close(to_child[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(to_parent[0]);
  EXPECT_EQ(ser_open(0, 4000, 4000), 0);  // free again once the other process ended
}

TEST_F(SerPty, MissingNodeFailsWithSystemError) {
  EXPECT_EQ(ser_open(4, 4000, 4000), -200);  // no <root>/dev/COM5
  char text[128];
  EXPECT_EQ(ser_error_text(text, sizeof text), ENOENT);
  EXPECT_STREQ(text, strerror(ENOENT));
  char tiny[4];
  EXPECT_EQ(ser_error_text(tiny, sizeof tiny), ENOENT);
  EXPECT_EQ(strlen(tiny), 3u);
}

TEST_F(SerPty, SevenBitMaskAndEightBitPassThrough) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(ser_format(0, 0, 0, 7), 0);
  const unsigned char in[] = {0xC1, 0xFF, 0x80, 0x41};
  ASSERT_EQ(write(master_, in, sizeof in), 4);
  usleep(20000);
  unsigned char rd[8] = {};
  ASSERT_EQ(ser_read(0, rd, 2), 2);
  EXPECT_EQ(rd[0], 0x41);
  EXPECT_EQ(rd[1], 0x7F);
  EXPECT_EQ(ser_get_byte(0), 0x00);
  ASSERT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_EQ(ser_get_byte(0), 0x41);
  ASSERT_EQ(write(master_, in, 2), 2);
  usleep(20000);
  ASSERT_EQ(ser_read(0, rd, sizeof rd), 2);
  EXPECT_EQ(rd[0], 0xC1);
  EXPECT_EQ(rd[1], 0xFF);
}

TEST_F(SerPty, PushbackComesFirstWithoutTouchingTheDevice) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(write(master_, "Q", 1), 1);
  usleep(20000);
  ASSERT_EQ(ser_unget(0, 'x'), 0);
  char rd[8] = {};
  EXPECT_EQ(ser_read(0, rd, sizeof rd), 1);
  EXPECT_EQ(rd[0], 'x');
  EXPECT_EQ(ser_in_count(0), 1);  // the device's byte is still there
  EXPECT_EQ(ser_unget(0, 'y'), 0);
  EXPECT_EQ(ser_get_byte(0), 'y');
  EXPECT_EQ(ser_get_byte(0), 'Q');
  // A zero byte cancels a pushback.
  ser_unget(0, 'z');
  ser_unget(0, 0);
  EXPECT_EQ(ser_get_byte(0), -100);
  // A pushback does not outlive a close.
  ser_unget(0, 'w');
  ASSERT_EQ(ser_close(0), 1);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(ser_get_byte(0), -100);
}

TEST_F(SerPty, DefaultsApplyToTheNextOpen) {
  ASSERT_EQ(ser_set_baud(-1, 7), 0);  // table index: 38400
  ASSERT_EQ(ser_format(-1, 2, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  termios t;
  ASSERT_EQ(tcgetattr(master_, &t), 0);  // the master reports the slave's settings
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
  // (A pseudo-terminal forces 8 bits without parity, so only the stop bits show.)
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_FALSE(t.c_iflag & IXON);
  ASSERT_EQ(write(master_, "\xC1", 1), 1);
  usleep(20000);
  EXPECT_EQ(ser_get_byte(0), 0x41);  // data mask from the default byte size

  // A speed above 9 is the rate itself; a rate the tty cannot take fails (0).
  EXPECT_EQ(ser_set_baud(0, 57600), 1);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(ser_set_baud(0, 5), 1);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(ser_set_baud(0, 12345), 0);

  // Flow control reaches the tty.
  EXPECT_EQ(ser_flow(0, 'S'), 0);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  EXPECT_EQ(ser_flow(0, 'H'), 0);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_iflag & IXON);
  EXPECT_EQ(ser_flow(0, 'N'), 0);
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
}

TEST_F(SerPty, ClosePutsBackTheSettingsFoundAtOpen) {
  termios before;
  // The slave must be configured once for the master to report it; open and close once.
  ASSERT_EQ(tcgetattr(master_, &before), 0);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  termios during;
  ASSERT_EQ(tcgetattr(master_, &during), 0);
  EXPECT_NE(during.c_lflag & ICANON, before.c_lflag & ICANON);
  ASSERT_EQ(ser_close(0), 1);
  termios after;
  ASSERT_EQ(tcgetattr(master_, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(SerPty, HungUpLineFailsReadsAndWritesButCloses) {
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  root_.hang_up(master_);
  char buf[8];
  EXPECT_EQ(ser_read(0, buf, sizeof buf), -103);
  EXPECT_EQ(ser_error_text(nullptr, 0), EIO);
  EXPECT_EQ(ser_get_byte(0), -103);
  EXPECT_EQ(ser_write(0, "x", 1), -103);
  EXPECT_EQ(ser_put_byte(0, 'x'), -103);
  EXPECT_EQ(ser_close(0), 1);
}

TEST_F(SerPty, RangeAndClosedCodes) {
  char buf[4];
  using Op = int32_t (*)(int port, char* buf);
  const Op per_port[] = {
      [](int p, char*) { return ser_close(p); },
      [](int p, char*) { return ser_set_baud(p, 5); },
      [](int p, char*) { return ser_put_byte(p, 1); },
      [](int p, char*) { return ser_write(p, "a", 1); },
      [](int p, char*) { return ser_get_byte(p); },
      [](int p, char* b) { return ser_read(p, b, 4); },
      [](int p, char*) { return ser_dtr(p, 'R'); },
      [](int p, char*) { return ser_rts(p, 'S'); },
      [](int p, char*) { return ser_purge(p); },
      [](int p, char*) { return ser_drain(p); },
      [](int p, char*) { return ser_out_count(p); },
      [](int p, char*) { return ser_in_count(p); },
      [](int p, char*) { return ser_errors(p, 0x1F); },
      [](int p, char*) { return ser_flow(p, 'N'); },
      [](int p, char*) { return ser_format(p, 0, 0, 8); },
      [](int p, char*) { return ser_cts(p); },
      [](int p, char*) { return ser_dsr(p); },
      [](int p, char*) { return ser_ring(p); },
      [](int p, char*) { return ser_carrier(p); },
      [](int p, char*) { return ser_break(p, 'D'); },
      [](int p, char*) { return ser_unget(p, 1); },
      [](int p, char*) { return ser_port_in(p, 0); },
      [](int p, char*) { return ser_wait_event(p, SER_EV_RXCHAR); },
      [](int p, char*) { return ser_watch(p, nullptr, nullptr, 0, 0); },
  };
  for (size_t i = 0; i < sizeof per_port / sizeof per_port[0]; ++i) {
    for (int port : {32, 1000, -2}) EXPECT_EQ(per_port[i](port, buf), -1) << "op " << i;
    EXPECT_EQ(per_port[i](0, buf), -3) << "op " << i;  // exists, closed
  }
  // -1 is out of range too, except where it sets the defaults.
  for (size_t i = 0; i < sizeof per_port / sizeof per_port[0]; ++i) {
    if (i == 1 || i == 14) continue;  // ser_set_baud, ser_format
    EXPECT_EQ(per_port[i](-1, buf), -1) << "op " << i;
  }
  EXPECT_EQ(ser_open(-1, 0, 0), 0);
  EXPECT_EQ(ser_set_baud(-1, 19200), 0);
  EXPECT_EQ(ser_format(-1, 0, 0, 8), 0);
  EXPECT_EQ(ser_open(32, 4000, 4000), -1);
  EXPECT_EQ(ser_port_in(4, 0), -1);  // only the four legacy ports
}

TEST_F(SerPty, OpenPortCodes) {
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

TEST_F(SerPty, ResetAtOpenDiscardsWaitingInput) {
  // 'R' stays set for the rest of the process, so it is tried in a child.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    // Without the reset, bytes that arrived before the open are read after it.
    if (write(master_, "abc", 3) != 3 || ser_open(0, 4000, 4000) != 0) code = 1;
    usleep(20000);
    if (ser_in_count(0) != 3 || ser_close(0) != 1) code = 2;
    if (ser_option('R') != 82 || write(master_, "abc", 3) != 3) code = 3;
    usleep(20000);
    if (ser_open(0, 4000, 4000) != 0 || ser_in_count(0) != 0) code = 4;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
