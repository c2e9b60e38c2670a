// What the driver leaves on a real tty and lets into its input: the line after close,
// received breaks, reads without room.
#include <termios.h>

#include <cstring>

#include "ser_test_util.h"

namespace {

using SerTty = PtyPortTest<true>;
using SerTtyClosed = PtyPortTest<false>;

TEST_F(SerTtyClosed, CloseLetsTheLastBytesLeaveAtThePortsRateAndPutsBackOnlyTheTimeouts) {
  termios before, t;
  ASSERT_EQ(tcgetattr(master_, &before), 0);  // the master reports the slave's settings
  ASSERT_NE(cfgetospeed(&before), speed_t(B9600));
  ASSERT_EQ(ser_set_baud(-1, 5), 0);
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  const char sound[8] = {'\xE0', 9, 8, 0, 1, 0, 0, 0};
  ASSERT_EQ(ser_write(0, sound, 8), 8);
  ASSERT_EQ(ser_close(0), 1);
  // The peer has not read the command yet: the line must still run as the port did.
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_FALSE(t.c_lflag & ICANON);
  EXPECT_EQ(t.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(t.c_cc[VTIME], before.c_cc[VTIME]);
  char got[8] = {};
  EXPECT_EQ(read_full(master_, got, 8), 8);
  EXPECT_EQ(std::memcmp(got, sound, 8), 0);
}

TEST_F(SerTty, EveryReconfigurationKeepsReceivedBreaksOutOfTheData) {
  // A break read as 0x00 would corrupt the next message; it is counted as a line error.
  auto breaks_ignored = [&] {
    termios t;
    return tcgetattr(master_, &t) == 0 && (t.c_iflag & IGNBRK) && !(t.c_iflag & BRKINT) &&
           !(t.c_iflag & PARMRK);
  };
  EXPECT_TRUE(breaks_ignored());
  ASSERT_EQ(ser_set_baud(0, 5), 1);
  EXPECT_TRUE(breaks_ignored());
  for (char letter : {'H', 'S', 'N'}) {
    ASSERT_EQ(ser_flow(0, letter), 0);
    EXPECT_TRUE(breaks_ignored()) << letter;
  }
  ASSERT_EQ(ser_format(0, 0, 0, 8), 0);
  EXPECT_TRUE(breaks_ignored());
}

TEST_F(SerTty, ReadWithoutRoomReadsNothingAndKeepsThePushback) {
  char buf[4] = {'-', '-', '-', '-'};
  arrive("ab", 2, 2);
  ASSERT_EQ(ser_unget(0, 'x'), 0);
  EXPECT_EQ(ser_read(0, buf, 0), 0);
  EXPECT_EQ(buf[0], '-');
  EXPECT_EQ(ser_read(0, nullptr, 4), -103);
  EXPECT_EQ(ser_read(0, buf, 4), 1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(ser_read(0, buf, 4), 2);
}

}  // namespace
