// The start-up pieces of the program: command line, role, OS code, launchers, the report
// panel and detached launches. GoogleTest first: FLTK's X headers define clashing macros.
#include <gtest/gtest.h>

#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Window.H>
#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "app/launchers.h"
#include "app/panel.h"
#include "app/startup.h"
#include "platform/launch.h"
#include "tests/support/temp_root.h"
#include "tests/support/xvfb.h"

namespace {

TEST(CommandLine, JoinedWithSingleBlanksAndCut) {
  const char* argv[] = {"linkprobe", "STARTUPDIR=/opt/Qumex/GAMES/", "/x", "", "y"};
  char out[64];
  join_command_line(5, argv, out, sizeof out);
  EXPECT_STREQ(out, "STARTUPDIR=/opt/Qumex/GAMES/ /x  y");
  join_command_line(1, argv, out, sizeof out);
  EXPECT_STREQ(out, "");
  join_command_line(5, argv, out, 10);
  EXPECT_STREQ(out, "STARTUPDI");
  const char* two[] = {"p", "abcd", "efgh"};
  join_command_line(3, two, out, 10);
  EXPECT_STREQ(out, "abcd efgh");
  join_command_line(3, two, out, 9);
  EXPECT_STREQ(out, "abcd efg");
}

TEST(StartupDir, CutAfterLastSeparatorOfEitherKind) {
  const struct { const char *path, *dir; } cases[] = {
      {"/opt/qumex/BIN/linkprobe", "/opt/qumex/BIN/"}, {"C:\\Qumex\\BIN\\linkprobe.exe", "C:\\Qumex\\BIN\\"},
      {"linkprobe", "l"}, {"", ""}};
  for (const auto& c : cases) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s", c.path);
    cut_to_directory(buf);
    EXPECT_STREQ(buf, c.dir) << c.path;
  }
}

TEST(StartupDir, KeywordValueRunsToTheEnd) {
  char dir[STARTUP_DIR_SIZE] = "/opt/qumex/";
  EXPECT_EQ(apply_startup_dir("STARTUPDIR=C:\\Qumex\\GAMES\\ /x", dir, sizeof dir), 1);
  EXPECT_STREQ(dir, "C:\\Qumex\\GAMES\\ /x");
  EXPECT_EQ(apply_startup_dir("-geometry +0+0 startupdir=/BIN/", dir, sizeof dir), 0);
  EXPECT_STREQ(dir, "C:\\Qumex\\GAMES\\ /x");
  EXPECT_EQ(apply_startup_dir("a STARTUPDIR=", dir, sizeof dir), 1);
  EXPECT_STREQ(dir, "");
  std::string longer = "STARTUPDIR=" + std::string(400, 'd');
  EXPECT_EQ(apply_startup_dir(longer.c_str(), dir, sizeof dir), 1);
  EXPECT_EQ(std::strlen(dir), STARTUP_DIR_SIZE - 1);
}

TEST(Role, UpperCasedBinFirstThenGames) {
  // BIN needs the separator before it.
  const struct { const char *dir, *role; } cases[] = {
      {"c:\\qumex\\bin\\", "Therapist"}, {"/opt/qumex/bin/", "Therapist"}, {"C:\\Qumex\\Games\\BIN\\", "Therapist"},
      {"/opt/qumex/games/", "Game"},     {"/opt/qumex/Games", "Game"},     {"/opt/qumex/", ""},
      {"/opt/qumexBIN/", ""},            {"", ""},                         {nullptr, ""}};
  for (const auto& c : cases) EXPECT_STREQ(decide_role(c.dir), c.role) << (c.dir ? c.dir : "null");
}

TEST(OsCode, WindowsVersionTable) {
  // 98, Me, 95, NT 4, XP, 7, 10.
  const struct { int platform, major, minor, code; } cases[] = {
      {1, 4, 10, 8}, {1, 4, 89, 8},    {1, 4, 90, 90},   {1, 4, 0, 5},   {0, 3, 10, 5},   {1, 5, 0, 99},
      {2, 4, 0, 101}, {2, 3, 51, 101}, {2, 5, 1, 102},  {2, 6, 1, 111}, {2, 10, 0, 110},
      {2, 6, 2147483647, 2147483647}};
  for (const auto& c : cases)
    EXPECT_EQ(os_version_code(c.platform, c.major, c.minor), c.code) << c.platform << " " << c.major << "." << c.minor;
}

TEST(Launchers, ColumnChosenByOsCode) {
  const struct { int launcher, os; const char* command; } cases[] = {
      {LAUNCHER_NETWORK, 0, "C:\\WINDOWS\\CONTROL.EXE netcpl.cpl"},
      {LAUNCHER_DEVICE_MANAGER, 100, "C:\\WINDOWS\\CONTROL.EXE Sysdm.cpl, System,1"},
      {LAUNCHER_CMD, 99, "start command.com"},
      {LAUNCHER_NETWORK, 101, "start /B C:\\Windows\\System32\\ncpa.cpl"},
      {LAUNCHER_DEVICE_MANAGER, 111, "start devmgmt.msc"},
      {LAUNCHER_CMD, 102, "start cmd.exe"}};
  for (const auto& c : cases) EXPECT_STREQ(launcher_command(c.launcher, c.os), c.command) << c.os;
  EXPECT_EQ(launcher_command(7, 111), nullptr);
}

