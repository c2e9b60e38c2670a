// The game and sound tests from the main window, on a private X server, with buttons
// clicked by xdotool. The program runs in this process (app_main on the main thread);
// a helper thread clicks, waits for each action, keeps the panel's report while the
// window idles, and clicks "Done (Exit)". The responder runs as a program on loopback
// port 5510.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/panel.h"
#include "app/startup.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "probe/settings.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/xvfb.h"

namespace {

// Button centres, in window coordinates (the window opens at its designed size).
const char* kLocalSound = "172 280";
const char* kGameSound = "172 308";
const char* kGameComm = "172 370";

class GameWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x_.ok());
    if (!private_network()) std::fprintf(stderr, "note: shared network namespace\n");
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // no serial ports: the probe stays hermetic
    ASSERT_TRUE(root_.write("BIN/Tunecfg.", "Tunecfg 7.2\n"));
  }
  // Runs the program, clicks each button and waits its seconds; returns the reports
  // after each click, and the exit code last.
  std::vector<std::string> run_clicking(const std::vector<std::pair<const char*, int>>& clicks) {
    std::vector<std::string> reports;
    std::thread helper([&] {
      std::string id = visible_window("^Qumex Linkprobe");
      if (id.empty()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      for (const auto& c : clicks) {
        click(id, c.first);
        std::this_thread::sleep_for(std::chrono::seconds(c.second));
        reports.push_back(report_text);
      }
      click(id, "290 472");
    });
    char a0[] = "linkprobe", a1[] = "-geometry", a2[] = "+0+0";
    char* argv[] = {a0, a1, a2, nullptr};
    int rc = app_main(3, argv);
    helper.join();
    EXPECT_EQ(reports.size(), clicks.size()) << "no window";
    reports.push_back(std::to_string(rc));
    EXPECT_EQ(game_link, nullptr);  // every path frees the link
    return reports;
  }
  Xvfb x_;
  TempRoot root_;
};

TEST_F(GameWindow, GameButtonsWithTheResponderAndTheLocalSound) {
  ASSERT_TRUE(alsa_to_file(root_.path() + "/asound.conf", root_.path() + "/played.raw"));
  root_.mkdir("Games");
  const std::string samples =
      write_wav(root_.path() + "/Games/reward.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 11025, 900);
  ASSERT_EQ(samples.size(), 3600u);
  ASSERT_TRUE(root_.devs("DisplayMode=2\nEthernetAddress=127.0.0.1\n"));
  Child responder;
  ASSERT_TRUE(responder.start({LP_BINARY_DIR "/diag/responder/linkprobe-responder", "--port", "5510"}));
  ASSERT_NE(responder.wait_for("listening on port 5510\n", 0, 10000), std::string::npos) << responder.output();
  auto r = run_clicking({{kGameComm, 6}, {kGameSound, 5}, {kLocalSound, 3}});
  ASSERT_EQ(r.size(), 4u);
  const std::string config = config_report;
  EXPECT_NE(config.find("Version       : Tunecfg 7.2\n"), std::string::npos) << config;
  EXPECT_NE(config.find("COMM PORTS found(NONE)\n"), std::string::npos) << config;
  EXPECT_EQ(r[0], config + "Ethernet game communication seems to be working\n");
  EXPECT_EQ(r[1], config + "\nReward sound command sent");
  EXPECT_EQ(r[2], r[1]);  // the sound test reports nothing
  EXPECT_EQ(r[3], "0");
  EXPECT_NE(responder.wait_for("type 224 command 4", 0, 5000), std::string::npos) << responder.output();
  EXPECT_NE(responder.wait_for("type 224 command 9 length 8 sequence 1 -> reward sound", 0, 5000), std::string::npos)
      << responder.output();
  EXPECT_EQ(root_.read("played.raw"), samples);

  // One computer: the game sound button is inactive; the communications test says so.
  device_settings.display_mode = 0;
  ASSERT_TRUE(root_.devs("EthernetAddress=127.0.0.1\n"));
  size_t heard = responder.output().size();
  r = run_clicking({{kGameSound, 2}, {kGameComm, 2}});
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].find("Reward sound"), std::string::npos) << r[0];
  EXPECT_EQ(r[0].find("localhost"), std::string::npos) << r[0];
  EXPECT_EQ(r[1], std::string(config_report) + "\n\nGame communications use internal localhost\n");
  EXPECT_EQ(responder.wait_for("command 9", heard, 1500), std::string::npos) << responder.output();
}

}  // namespace
