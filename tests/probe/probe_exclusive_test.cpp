// The probe must leave another program's exclusive hold on a port as it found it.
#include <gtest/gtest.h>

#include <string>

#include "platform/com_probe.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

TEST(ProbeExclusive, AnotherProgramsFlagStaysAndThePortIsInUse) {
  TempRoot root;
  Pty a;
  ASSERT_FALSE(a.name.empty());
  ASSERT_TRUE(root.symlink_to("dev/COM2", a.name));
  ASSERT_EQ(ioctl(a.slave, TIOCEXCL), 0);  // held without a flock
  int err = 0;
  EXPECT_EQ(plat_com_probe(2, &err), PLAT_COM_BUSY);
  EXPECT_EQ(err, EBUSY);
  int excl = 0;
  ASSERT_EQ(ioctl(a.slave, TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 1);
}

}  // namespace
