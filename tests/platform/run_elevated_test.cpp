// The address-change tools on Linux: NetworkManager's connection name, and the runner (the
// Windows argument text split into words, the program's exit code when waited for, and the
// system's numbers on failure).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/netif.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unprivileged, the runner asks pkexec, which needs a person to answer.
    if (!plat_is_privileged()) GTEST_SKIP() << "needs root";
  }
};

}  // namespace

TEST(RunTool, LinuxUsesItsOwnTools) { EXPECT_EQ(plat_address_tool(), PLAT_ADDR_OWN_TOOLS); }

TEST_F(Run, WordsQuotesAndExitCodes) {
  int code = -1;
  ASSERT_EQ(plat_run_elevated("sh", "-c \"exit 3\"", 1, &code), 0);
  EXPECT_EQ(code, 3);
  char dir[] = "/tmp/lp_run_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string out = std::string(dir) + "/args";
  // Each word on a line of its own: quotes group blanks and are dropped, \" is a quote,
  // runs of blanks and tabs separate.
  std::string params = "-c \"printf '%s\\n' \\\"$@\\\" > " + out +
                       "\" sh name=\"Local Area Connection\"  \t dhcp \\\"q\\\"";
  ASSERT_EQ(plat_run_elevated("sh", params.c_str(), 1, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(out), "name=Local Area Connection\ndhcp\n\"q\"\n");
  std::remove(out.c_str());
  rmdir(dir);
  ASSERT_EQ(plat_run_elevated("sh", "-c \"kill -9 $$\"", 1, &code), 0);
  EXPECT_EQ(code, 128 + 9) << "a signal reads as 128 + its number";
}

TEST_F(Run, FailuresAreTheSystemsNumbers) {
  int code = 12345;
  EXPECT_EQ(plat_run_elevated("lp-no-such-program", "x", 1, &code), ENOENT);
  EXPECT_EQ(code, 12345);
  EXPECT_EQ(plat_run_elevated("lp-no-such-program", "", 0, nullptr), ENOENT);
  EXPECT_EQ(plat_run_elevated("", "", 1, &code), EINVAL);
  EXPECT_EQ(plat_run_elevated(nullptr, "", 1, &code), EINVAL);
  EXPECT_EQ(plat_run_elevated("true", std::string(2000, 'x').c_str(), 1, &code), E2BIG);
  std::string many;
  for (int i = 0; i < 40; ++i) many += "w ";
  EXPECT_EQ(plat_run_elevated("true", many.c_str(), 1, &code), E2BIG);
  EXPECT_EQ(plat_run_elevated("true", "", 0, nullptr), 0);
}

// NetworkManager's answer counts only when nmcli succeeds; what a failing nmcli printed is
// not a connection name. A stand-in nmcli first on PATH (NetworkManager is not running here).
TEST(NmConnection, TheNameOnlyFromASuccessfulAnswer) {
  char dir[] = "/tmp/lp_nmcli_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string tool = std::string(dir) + "/nmcli";
  const std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (std::string(dir) + ":" + old_path).c_str(), 1);
  char name[64];
  for (int code : {0, 10}) {
    std::ofstream(tool) << "#!/bin/sh\necho 'Wired connection 1'\nexit " << code << "\n";
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    int r = plat_nm_connection("eth0", name, sizeof name);
    EXPECT_EQ(r, code == 0 ? 0 : int(PLAT_NETIF_NONE)) << code;
    EXPECT_STREQ(name, code == 0 ? "Wired connection 1" : "") << code;
  }
  setenv("PATH", old_path.c_str(), 1);
  std::remove(tool.c_str());
  rmdir(dir);
}
