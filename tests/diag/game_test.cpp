// The serial game link in-process over the simulated null-modem cable (COM1 this
// computer's end, COM2 the game computer's): the responder's answers, the reward sound it
// plays (to ALSA's file plugin), and a stale message. A dead line and the port checks are
// checked through the program (tests/golden/app_cli.txt).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/panel.h"
#include "commlib/qcomm.h"
#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "diag/report.h"
#include "diag/responder/responder.h"
#include "diag/sound.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kConfig = "CONFIG REPORT\n";
const char* kSerial = "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM1\n";

class GameSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(config_report, sizeof config_report, "%s", kConfig.c_str());
    cable_ = sim_cable_create();
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(1, cable_, 0), 0);
    ASSERT_EQ(sim_cable_bind(2, cable_, 1), 0);
    // The port probe is the rescan's job; here COM1 is simply known to exist.
    std::memset(com_port_states, 0, sizeof com_port_states);
    com_port_states[1] = com_port_states[0] = 1;
  }
  void TearDown() override {
    sim_cable_unbind(1);
    sim_cable_unbind(2);
    sim_cable_destroy(cable_);
  }
  TempRoot root_;
  int cable_ = -1;
};

TEST_F(GameSerial, ResponderAnswersTheEchoAndPlaysTheRewardSound) {
  ASSERT_TRUE(alsa_to_file(root_.path() + "/asound.conf", root_.path() + "/played.raw"));
  root_.mkdir("Games");
  const std::string samples =
      write_wav(root_.path() + "/Games/reward.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 1500);
  ASSERT_EQ(samples.size(), 3000u);
  ResponderOptions o;
  responder_defaults(&o);
  o.serial_com = 2;
  Connection* conn = nullptr;
  ASSERT_EQ(responder_open(o, &conn), 0);
  std::atomic<bool> stop{false};
  std::thread game([&] {
    for (char line[200]; !stop;)
      if (responder_serve_one(conn, line, sizeof line, responder_play_reward) < 0) usleep(5000);
  });
  EXPECT_TRUE(root_.devs(kSerial));
  game_comm_test();
  EXPECT_EQ(report_text, kConfig + "Serial game communication seems to be working\n");
  EXPECT_EQ(game_link, nullptr);  // every path frees the link
  game_sound_test();
  EXPECT_EQ(report_text, kConfig + "\nReward sound command sent");
  EXPECT_EQ(game_link, nullptr);
  // The game computer's end played the file (on the responder's thread).
  for (int i = 0; i < 500 && root_.read("played.raw").size() < samples.size(); ++i) usleep(10000);
  EXPECT_EQ(root_.read("played.raw"), samples);
  stop = true;
  game.join();
  responder_close(conn);
}

TEST_F(GameSerial, AMessageWaitingBeforeTheEchoIsNotItsAnswer) {
  // The test plays the game computer: DSR on, one stale message, then silence.
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  ASSERT_GT(ser_dtr(1, 'S'), 0);
  ASSERT_TRUE(root_.devs(kSerial));
  read_device_settings();
  ASSERT_EQ(open_game_link(), GAME_LINK_OPEN);
  const uint8_t stale[8] = {224, 7, 8, 0, 1, 0, 0, 0};
  ASSERT_EQ(ser_write(1, stale, 8), 8);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(echo_exchange(game_link));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(9));
  uint8_t got[64];
  ASSERT_EQ(ser_read(1, got, sizeof got), 8);  // the echo request as built: 224, 4, length 8, sequence 1
  EXPECT_EQ(std::string(got, got + 8), std::string("\xe0\x04\x08\x00\x01\x00\x00\x00", 8));
  // The game end's DTR is this end's DSR; dropped, the line looks dead from here.
  EXPECT_EQ(ser_dsr(0) * 100 + ser_dtr(1, 'C') * 10 + ser_dsr(0), 0x20 * 100 + 10);
  close_game_link();
  ser_close(1);
}

// The serial causes on the cable, with the game computer's end played by the test: the
// cause named within the bound. The window's text first: the test's own, byte for byte,
// then the findings.
TEST_F(GameSerial, LinkDoctorNamesTheSerialCauses) {
  ASSERT_TRUE(root_.devs(kSerial));
  game_comm_test();
  EXPECT_EQ(report_text, kConfig +
                             "NOTHING seems to be responding on game machine\nIs the game menu not running?\n"
                             "\nLink doctor:\n[ok] port: COM1 is there and free\n"
                             "[FAULT] lines: with our DTR and RTS on: DSR off, CTS off, DCD off, RI off -> plug in the "
                             "null-modem cable (not a straight one) and start the game menu\n"
                             "[?] echo: nothing came back in 0.9 s -> start the game menu on the game computer, on this "
                             "port's cable\nMost likely cause: nothing drives the line: cable unplugged, a straight "
                             "cable, or the game menu not running. Plug in the null-modem cable (not a straight one) and "
                             "start the game menu.\n");
  // The game end open with DTR raised, then: silent, breaking, talking at 9600.
  std::atomic<int> mode{0};
  std::atomic<bool> stop{false};
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  ASSERT_GT(ser_dtr(1, 'S'), 0);
  std::thread game([&] {
    for (; !stop; usleep(30000)) {
      if (mode == 1) {
        ser_break(1, 'A');
        usleep(5000);
        ser_break(1, 'C');
      }
      if (mode == 2) ser_write(1, "\x81\x02\x33\x00", 4);
    }
  });
  static DoctorReport r;
  std::string causes;
  for (int m = 0; m < 3; ++m) {
    mode = m;
    if (m == 2) {
      ser_set_baud(1, 9600);
      sim_cable_set_strict(cable_, true);
    }
    link_doctor_run(DoctorTest{GAME_LINK_OPEN, 0}, &r);
    causes += std::string(doctor_cause_key(r.cause)) + (r.ms <= DOCTOR_SERIAL_MS ? " " : " (late) ");
  }
  EXPECT_EQ(causes, "not-answering break speed ");
  stop = true;
  game.join();
  ser_close(1);
}

}  // namespace

