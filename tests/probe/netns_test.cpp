// Address changes and the adapter listing for real, inside a network namespace of the
// test's own with veth pairs whose both ends stay in it: no traffic leaves it.

#include <cstdlib>

#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

class NetNs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    ns_ = "lpprobe" + std::to_string(getpid());
    int st = 0;
    std::string out = run("ip netns add " + ns_, &st);
    if (st != 0) GTEST_SKIP() << "ip netns is not available here: " << out;
    // veth3 stays down, so veth2 has no carrier.
    for (const char* cmd : {"link set lo up", "link add veth0 type veth peer name veth1",
                            "link add veth2 type veth peer name veth3", "link set veth0 up", "link set veth1 up",
                            "link set veth2 up"})
      ip(cmd);
    // A DHCP client stand-in: there is no DHCP server in the namespace to talk to.
    ASSERT_TRUE(stub_.write("dhclient", "#!/bin/sh\necho \"$@\" > " + stub_.path() + "/dhclient.args\n"));
    run("chmod 755 " + stub_.path() + "/dhclient");
  }
  void TearDown() override {
    if (!ns_.empty()) run("ip netns delete " + ns_);
  }
  static std::string run(const std::string& cmd, int* status = nullptr) { return run_shell(cmd + " 2>&1", status); }
  std::string ip(const std::string& args) { return run("ip -n " + ns_ + " " + args); }
  std::string helper(const std::string& args, const std::string& env = "") {
    return run("ip netns exec " + ns_ + " env PATH=" + stub_.path() + ":/usr/sbin:/usr/bin:/sbin:/bin " + env + " " +
               LP_BINARY_DIR "/tests/probe/netns_helper " + args);
  }
  std::string addrs() { return ip("-4 -o addr show dev veth0"); }
  // The change runs detached, so its last step may land after the wait ended.
  bool eventually(const std::string& want, bool present) {
    for (int i = 0; i < 100; i++, usleep(100000))
      if ((addrs().find(want) != std::string::npos) == present) return true;
    return false;
  }
  std::string ns_;
  TempRoot stub_;
};

TEST_F(NetNs, SetsAddressesSkipsByGroupTenAndReturnsToDhcp) {
  ip("addr add 192.168.10.2/24 dev veth0");
  // The client address of group 10 is held: no command, the full wait still runs.
  const std::string out = helper("set 0 veth0 12");
  const size_t waited = out.find("waited ");
  EXPECT_TRUE(out.find("(192.168.10.2)") < waited && std::atof(out.c_str() + waited + 7) >= 9.5) << out;
  usleep(500000);
  EXPECT_EQ(addrs().find("192.168.12.2"), std::string::npos) << addrs();

  // A change ends the wait at its first reading that differs, which may fall between the
  // flush and the add (no address yet): the host line is read again once it has landed.
  auto ended_early = [](const std::string& o) { return std::atof(o.c_str() + o.find("waited ") + 7) < 9.5; };
  EXPECT_TRUE(ended_early(helper("set 1 veth0 10")));
  EXPECT_TRUE(eventually("192.168.10.1/24", true)) << addrs();
  EXPECT_NE(helper("host").find("(192.168.10.1)"), std::string::npos);
  EXPECT_TRUE(ended_early(helper("set 0 veth0 12")));
  EXPECT_TRUE(eventually("192.168.12.2/24", true) && eventually("192.168.10.1/24", false)) << addrs();
  EXPECT_NE(helper("host").find("(192.168.12.2)"), std::string::npos);
  helper("set 2 veth0 12");
  EXPECT_TRUE(eventually("192.168.12.2", false)) << addrs();
  for (int i = 0; i < 100 && stub_.read("dhclient.args").empty(); i++) usleep(100000);
  EXPECT_EQ(stub_.read("dhclient.args"), "veth0\n");
}

TEST_F(NetNs, ListsAdaptersWithStatesAndFlags) {
  ip("addr add 192.168.10.1/24 dev veth0");
  ip("addr add 169.254.3.4/16 dev veth1 valid_lft 300 preferred_lft 300");  // a lease
  ip("addr add 10.9.9.9/8 dev veth2");
  std::string out = helper("list 192.168.10.1");  // no loopback, veth3 down, veth1 from a lease
  // Then a system root whose sysfs calls veth1 a wireless device.
  stub_.write("sys/class/net/veth1/phy80211/.keep", "");
  stub_.write("sys/class/net/veth1/operstate", "up\n");
  stub_.write("sys/class/net/veth0/operstate", "down\n");
  EXPECT_TRUE(golden_match("probe_netns_list.txt", out + "--\n" + helper("list", "QUMEX_SYSROOT=" + stub_.path())));
}

}  // namespace
