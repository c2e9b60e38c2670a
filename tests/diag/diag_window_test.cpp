// The game tests from the main window, on a private X server, with buttons clicked by
// xdotool. The program runs in this process (app_main on the main thread), so the
// panel's report text is read directly once the window has closed; a helper thread
// clicks, waits for the action, saves a screenshot and clicks "Done (Exit)".
// The responder runs as a separate program on loopback port 5510. CTest runs each
// case in a process of its own, as the program itself would run; the screenshots
// (kept in the build tree) are only faithful that way, since the panel keeps the
// first window's text display.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/panel.h"
#include "app/startup.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag_helpers.h"
#include "sound_helpers.h"
#include "probe/settings.h"
#include "tests/support/process.h"
#include "tests/support/xvfb.h"

namespace {

using diagtest::Child;
using diagtest::TempRoot;

const char* kResponder = LP_BINARY_DIR "/diag/responder/linkprobe-responder";
const std::string kArtifacts = std::string(LP_BINARY_DIR) + "/tests/diag";

// Button centres, in window coordinates (the window opens at its designed size).
const char* kLocalSoundButton = "172 280";
const char* kGameSoundButton = "172 308";
const char* kGameCommButton = "172 370";
const char* kDoneButton = "290 472";

class GameWindow : public ::testing::Test {
 protected:
  // One X server for the whole process: the toolkit keeps its first display
  // connection, so every run of the program in this process must find the same one.
  static void SetUpTestSuite() {
    if (!diagtest::private_network()) std::fprintf(stderr, "note: shared network namespace\n");
    x_ = new Xvfb;
  }
  static void TearDownTestSuite() {
    delete x_;
    x_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(x_->ok());
    ASSERT_TRUE(root_.ok());
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // no serial ports: the probe stays hermetic
    ASSERT_TRUE(root_.write("BIN/Tunecfg.", "Tunecfg 7.2\n"));
    // A fresh process starts with no display mode; an earlier run here may have set it.
    device_settings.display_mode = 0;
  }
  void devs(const std::string& text) {
    ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN", text));
  }
  // Runs the program until the helper has clicked `button`, waited `wait_s` seconds for
  // the action, saved `shot` and clicked "Done (Exit)". Returns the exit code.
  int run_clicking(const char* button, int wait_s, const std::string& shot) {
    found_window_ = false;
    std::thread helper([&] {
      std::string id = visible_window("^Qumex Linkprobe");
      if (id.empty()) return;  // the test fails on found_window_
      found_window_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      run_shell("xdotool mousemove --window " + id + " " + button + " click 1");
      std::this_thread::sleep_for(std::chrono::seconds(wait_s));
      run_shell("import -window root " + kArtifacts + "/" + shot);
      run_shell("xdotool mousemove --window " + id + " " + kDoneButton + " click 1");
    });
    char a0[] = "linkprobe", a1[] = "-geometry", a2[] = "+0+0";
    char* argv[] = {a0, a1, a2, nullptr};
    int rc = app_main(3, argv);
    helper.join();
    EXPECT_TRUE(found_window_);
    EXPECT_EQ(game_link, nullptr);  // every path frees the link
    return rc;
  }
  void start_responder() {
    ASSERT_TRUE(responder_.start({kResponder, "--port", "5510"}));
    ASSERT_TRUE(responder_.wait_for("listening on port 5510\n", 10000)) << responder_.output();
  }
  std::string report() const { return report_text; }

  static Xvfb* x_;
  TempRoot root_;
  bool found_window_ = false;
  Child responder_;
};

Xvfb* GameWindow::x_ = nullptr;

TEST_F(GameWindow, GameCommunicationsWithTheResponder) {
  devs("DisplayMode=2\nEthernetAddress=127.0.0.1\n");
  ASSERT_NO_FATAL_FAILURE(start_responder());
  EXPECT_EQ(run_clicking(kGameCommButton, 6, "game_comm_working.png"), 0);
  EXPECT_NE(std::string(config_report).find("COMM PORTS found(NONE)\n"), std::string::npos);
  EXPECT_EQ(report(), std::string(config_report) + "Ethernet game communication seems to be working\n");
  EXPECT_TRUE(responder_.wait_for("type 224 command 4", 5000)) << responder_.output();
}

TEST_F(GameWindow, GameSoundCommandReachesTheResponder) {
  devs("DisplayMode=2\nEthernetAddress=127.0.0.1\n");
  ASSERT_NO_FATAL_FAILURE(start_responder());
  EXPECT_EQ(run_clicking(kGameSoundButton, 5, "game_sound_sent.png"), 0);
  EXPECT_EQ(report(), std::string(config_report) + "\nReward sound command sent");
  EXPECT_TRUE(responder_.wait_for("type 224 command 9 length 8 sequence 1 -> reward sound", 5000))
      << responder_.output();
}

TEST_F(GameWindow, ResponderStopped) {
  devs("DisplayMode=2\nEthernetAddress=127.0.0.1\n");
  EXPECT_EQ(run_clicking(kGameCommButton, 5, "game_comm_no_responder.png"), 0);
  EXPECT_EQ(report(), std::string(config_report) +
                          "FAILURE to connect to game machine\nIs the game menu really running?\n"
                          "Was there an Windows firewall blockage?\n");
}

TEST_F(GameWindow, OneComputerSetUp) {
  devs("EthernetAddress=127.0.0.1\n");  // no DisplayMode
  EXPECT_EQ(run_clicking(kGameCommButton, 2, "game_comm_localhost.png"), 0);
  EXPECT_EQ(report(), std::string(config_report) + "\n\nGame communications use internal localhost\n");
}

TEST_F(GameWindow, GameSoundButtonIsInactiveWithoutAGameComputer) {
  devs("EthernetAddress=127.0.0.1\n");
  ASSERT_NO_FATAL_FAILURE(start_responder());
  panel_clear();
  EXPECT_EQ(run_clicking(kGameSoundButton, 2, "game_sound_inactive.png"), 0);
  // The click did nothing: no report of its own, nothing reached the game computer.
  EXPECT_EQ(report().find("localhost"), std::string::npos) << report();
  EXPECT_EQ(report().find("Reward sound"), std::string::npos) << report();
  EXPECT_FALSE(responder_.wait_for("command 9", 1500)) << responder_.output();
}

TEST_F(GameWindow, LocalSoundButtonPlaysTheRewardFile) {
  // The test's own ALSA configuration: "default" writes what it is given to a file.
  ASSERT_TRUE(diagtest::alsa_to_file(root_.path() + "/asound.conf", root_.path() + "/played.raw"));
  ASSERT_TRUE(root_.write("Games/.keep", ""));
  const std::string want =
      diagtest::write_wav(root_.path() + "/Games/reward.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 11025, 900);
  ASSERT_EQ(want.size(), 3600u);
  devs("EthernetAddress=127.0.0.1\n");
  EXPECT_EQ(run_clicking(kLocalSoundButton, 3, "local_sound.png"), 0);
  EXPECT_EQ(root_.read("played.raw"), want);
  EXPECT_EQ(report(), std::string(config_report));  // the sound test reports nothing
}

}  // namespace
