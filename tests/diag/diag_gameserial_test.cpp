// The game tests over the serial link, in-process, through the simulated null-modem
// cable: COM1 is this computer's end, COM2 the game computer's, where the responder
// (or the test playing the game computer) sits. The responder's reward sound goes to
// ALSA's file plugin (the test's own ALSA configuration), so the samples it played can
// be compared with the WAVE file.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/panel.h"
#include "commlib/qcomm.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag/responder/responder.h"
#include "diag/sound.h"
#include "diag_helpers.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"

namespace {

using diagtest::TempRoot;

const char* kConfig = "PORTS\n";

// The responder on COM2, served from its own thread until stopped.
class ResponderThread {
 public:
  bool start() {
    ResponderOptions o;
    responder_defaults(&o);
    o.serial_com = 2;
    if (responder_open(o, &conn_) != 0) return false;
    thread_ = std::thread([this] {
      char line[200];
      while (!stop_) {
        int got = responder_serve_one(conn_, line, sizeof line, responder_play_reward);
        if (got < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        std::lock_guard<std::mutex> g(mu_);
        commands_.push_back(got);
      }
    });
    return true;
  }
  void stop() {
    if (!conn_) return;
    stop_ = true;
    thread_.join();
    responder_close(conn_);
    conn_ = nullptr;
  }
  ~ResponderThread() { stop(); }
  // Waits for a message of type 224 with the command.
  bool wait_command(int command, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
      {
        std::lock_guard<std::mutex> g(mu_);
        for (int c : commands_)
          if (c == RESPONDER_TYPE * 256 + command) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  Connection* conn_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<int> commands_;
};

class GameSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN",
                            "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM1\n"));
    cable_ = sim_cable_create();
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(1, cable_, 0), 0);
    ASSERT_EQ(sim_cable_bind(2, cable_, 1), 0);
    // The port probe is the rescan's job; here COM1 is simply known to exist.
    std::memset(com_port_states, 0, sizeof com_port_states);
    com_port_states[1] = 1;
    com_port_states[0] = 1;
    std::snprintf(config_report, sizeof config_report, "%s", kConfig);
    capture_ = root_.path() + "/played.raw";
    ASSERT_TRUE(root_.write("asound.conf", "pcm.!default {\n type file\n slave { pcm { type null } }\n"
                                           " file \"" + capture_ + "\"\n format \"raw\"\n}\n"));
    setenv("ALSA_CONFIG_PATH", (root_.path() + "/asound.conf").c_str(), 1);
  }
  // Writes <root>/Games/reward.wav (mono, 16-bit) and returns its samples as bytes.
  std::string make_reward(int frames) {
    root_.write("Games/.keep", "");
    std::string path = root_.path() + "/Games/reward.wav";
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 8000;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) return "";
    std::string bytes;
    std::vector<short> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
      s[static_cast<size_t>(i)] = static_cast<short>(i * 37 - 20000);
      unsigned short v = static_cast<unsigned short>(s[static_cast<size_t>(i)]);
      bytes.push_back(static_cast<char>(v & 0xff));
      bytes.push_back(static_cast<char>(v >> 8));
    }
    sf_count_t n = sf_writef_short(sf, s.data(), frames);
    sf_close(sf);
    return n == frames ? bytes : "";
  }
  // Waits for the capture to reach size bytes (the sound plays on the responder's thread).
  std::string played(size_t size) {
    std::string got;
    for (int i = 0; i < 500 && got.size() < size; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      got = root_.read("played.raw");
    }
    return got;
  }
  void TearDown() override {
    sim_cable_unbind(1);
    sim_cable_unbind(2);
    sim_cable_destroy(cable_);
  }
  std::string report() const { return report_text; }
  TempRoot root_;
  int cable_ = -1;
  std::string capture_;
};

TEST_F(GameSerial, ResponderAnswersTheEchoAndPlaysTheRewardSound) {
  const std::string samples = make_reward(1500);
  ASSERT_EQ(samples.size(), 3000u);
  ResponderThread r;
  ASSERT_TRUE(r.start());
  game_comm_test();
  EXPECT_EQ(report(), std::string(kConfig) + "Serial game communication seems to be working\n");
  EXPECT_TRUE(r.wait_command(RESPONDER_CMD_ECHO, 2000));
  EXPECT_EQ(game_link, nullptr);

  game_sound_test();
  EXPECT_EQ(report(), std::string(kConfig) + "\nReward sound command sent");
  EXPECT_TRUE(r.wait_command(RESPONDER_CMD_REWARD, 5000));
  EXPECT_EQ(game_link, nullptr);
  EXPECT_EQ(played(samples.size()), samples);  // the game computer's end played the file
}

TEST_F(GameSerial, NoDsrMeansNothingIsSent) {
  // The game end is open but keeps DTR low: the line looks dead from here.
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  ASSERT_GT(ser_dtr(1, 'C'), 0);
  const std::string dead = std::string(kConfig) +
                           "NOTHING seems to be responding on game machine\n"
                           "Is the game menu not running?\n";
  game_comm_test();
  EXPECT_EQ(report(), dead);
  game_sound_test();
  EXPECT_EQ(report(), dead);
  EXPECT_EQ(game_link, nullptr);
  uint8_t buf[64];
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 0);  // no echo, no sound command crossed
  ser_close(1);

  panel_clear();
  read_device_settings();
  EXPECT_EQ(open_game_link(), GAME_LINK_NO_DSR);
  EXPECT_EQ(game_link, nullptr);
}

TEST_F(GameSerial, AMessageWaitingBeforeTheEchoIsNotItsAnswer) {
  // The test plays the game computer: DSR on, one stale message, then silence.
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  ASSERT_GT(ser_dtr(1, 'S'), 0);
  panel_clear();
  read_device_settings();
  ASSERT_EQ(open_game_link(), GAME_LINK_OPEN);
  const uint8_t stale[8] = {224, 7, 8, 0, 1, 0, 0, 0};
  ASSERT_EQ(ser_write(1, stale, 8), 8);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(echo_exchange(game_link));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(9));
  uint8_t got[64];
  int n = ser_read(1, got, sizeof got);
  ASSERT_EQ(n, 8);  // the echo request, as built: 224, 4, length 8, sequence 1
  const uint8_t want[8] = {224, 4, 8, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(got, want, 8), 0);
  conn_disconnect(game_link);
  conn_free(game_link);
  game_link = nullptr;
  ser_close(1);
}

TEST_F(GameSerial, SerialSettingsChecks) {
  ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN",
                          "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM0\n"));
  device_settings.game_port = 0;
  panel_clear();
  read_device_settings();
  EXPECT_EQ(open_game_link(), GAME_LINK_NO_SERIAL);
  EXPECT_EQ(report(), "NO GAME serial port\n");

  // COM1 is known from the last probe but has gone since: no cable end, no device node.
  ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN",
                          "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM1\n"));
  ASSERT_TRUE(root_.write("dev/README", "no ports here\n"));
  ASSERT_EQ(sim_cable_unbind(1), 0);
  panel_clear();
  read_device_settings();
  EXPECT_EQ(open_game_link(), GAME_LINK_SERIAL_FAIL);
  EXPECT_EQ(report().rfind("UNABLE to connect to serial port COM1\n  : -", 0), 0u) << report();
  EXPECT_EQ(report().find('\n', 40), std::string::npos);  // no line end after the code
  EXPECT_EQ(game_link, nullptr);
}

}  // namespace
