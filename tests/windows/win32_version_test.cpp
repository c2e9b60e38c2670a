// The version block of this test program (its VERSIONINFO built with PrivateBuild
// "9.8.7-test" and SpecialBuild "nightly"), its path, and the Windows version record.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/launch.h"
#include "platform/os_version.h"
#include "platform/version_block.h"

namespace {
std::string self_path() {
  char p[MAX_PATH];
  EXPECT_EQ(plat_self_exe_path(p, sizeof p), 0);
  return p;
}
const std::string kBlock("PrivateBuild=9.8.7-test\0SpecialBuild=nightly\0", 45);
}  // namespace

TEST(WinVersion, ReadsTheBuildValuesFromTheFileAndFromAnImage) {
  std::string exe = self_path();
  EXPECT_NE(exe.find("win32_version_test.exe"), std::string::npos) << exe;
  char buf[256];
  size_t len = 0;
  ASSERT_EQ(plat_version_block(exe.c_str(), buf, sizeof buf, &len), 0);
  EXPECT_EQ(std::string(buf, len), kBlock);
  ASSERT_EQ(plat_version_block(exe.c_str(), buf, 20, &len), 0);  // cut to the buffer
  EXPECT_EQ(std::string(buf, len), kBlock.substr(0, 20));

  std::ifstream f(exe, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(plat_version_block_image(image.data(), image.size(), buf, sizeof buf, &len), 0);
  EXPECT_EQ(std::string(buf, len), kBlock);
  EXPECT_EQ(plat_version_block_image("MZ", 2, buf, sizeof buf, &len), 2);
}

TEST(WinVersion, MissingFilesFilesWithoutABlockAndTheWindowsVersionRecord) {
  int id = -1, major = -1, minor = -1;
  ASSERT_EQ(plat_windows_version(&id, &major, &minor), 0);
  EXPECT_TRUE(id == VER_PLATFORM_WIN32_NT && major >= 5 && minor >= 0) << id << major << minor;
  char buf[64];
  size_t len = 7;
  EXPECT_EQ(plat_version_block("C:\\no\\such\\file.exe", buf, sizeof buf, &len), 1);
  EXPECT_EQ(len, 0u);
  const char* plain = "plain_file.txt";
  FILE* f = std::fopen(plain, "w");
  ASSERT_NE(f, nullptr);
  std::fputs("no resources here\n", f);
  std::fclose(f);
  EXPECT_EQ(plat_version_block(plain, buf, sizeof buf, &len), 2);
  char when[64];
  ASSERT_EQ(plat_file_mtime_text(plain, when, sizeof when), 0);
  // ctime's layout: "Sat Dec  5 21:20:53 2026\n".
  std::string w(when), shape = w;
  for (char& ch : shape) ch = std::isalnum(static_cast<unsigned char>(ch)) ? 'x' : ch;
  EXPECT_EQ(shape.substr(0, 8) + shape.substr(9), "xxx xxx x xx:xx:xx xxxx\n") << w;
  std::remove(plain);
  EXPECT_NE(plat_file_mtime_text(plain, when, sizeof when), 0);
  EXPECT_STREQ(when, "");
}


namespace {
bool appears(const char* path) {
  for (int i = 0; i < 200; ++i) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(25);
  }
  return false;
}
}  // namespace

TEST(WinLaunch, ProgramsStartDetachedAndMissingOnesSaySo) {
  const char* marker = "launched_marker.txt";
  DeleteFileA(marker);
  const char* const run[] = {"cmd.exe", "/c", "echo started> launched_marker.txt", nullptr};
  ASSERT_EQ(plat_launch_detached(run), 0);
  EXPECT_TRUE(appears(marker));
  DeleteFileA(marker);
  const char* const missing[] = {"no-such-program-here.exe", nullptr};
  EXPECT_EQ(plat_launch_detached(missing), ERROR_FILE_NOT_FOUND);
  const char* const none[] = {nullptr};
  EXPECT_EQ(plat_launch_detached(none), EINVAL);

  const char* tool_marker = "tool_marker.txt";
  DeleteFileA(tool_marker);
  ASSERT_EQ(plat_launch_tool(PLAT_TOOL_CMD, "echo tool> tool_marker.txt"), 0);
  EXPECT_TRUE(appears(tool_marker));
  DeleteFileA(tool_marker);
  EXPECT_EQ(plat_launch_tool(7, "echo"), EINVAL);
}
