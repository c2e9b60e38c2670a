#include "probe/ports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/com_probe.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

class Ports : public ::testing::Test {
 protected:
  void SetUp() override { root.mkdir("dev"); }
  void link(int com, const std::string& to) { ASSERT_TRUE(root.symlink_to("dev/COM" + std::to_string(com), to)); }
  std::string port(int com) { return root.path() + "/dev/COM" + std::to_string(com); }
  TempRoot root;
};

TEST_F(Ports, FreeBusyAndAbsent) {
  Pty a, b, c;
  ASSERT_FALSE(a.name.empty() || b.name.empty() || c.name.empty());
  link(1, a.name);
  link(3, b.name);
  link(5, c.name);
  link(6, root.path() + "/dev/gone");  // dangling
  root.write("dev/COM7", "not a tty");
  PortHolder holder(port(3));
  ASSERT_TRUE(holder.locked());

  unsigned char states[COM_PORTS + 1];
  std::memset(states, 0xee, sizeof states);
  probe_com_ports(COM_PORTS, states);
  // Entry 0 is the highest port found; 1 free, 2 busy, 0 absent.
  const unsigned char want[] = {5, 1, 0, 2, 0, 1, 0, 0};
  for (int n = 0; n <= COM_PORTS; ++n) EXPECT_EQ(states[n], n < 8 ? want[n] : 0) << "COM" << n;

  const struct { int com, result, err; } probes[] = {
      {3, PLAT_COM_BUSY, EWOULDBLOCK}, {6, PLAT_COM_ABSENT, ENOENT}, {7, PLAT_COM_ABSENT, ENOTTY}};
  for (const auto& p : probes) {
    int err = -1;
    EXPECT_EQ(plat_com_probe(p.com, &err), p.result) << "COM" << p.com;
    EXPECT_EQ(err, p.err) << "COM" << p.com;
  }
  EXPECT_EQ(plat_com_probe(2, nullptr), PLAT_COM_ABSENT);
  EXPECT_EQ(plat_com_probe(0, nullptr), PLAT_COM_ABSENT);
}

TEST_F(Ports, ProbeReleasesThePort) {
  Pty a;
  ASSERT_FALSE(a.name.empty());
  link(2, a.name);
  EXPECT_EQ(plat_com_probe(2, nullptr), PLAT_COM_FREE);
  // Nothing is left behind: another program can lock it, and the exclusive flag is off.
  int fd = open(port(2).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  int excl = -1;
  ASSERT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 0);
  close(fd);
  // A port held by our own driver's scheme reads busy, and free again once released.
  {
    PortHolder holder(port(2));
    ASSERT_TRUE(holder.locked());
    EXPECT_EQ(plat_com_probe(2, nullptr), PLAT_COM_BUSY);
  }
  EXPECT_EQ(plat_com_probe(2, nullptr), PLAT_COM_FREE);
}

TEST_F(Ports, EntryZeroKeepsItsValueWhenNothingIsFound) {
  unsigned char states[COM_PORTS + 1] = {};
  states[0] = 9;
  probe_com_ports(COM_PORTS, states);
  EXPECT_EQ(states[0], 9);
  for (int n = 1; n <= COM_PORTS; ++n) EXPECT_EQ(states[n], 0);

  Pty a, b;
  link(32, a.name);
  link(4, b.name);
  probe_com_ports(COM_PORTS, states);
  EXPECT_EQ(states[0], 32);
  EXPECT_EQ(states[32], 1);
  // Only the first count ports are probed; the rest of the table is untouched.
  std::memset(states, 0xee, sizeof states);
  probe_com_ports(10, states);
  EXPECT_EQ(states[0], 4);
  EXPECT_EQ(states[4], 1);
  EXPECT_EQ(states[11], 0xee);
  EXPECT_EQ(states[32], 0xee);
  // A count past the table is held to the table.
  unsigned char guarded[COM_PORTS + 2];
  guarded[COM_PORTS + 1] = 0x5a;
  probe_com_ports(1000, guarded);
  EXPECT_EQ(guarded[COM_PORTS + 1], 0x5a);
  EXPECT_EQ(guarded[0], 32);
  probe_com_ports(COM_PORTS, com_port_states);
  EXPECT_EQ(com_port_states[0], 32);
}

}  // namespace
