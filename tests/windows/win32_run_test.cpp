// Starting the address-change tool: Windows changes addresses with netsh, through the
// shell's "runas" verb when not elevated. Nothing here touches an adapter: the runner
// is checked with the command interpreter and a program that does not exist.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/netif.h"

TEST(WinRun, AddressesChangeThroughNetsh) { EXPECT_EQ(plat_address_tool(), PLAT_ADDR_NETSH); }

TEST(WinRun, ExitCodesComeBack) {
  int code = -1;
  ASSERT_EQ(plat_run_elevated("cmd.exe", "/c exit 3", 1, &code), 0);
  EXPECT_EQ(code, 3);
  ASSERT_EQ(plat_run_elevated("cmd.exe", "/c exit 0", 1, &code), 0);
  EXPECT_EQ(code, 0);
  // Quoted words stay one argument, as netsh gets name="Local Area Connection".
  ASSERT_EQ(plat_run_elevated("cmd.exe", "/c if \"a b\"==\"a b\" (exit 5) else (exit 6)", 1, &code), 0);
  EXPECT_EQ(code, 5);
}

TEST(WinRun, ParametersReachTheProgram) {
  char dir[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, sizeof dir);
  std::string out = std::string(dir) + "lp_run_test.txt";
  DeleteFileA(out.c_str());
  int code = -1;
  std::string params = "/c echo interface ip set address name=\"Local Area Connection\" dhcp> \"" + out + "\"";
  ASSERT_EQ(plat_run_elevated("cmd.exe", params.c_str(), 1, &code), 0);
  EXPECT_EQ(code, 0);
  FILE* f = std::fopen(out.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char line[200] = {0};
  ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
  std::fclose(f);
  DeleteFileA(out.c_str());
  EXPECT_EQ(std::string(line), "interface ip set address name=\"Local Area Connection\" dhcp\r\n");
}

TEST(WinRun, FailuresAreTheSystemsNumbers) {
  int code = 12345;
  EXPECT_EQ(plat_run_elevated("lp-no-such-program.exe", "x", 1, &code), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(code, 12345) << "no exit code without a program";
  EXPECT_EQ(plat_run_elevated("lp-no-such-program.exe", "", 0, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat_run_elevated("", "", 1, &code), EINVAL);
  EXPECT_EQ(plat_run_elevated(nullptr, "", 1, &code), EINVAL);
  // Not waited for: started is all it says.
  EXPECT_EQ(plat_run_elevated("cmd.exe", "/c exit 4", 0, nullptr), 0);
}
