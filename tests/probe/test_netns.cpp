// Address changes and the adapter listing for real, inside a network namespace of the
// test's own with veth pairs whose both ends stay in it: no traffic leaves the namespace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process.h"

namespace {

const std::string kHelper = std::string(LP_BINARY_DIR) + "/tests/probe/netns_helper";

std::string run(const std::string& cmd, int* status = nullptr) { return run_shell(cmd + " 2>&1", status); }

class NetNs : public ::testing::Test {
 protected:
  std::string ns, stubdir;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    ns = "lpprobe" + std::to_string(getpid());
    int st = 0;
    std::string out = run("ip netns add " + ns, &st);
    if (st != 0) GTEST_SKIP() << "ip netns is not available here: " << out;
    created_ = true;
    // veth3 stays down, so veth2 has no carrier.
    for (const char* cmd : {"link set lo up", "link add veth0 type veth peer name veth1",
                            "link add veth2 type veth peer name veth3", "link set veth0 up", "link set veth1 up",
                            "link set veth2 up"})
      ip(cmd);
    // A DHCP client stand-in: there is no DHCP server in the namespace to talk to.
    char tmpl[] = "/tmp/lp_stub_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    stubdir = tmpl;
    std::ofstream(stubdir + "/dhclient") << "#!/bin/sh\necho \"$@\" > " << stubdir << "/dhclient.args\n";
    chmod((stubdir + "/dhclient").c_str(), 0755);
  }

  void TearDown() override {
    if (created_) run("ip netns delete " + ns);
    if (!stubdir.empty()) run("rm -rf '" + stubdir + "'");
  }

  std::string ip(const std::string& args) { return run("ip -n " + ns + " " + args); }

  std::string helper(const std::string& args, const std::string& env = "") {
    return run("ip netns exec " + ns + " env PATH=" + stubdir + ":/usr/sbin:/usr/bin:/sbin:/bin " +
               env + " " + kHelper + " " + args);
  }

  std::string addrs(const char* dev) { return ip(std::string("-4 -o addr show dev ") + dev); }

  // The change runs detached, so its last step may land after the wait ended.
  bool wait_for(const char* dev, const std::string& want, bool present) {
    return eventually([&] { return (addrs(dev).find(want) != std::string::npos) == present; });
  }
  template <class F>
  static bool eventually(F done) {
    for (int i = 0; i < 100; i++, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
      if (done()) return true;
    return false;
  }

 private:
  bool created_ = false;
};

TEST_F(NetNs, SetsTherapistAndClientAddressesThenReturnsToDhcp) {
  std::string out = helper("set 1 veth0 10");
  EXPECT_TRUE(wait_for("veth0", "192.168.10.1/24", true)) << addrs("veth0");
  EXPECT_NE(out.find("I am "), std::string::npos) << out;

  out = helper("set 0 veth0 12");
  EXPECT_TRUE(wait_for("veth0", "192.168.12.2/24", true)) << addrs("veth0");
  EXPECT_TRUE(wait_for("veth0", "192.168.10.1/24", false)) << addrs("veth0");
  EXPECT_NE(out.find("(192.168.12.2)"), std::string::npos) << out;

  out = helper("set 2 veth0 12");
  EXPECT_TRUE(wait_for("veth0", "192.168.12.2", false)) << addrs("veth0");
  std::string args;
  eventually([&] { return std::getline(std::ifstream(stubdir + "/dhclient.args"), args) && !args.empty(); });
  EXPECT_EQ(args, "veth0");
}

TEST_F(NetNs, SkipRuleComparesWithGroupTenAndStillWaits) {
  ip("addr add 192.168.10.2/24 dev veth0");
  std::string out = helper("set 0 veth0 12");
  // No command: the address stays, and the full wait ran (no change to see).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string a = addrs("veth0");
  EXPECT_NE(a.find("192.168.10.2/24"), std::string::npos) << a;
  EXPECT_EQ(a.find("192.168.12.2"), std::string::npos) << a;
  EXPECT_NE(out.find("(192.168.10.2)"), std::string::npos) << out;
  size_t w = out.find("waited ");
  ASSERT_NE(w, std::string::npos) << out;
  EXPECT_GE(std::atof(out.c_str() + w + 7), 9.5) << out;

  // The therapist address for group 10 is not the one held: it is set.
  helper("set 1 veth0 10");
  EXPECT_TRUE(wait_for("veth0", "192.168.10.1/24", true)) << addrs("veth0");
}

TEST_F(NetNs, ListsAdaptersWithStatesAndFlags) {
  ip("addr add 192.168.10.1/24 dev veth0");
  ip("addr add 169.254.3.4/16 dev veth1 valid_lft 300 preferred_lft 300");  // a lease
  ip("addr add 10.9.9.9/8 dev veth2");
  std::string out = helper("list 192.168.10.1");
  for (const char* row : {"veth0|veth0 (192.168.10.1) OK|state=1 wired=1 type=6 conn=1 dyn=0 ll=0 cur=1",
                          "veth1|veth1 (169.254.3.4) OK|state=1 wired=1 type=6 conn=1 dyn=1 ll=1 cur=0",
                          "veth2|veth2 (10.9.9.9) disconnected|state=1 wired=1 type=6 conn=0",
                          "veth3|veth3 () disconnected|state=2 wired=1 type=6 conn=0"})
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
  EXPECT_EQ(out.find("lo|"), std::string::npos) << out;

  // A system root whose sysfs calls veth1 a wireless device.
  std::string root = stubdir + "/sysroot";
  run("mkdir -p " + root + "/sys/class/net/veth1/phy80211 " + root + "/sys/class/net/veth0");
  std::ofstream(root + "/sys/class/net/veth1/operstate") << "up\n";
  std::ofstream(root + "/sys/class/net/veth0/operstate") << "down\n";
  out = helper("list", "QUMEX_SYSROOT=" + root);
  for (const char* row : {"veth1|veth1 (169.254.3.4) OK|state=1 wired=0 type=71 conn=1",
                          "veth0|veth0 (192.168.10.1) disconnected|state=1 wired=1 type=6 conn=0"})
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
}

}  // namespace
