#include "app/startup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/launchers.h"

namespace {

TEST(CommandLine, JoinedWithSingleBlanksAndCut) {
  const char* argv[] = {"linkprobe", "STARTUPDIR=/opt/Qumex/GAMES/", "/x", "", "y"};
  char out[64];
  join_command_line(5, argv, out, sizeof out);
  EXPECT_STREQ(out, "STARTUPDIR=/opt/Qumex/GAMES/ /x  y");
  join_command_line(1, argv, out, sizeof out);
  EXPECT_STREQ(out, "");
  char small[10];
  join_command_line(5, argv, small, sizeof small);
  EXPECT_STREQ(small, "STARTUPDI");
  const char* two[] = {"p", "abcd", "efgh"};
  char exact[10];
  join_command_line(3, two, exact, sizeof exact);
  EXPECT_STREQ(exact, "abcd efgh");
  join_command_line(3, two, exact, 9);
  EXPECT_STREQ(exact, "abcd efg");
}

TEST(StartupDir, CutAfterLastSeparatorOfEitherKind) {
  char a[64] = "/opt/qumex/BIN/linkprobe";
  cut_to_directory(a);
  EXPECT_STREQ(a, "/opt/qumex/BIN/");
  char b[64] = "C:\\Qumex\\BIN\\linkprobe.exe";
  cut_to_directory(b);
  EXPECT_STREQ(b, "C:\\Qumex\\BIN\\");
  char c[64] = "linkprobe";
  cut_to_directory(c);
  EXPECT_STREQ(c, "l");
  char d[64] = "";
  cut_to_directory(d);
  EXPECT_STREQ(d, "");
}

TEST(StartupDir, KeywordValueRunsToTheEnd) {
  char dir[STARTUP_DIR_SIZE] = "/opt/qumex/";
  EXPECT_EQ(apply_startup_dir("STARTUPDIR=C:\\Qumex\\GAMES\\ /x", dir, sizeof dir), 1);
  EXPECT_STREQ(dir, "C:\\Qumex\\GAMES\\ /x");
  EXPECT_STREQ(decide_role(dir), "Game");
  EXPECT_EQ(apply_startup_dir("-geometry +0+0 startupdir=/BIN/", dir, sizeof dir), 0);
  EXPECT_STREQ(dir, "C:\\Qumex\\GAMES\\ /x");
  EXPECT_EQ(apply_startup_dir("a STARTUPDIR=", dir, sizeof dir), 1);
  EXPECT_STREQ(dir, "");
  std::string longer = "STARTUPDIR=" + std::string(400, 'd');
  EXPECT_EQ(apply_startup_dir(longer.c_str(), dir, sizeof dir), 1);
  EXPECT_EQ(std::strlen(dir), STARTUP_DIR_SIZE - 1);
}

TEST(Role, UpperCasedBinFirstThenGames) {
  EXPECT_STREQ(decide_role("c:\\qumex\\bin\\"), "Therapist");
  EXPECT_STREQ(decide_role("/opt/qumex/bin/"), "Therapist");
  EXPECT_STREQ(decide_role("C:\\Qumex\\Games\\BIN\\"), "Therapist");
  EXPECT_STREQ(decide_role("/opt/qumex/games/"), "Game");
  EXPECT_STREQ(decide_role("/opt/qumex/Games"), "Game");
  EXPECT_STREQ(decide_role("/opt/qumex/"), "");
  EXPECT_STREQ(decide_role("/opt/qumexBIN/"), "");  // needs the separator before BIN
  EXPECT_STREQ(decide_role(""), "");
  EXPECT_STREQ(decide_role(nullptr), "");
}

TEST(OsCode, WindowsVersionTable) {
  EXPECT_EQ(os_version_code(1, 4, 10), 8);    // 98
  EXPECT_EQ(os_version_code(1, 4, 89), 8);
  EXPECT_EQ(os_version_code(1, 4, 90), 90);   // Me
  EXPECT_EQ(os_version_code(1, 4, 0), 5);     // 95
  EXPECT_EQ(os_version_code(0, 3, 10), 5);
  EXPECT_EQ(os_version_code(1, 5, 0), 99);
  EXPECT_EQ(os_version_code(2, 4, 0), 101);   // NT 4
  EXPECT_EQ(os_version_code(2, 3, 51), 101);
  EXPECT_EQ(os_version_code(2, 5, 1), 102);   // XP
  EXPECT_EQ(os_version_code(2, 6, 1), 111);   // 7
  EXPECT_EQ(os_version_code(2, 10, 0), 110);  // 10
  EXPECT_EQ(os_version_code(2, 6, 2147483647), 2147483647);
}

TEST(Launchers, ColumnChosenByOsCode) {
  EXPECT_STREQ(launcher_command(LAUNCHER_NETWORK, 0), "C:\\WINDOWS\\CONTROL.EXE netcpl.cpl");
  EXPECT_STREQ(launcher_command(LAUNCHER_DEVICE_MANAGER, 100),
               "C:\\WINDOWS\\CONTROL.EXE Sysdm.cpl, System,1");
  EXPECT_STREQ(launcher_command(LAUNCHER_CMD, 99), "start command.com");
  EXPECT_STREQ(launcher_command(LAUNCHER_NETWORK, 101), "start /B C:\\Windows\\System32\\ncpa.cpl");
  EXPECT_STREQ(launcher_command(LAUNCHER_DEVICE_MANAGER, 111), "start devmgmt.msc");
  EXPECT_STREQ(launcher_command(LAUNCHER_CMD, 102), "start cmd.exe");
  EXPECT_EQ(launcher_command(7, 111), nullptr);
}

TEST(WindowTitle, FormattedAndCut) {
  char title[WINDOW_TITLE_SIZE];
  build_window_title("PB=1.3  Sat Dec  5 21:20:53 2026\n", title, sizeof title);
  EXPECT_STREQ(title, "Qumex Linkprobe PB=1.3  Sat Dec  5 21:20:53 2026\n");
  std::string v(400, 'v');
  build_window_title(v.c_str(), title, sizeof title);
  EXPECT_EQ(std::strlen(title), 199u);
}

}  // namespace
