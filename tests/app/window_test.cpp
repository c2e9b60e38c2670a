// The real program on a private X server: title, exit by button and by close box.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/version_block.h"
#include "tests/support/temp_root.h"
#include "tests/support/process.h"
#include "tests/support/xvfb.h"

namespace {

const std::string kProgram = std::string(LP_BINARY_DIR) + "/app/linkprobe";
const std::string kArtifacts = std::string(LP_BINARY_DIR) + "/tests/app";

class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(kProgram.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      // The sanitizer build must not count the X font libraries' caches as leaks.
      std::string supp = "suppressions=" + std::string(LP_SOURCE_DIR) + "/tests/support/lsan_x11.supp";
      setenv("LSAN_OPTIONS", supp.c_str(), 1);
      execv(kProgram.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
  }
  int wait_exit(int seconds) { return ::wait_exit(pid_, seconds); }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

std::string expected_title() {
  std::string t = "Qumex Linkprobe ";
  std::string pb = LP_EXPECTED_PRIVATE_BUILD;
  std::string sb = LP_EXPECTED_SPECIAL_BUILD;
  if (!pb.empty()) t += "PB=" + pb;
  if (!sb.empty()) t += (pb.empty() ? "SB=" : "    SB=") + sb;
  if (pb.empty() && sb.empty()) t += "Unk";
  char when[64];
  EXPECT_EQ(plat_file_mtime_text(kProgram.c_str(), when, sizeof when), 0);
  return t + "  " + when;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x.ok()) << "Xvfb did not start";
    root.copy_from(std::string(LP_SOURCE_DIR) + "/tests/fixtures/root");
  }
  Xvfb x;
  TempRoot root;
};

TEST_F(Window, TitleScreenshotAndDoneButton) {
  Program p({"-geometry", "+0+0", "STARTUPDIR=" + root.path() + "/BIN/"});
  ASSERT_TRUE(p.started());
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());

  std::string name = run_shell("xdotool getwindowname " + id);
  // The title ends in the time's line end; xdotool adds one of its own.
  EXPECT_EQ(name, expected_title() + "\n");
  EXPECT_NE(name.find("PB=" LP_EXPECTED_PRIVATE_BUILD), std::string::npos);

  // Give the window a moment to paint before the screenshot.
  usleep(500000);
  int st = -1;
  run_shell("import -window root " + kArtifacts + "/main_window.png", &st);
  EXPECT_EQ(st, 0);

  // Colours of the layout, sampled inside each coloured widget of a window capture.
  std::string shot = kArtifacts + "/main_window_only.png";
  run_shell("import -window " + id + " " + shot, &st);
  ASSERT_EQ(st, 0);
  struct Sample {
    const char* xy;
    const char* rgb;
  } samples[] = {
      {"35,245", "srgb(255,218,255)"},   // address field, 254
      {"345,385", "srgb(255,182,63)"},   // "Try setting IP address", 133
      {"415,245", "srgb(255,255,127)"},  // "Start Device Manager", 175
      {"415,290", "srgb(63,182,255)"},   // "Start Network Connections", 229
      {"105,465", "srgb(152,168,168)"},  // "Done (Exit)", 19
  };
  for (const Sample& smp : samples) {
    std::string px = run_shell("convert " + shot + " -format '%[pixel:p{" + smp.xy + "}]' info:");
    EXPECT_EQ(px, smp.rgb) << smp.xy;
  }

  // Buttons whose actions come later do nothing and leave the program running.
  for (const char* xy : {"172 280", "172 308", "172 340", "172 370", "172 398"})
    run_shell("xdotool mousemove --window " + id + " " + xy + " click 1");
  EXPECT_EQ(p.wait_exit(1), -1);
  EXPECT_EQ(run_shell("xdotool search --onlyvisible --name '^Qumex Linkprobe'"), id + "\n");

  run_shell("xdotool mousemove --window " + id + " 290 472 click 1");
  EXPECT_EQ(p.wait_exit(60), 0);
}

TEST_F(Window, CloseBoxEndsLikeDone) {
  Program p({"-geometry", "+0+0"});
  ASSERT_TRUE(p.started());
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());
  int st = -1;
  run_shell(std::string(WM_DELETE_HELPER) + " " + id, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(p.wait_exit(60), 0);
}

TEST_F(Window, ResizedWindowScalesItsWidgets) {
  Program p({"-geometry", "+0+0"});
  ASSERT_TRUE(p.started());
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());
  run_shell("xdotool windowsize --sync " + id + " 898 745");
  usleep(500000);
  int st = -1;
  run_shell("import -window root " + kArtifacts + "/main_window_resized.png", &st);
  EXPECT_EQ(st, 0);
  // "Done (Exit)" moved with the window: 1.5 times its old place.
  run_shell("xdotool mousemove --window " + id + " 435 708 click 1");
  EXPECT_EQ(p.wait_exit(60), 0);
}

}  // namespace
