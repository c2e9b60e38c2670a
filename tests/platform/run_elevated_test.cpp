// The address-change tools on Linux: NetworkManager's connection name, and the runner (the
// Windows argument text split into words, the program's exit code when waited for, and the
// system's numbers on failure).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/netif.h"

namespace {

// A scratch folder first on PATH, for stand-in programs; removed afterwards.
struct ScratchPath {
  char dir[32] = "/tmp/lp_run_XXXXXX";
  std::string old = getenv("PATH") ? getenv("PATH") : "";
  ScratchPath() { setenv("PATH", (std::string(mkdtemp(dir) ? dir : "/nonexistent") + ":" + old).c_str(), 1); }
  ~ScratchPath() {
    setenv("PATH", old.c_str(), 1);
    (void)!system(("rm -rf " + std::string(dir)).c_str());
  }
  std::string read(const char* name) {
    std::ifstream in(std::string(dir) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

}  // namespace

TEST(Run, WordsQuotesExitCodesAndTheSystemsNumbers) {
  EXPECT_EQ(plat_address_tool(), PLAT_ADDR_OWN_TOOLS);
  // Unprivileged, the runner asks pkexec, which needs a person to answer.
  if (!plat_is_privileged()) GTEST_SKIP() << "needs root";
  ScratchPath p;
  int code = -1;
  ASSERT_EQ(plat_run_elevated("sh", "-c \"exit 3\"", 1, &code), 0);
  EXPECT_EQ(code, 3);
  // Each word on a line of its own: quotes group blanks and are dropped, \" is a quote,
  // runs of blanks and tabs separate.
  std::string params = "-c \"printf '%s\\n' \\\"$@\\\" > " + std::string(p.dir) +
                       "/args\" sh name=\"Local Area Connection\"  \t dhcp \\\"q\\\"";
  ASSERT_EQ(plat_run_elevated("sh", params.c_str(), 1, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(p.read("args"), "name=Local Area Connection\ndhcp\n\"q\"\n");
  ASSERT_EQ(plat_run_elevated("sh", "-c \"kill -9 $$\"", 1, &code), 0);
  EXPECT_EQ(code, 128 + 9) << "a signal reads as 128 + its number";
  code = 12345;
  EXPECT_EQ(plat_run_elevated("lp-no-such-program", "x", 1, &code), ENOENT);
  EXPECT_EQ(code, 12345);
  std::string many, big(2000, 'x');
  for (int i = 0; i < 40; ++i) many += "w ";
  const struct { const char *program, *params; int wait, result; } runs[] = {
      {"lp-no-such-program", "", 0, ENOENT}, {"", "", 1, EINVAL}, {nullptr, "", 1, EINVAL},
      {"true", big.c_str(), 1, E2BIG}, {"true", many.c_str(), 1, E2BIG}, {"true", "", 0, 0}};
  for (const auto& r : runs) EXPECT_EQ(plat_run_elevated(r.program, r.params, r.wait, &code), r.result) << r.params;
}

// NetworkManager's answer counts only when nmcli succeeds; what a failing nmcli printed is
// not a connection name. A stand-in nmcli first on PATH (NetworkManager is not running here).
TEST(NmConnection, TheNameOnlyFromASuccessfulAnswer) {
  ScratchPath p;
  char name[64];
  for (int code : {0, 10}) {
    std::ofstream(std::string(p.dir) + "/nmcli") << "#!/bin/sh\necho 'Wired connection 1'\nexit " << code << "\n";
    ASSERT_EQ(chmod((std::string(p.dir) + "/nmcli").c_str(), 0755), 0);
    EXPECT_EQ(plat_nm_connection("eth0", name, sizeof name), code == 0 ? 0 : int(PLAT_NETIF_NONE)) << code;
    EXPECT_STREQ(name, code == 0 ? "Wired connection 1" : "") << code;
  }
}
