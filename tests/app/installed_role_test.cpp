// The role of an installed copy, whose folder (/usr/bin) is the same on every computer.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "tests/support/temp_root.h"

namespace {

std::string start_dir(const std::string& exe) {
  char dir[STARTUP_DIR_SIZE];
  default_startup_dir(exe.c_str(), dir, sizeof dir);
  return dir;
}

TEST(InstalledRole, ComputerSettingDecidesUnlessRunFromTheRoot) {
  TempRoot root;
  root.mkdir("BIN");
  const std::string r = root.path();
  // No setting: no role, rather than the therapist's that "/usr/bin" would give.
  EXPECT_EQ(start_dir("/usr/bin/linkprobe"), r + "/");
  EXPECT_STREQ(decide_role(start_dir("/usr/bin/linkprobe").c_str()), "");

  ASSERT_TRUE(root.write("STARTUPDIR", r + "/GAMES/\r\nignored\n"));
  EXPECT_EQ(start_dir("/usr/bin/linkprobe"), r + "/GAMES/");
  EXPECT_STREQ(decide_role(start_dir("/usr/bin/linkprobe").c_str()), "Game");
  // A copy inside the installation root keeps its own folder, as on Windows.
  EXPECT_EQ(start_dir(r + "/BIN/linkprobe"), r + "/BIN/");
  // An empty setting counts as none.
  ASSERT_TRUE(root.write("STARTUPDIR", "\n"));
  EXPECT_EQ(start_dir("/usr/bin/linkprobe"), r + "/");
}

}  // namespace
