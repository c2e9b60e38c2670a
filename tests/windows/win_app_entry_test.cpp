// The program's raw command line as WinMain receives it: everything after the program
// name and the blanks that follow it, quotes and all.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"

TEST(WinEntry, RawCommandLineAfterTheProgramName) {
  const struct { const char* raw; const char* rest; } cases[] = {
      {"\"C:\\Program Files\\Qumex\\linkprobe.exe\" --run rescan", "--run rescan"},
      {"linkprobe.exe   STARTUPTEST", "STARTUPTEST"},
      {"linkprobe.exe\t \tSTARTUPDIR=C:\\Qumex Games\\ x", "STARTUPDIR=C:\\Qumex Games\\ x"},
      {"C:\\Qumex\\BIN\\linkprobe.exe \"quoted words\"  kept  ", "\"quoted words\"  kept  "},
      {"\"C:\\a b\\linkprobe.exe\"STARTUPTEST", "STARTUPTEST"},
      {"linkprobe.exe", ""},
      {"\"C:\\unterminated quote --run", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(std::string(skip_program_name(c.raw)), c.rest) << c.raw;
  EXPECT_STREQ(skip_program_name(nullptr), "");
}

TEST(WinEntry, StartupDirFromTheRawLineKeepsItsBlanks) {
  char dir[STARTUP_DIR_SIZE] = "unchanged";
  const char* rest = skip_program_name("linkprobe.exe STARTUPDIR=C:\\Qumex\\My Games\\");
  ASSERT_EQ(apply_startup_dir(rest, dir, sizeof dir), 1);
  EXPECT_STREQ(dir, "C:\\Qumex\\My Games\\");
  EXPECT_STREQ(decide_role(dir), "Game");
}
