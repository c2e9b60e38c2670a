// The host probes over the Windows bodies under Wine: the adapter listing from Wine's
// adapters (the host's, so shapes and rules are checked) and the serial port probe over
// the COM port pair the test stage maps (LP_WIN_COM_A/LP_WIN_COM_B, e.g. 5 and 6).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "probe/adapters.h"
#include "probe/netaddr.h"
#include "probe/ports.h"

namespace {

int env_com(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}

}  // namespace

TEST(WinProbe, AdapterTableShapesAndTheCurrentAddress) {
  ASSERT_NE(list_adapters(nullptr), nullptr);
  int taken = 0;
  while (taken < ADAPTER_COUNT && adapter_table[taken].state != 0) ++taken;
  for (int k = taken; k < ADAPTER_COUNT; ++k) {
    EXPECT_EQ(adapter_table[k].state, 0) << "taken entries come first";
    EXPECT_EQ(adapter_table[k].if_index, 0u);
  }
  int with_address = -1;
  for (int k = 0; k < taken; ++k) {
    const AdapterEntry& e = adapter_table[k];
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(e.if_type == 6 || e.if_type == 71) << int(e.if_type);
    EXPECT_EQ(e.wired, e.if_type == 6 ? 1 : 0);
    EXPECT_NE(e.name[0], '\0');
    EXPECT_EQ(e.is_current, 0);
    if (e.state == 2) {
      EXPECT_STREQ(e.address, "");
      EXPECT_EQ(e.connected, 0);
    } else {
      ASSERT_EQ(e.state, 1);
      EXPECT_NE(e.address[0], '\0');
      if (with_address < 0) with_address = k;
    }
    EXPECT_EQ(std::string(e.line),
              std::string(e.name) + " (" + e.address + ") " + (e.connected ? "OK" : "disconnected"));
    EXPECT_EQ(e.link_local, std::strncmp(e.address, "169.254", 7) == 0 ? 1 : 0);
  }
  if (with_address < 0) GTEST_SKIP() << "no adapter with an IPv4 address here";
  std::string mine = adapter_table[with_address].address;
  ASSERT_NE(list_adapters(mine.c_str()), nullptr);
  EXPECT_EQ(adapter_table[with_address].is_current, 1);
}

TEST(WinProbe, HostLineNamesThisComputer) {
  update_host_line();
  ASSERT_EQ(std::strncmp(host_line, "I am ", 5), 0) << host_line;
  std::string ip = current_ip_text();
  EXPECT_NE(ip, "");
  EXPECT_EQ(ip.find('-'), std::string::npos);
}

TEST(WinProbe, ComPortsOfThePair) {
  int a = env_com("LP_WIN_COM_A"), b = env_com("LP_WIN_COM_B");
  if (!a || !b) GTEST_SKIP() << "no COM port pair given (LP_WIN_COM_A, LP_WIN_COM_B)";
  unsigned char states[33];
  std::memset(states, 0xEE, sizeof states);
  probe_com_ports(32, states);
  EXPECT_EQ(states[a], 1);
  EXPECT_EQ(states[b], 1);
  EXPECT_EQ(states[32], 0) << "no COM32 in the prefix";
  EXPECT_GE(states[0], a > b ? a : b) << "the highest port found";
  for (int n = 1; n <= 32; ++n) EXPECT_LE(states[n], 2) << "COM" << n;
}
