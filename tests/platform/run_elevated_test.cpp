// The address-change tools on Linux: NetworkManager's connection name, and the runner (the
// Windows argument text split into words, the program's exit code when waited for, and the
// system's numbers on failure).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/netif.h"
#include "tests/support/golden.h"

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

// As a transcript (tests/golden/platform_run.txt): "run PROGRAM|PARAMETERS|WAIT" shows the
// result and the exit code (-1: none given), "null" standing for no program, "DIR" in the
// parameters for the scratch folder, "BIG" and "MANY" for 2000 bytes and 40 words; "args"
// shows the words a run wrote there, one a line.
TEST(Run, WordsQuotesExitCodesAndTheSystemsNumbers) {
  EXPECT_EQ(plat_address_tool(), PLAT_ADDR_OWN_TOOLS);
  // Unprivileged, the runner asks pkexec, which needs a person to answer.
  if (!plat_is_privileged()) GTEST_SKIP() << "needs root";
  ScratchPath p;
  EXPECT_TRUE(script_match("platform_run.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    if (w == "args") return p.read("args");
    std::string params = a[1] == "BIG" ? std::string(2000, 'x') : a[1], many;
    for (int i = 0; i < 40; ++i) many += "w ";
    if (params == "MANY") params = many;
    for (size_t at; (at = params.find("DIR")) != std::string::npos;) params.replace(at, 3, p.dir);
    int code = -1, r = plat_run_elevated(a[0] == "null" ? nullptr : a[0].c_str(), params.c_str(), std::stoi(a[2]), &code);
    return std::to_string(r) + " " + std::to_string(code) + "\n";
  }));
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