TEST(WindowTitle, FormattedAndCut) {
  char title[WINDOW_TITLE_SIZE];
  build_window_title("PB=1.3  Sat Dec  5 21:20:53 2026\n", title, sizeof title);
  EXPECT_STREQ(title, "Qumex Linkprobe PB=1.3  Sat Dec  5 21:20:53 2026\n");
  build_window_title(std::string(400, 'v').c_str(), title, sizeof title);
  EXPECT_EQ(std::strlen(title), 199u);
}

class Panel : public ::testing::Test {
 protected:
  void SetUp() override { panel_clear(); }
};

TEST_F(Panel, AppendsPiecesWithoutAddingAnything) {
  EXPECT_STREQ(report_text, "");
  panel_appendf("%d", 1);
  panel_appendf("%s\n", "x");
  panel_append("more");
  panel_append("");
  EXPECT_STREQ(report_text, "1x\nmore");
  panel_append(nullptr);
  EXPECT_STREQ(report_text, "");
  panel_append("a");
  panel_clear();
  EXPECT_STREQ(report_text, "");
}

TEST_F(Panel, PieceOf299IsWholeLongerIsCut) {
  std::string s299(299, 'p');
  panel_appendf("%s", s299.c_str());
  EXPECT_EQ(std::string(report_text), s299);
  panel_clear();
  panel_appendf("<%s>", std::string(400, 'q').c_str());
  EXPECT_EQ(std::string(report_text), "<" + std::string(298, 'q'));
}

TEST_F(Panel, ReportKeepsWhatFitsAndStaysTerminated) {
  for (int i = 0; i < 9; ++i) panel_append(std::string(1000, 'a').c_str());
  panel_append(std::string(998, 'b').c_str());
  EXPECT_EQ(std::strlen(report_text), 9998u);
  panel_append("xyz");
  EXPECT_EQ(std::strlen(report_text), 9999u);
  EXPECT_EQ(report_text[9998], 'x');
  panel_append("more");
  panel_appendf("%s", "more");
  EXPECT_EQ(std::strlen(report_text), 9999u);
  EXPECT_EQ(report_text[REPORT_TEXT_SIZE - 1], '\0');
}

std::string shown(Fl_Text_Display* d) {
  char* t = d->buffer()->text();
  std::string s(t);
  free(t);
  return s;
}

// Against a real text display, which measures text as soon as it gets a buffer. One
// test: the buffer is made once per process and then kept.
TEST(PanelShow, CreatesBufferOnceThenReplaces) {
  Xvfb x;
  ASSERT_TRUE(x.ok());
  Fl_Window win(599, 497);
  Fl_Text_Display display(25, 10, 550, 220);
  win.end();
  panel_clear();
  panel_show();  // nothing attached yet: nothing to do
  panel_attach(&display);
  EXPECT_EQ(display.buffer(), nullptr);

  panel_show();
  ASSERT_NE(display.buffer(), nullptr);
  Fl_Text_Buffer* first = display.buffer();
  EXPECT_EQ(shown(&display), "");

  panel_append("COMM PORTS found(NONE)\n");
  EXPECT_EQ(shown(&display), "");  // nothing changes before the next show
  panel_show();
  EXPECT_EQ(display.buffer(), first);
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\n");

  panel_append("second\n");
  panel_show();
  panel_show();
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\nsecond\n");

  panel_clear();
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\nsecond\n");
  panel_show();
  EXPECT_EQ(shown(&display), "");

  panel_append(std::string(REPORT_TEXT_SIZE + 50, 'z').c_str());
  panel_show();
  EXPECT_EQ(display.buffer()->length(), 9999);
  // Detached, a show leaves the display and the report alone.
  panel_attach(nullptr);
  panel_clear();
  panel_append("kept");
  panel_show();
  EXPECT_EQ(display.buffer()->length(), 9999);
  EXPECT_STREQ(report_text, "kept");
}

TEST(Launch, StartsDetachedWithoutWaiting) {
  TempRoot root;
  std::string out = root.path() + "/ran";
  std::string script = "sleep 3; echo $PPID > " + out + ".tmp; mv " + out + ".tmp " + out;
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  ASSERT_EQ(plat_launch_detached(argv), 0);
  EXPECT_FALSE(std::ifstream(out).good());  // returned before the tool's sleep ended
  std::string parent;
  for (int i = 0; i < 600 && !std::getline(std::ifstream(out), parent); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Re-parented away from us: the tool is nobody's child here.
  ASSERT_FALSE(parent.empty());
  EXPECT_NE(parent, std::to_string(getpid()));
}

TEST(Launch, MissingToolIsReportedAndNothingElse) {
  const char* argv[] = {"lp-no-such-tool-here", nullptr};
  EXPECT_EQ(plat_launch_detached(argv), ENOENT);
  const char* empty[] = {nullptr};
  EXPECT_EQ(plat_launch_detached(empty), EINVAL);
  EXPECT_EQ(plat_launch_detached(nullptr), EINVAL);
  EXPECT_EQ(plat_launch_tool(99, "start cmd.exe"), EINVAL);
}

}  // namespace
