// The game tests in-process: over ethernet every settings check before connecting and
// the failures of a connection on loopback port 5510; over the simulated null-modem
// cable (COM1 this computer's end, COM2 the game computer's) the responder's answers,
// the reward sound it plays (to ALSA's file plugin), a dead line and a stale message.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "probe/ports.h"
#include "probe/settings.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kConfig = "CONFIG REPORT\n";

class Game : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!private_network()) std::fprintf(stderr, "note: shared network namespace\n");
  }
  void SetUp() override {
    // Fields a settings file without the key leaves as they were: back to the defaults.
    device_settings.display_mode = 0;
    device_settings.comm_class = 1;
    device_settings.ethernet_port = 5510;
    device_settings.game_port = 0;
    std::snprintf(config_report, sizeof config_report, "%s", kConfig.c_str());
  }
  // Runs the test under the settings; the report after the configuration report.
  std::string comm(const std::string& devs, void (*test)() = game_comm_test) {
    EXPECT_TRUE(root_.devs(devs));
    test();
    EXPECT_EQ(game_link, nullptr);  // every path frees the link
    std::string r = report_text;
    return r.rfind(kConfig, 0) == 0 ? r.substr(kConfig.size()) : "<no configuration report>" + r;
  }
  TempRoot root_;
};

TEST_F(Game, EthernetSettingsChecksAndFailures) {
  const struct { const char* devs; std::string tail; } cases[] = {
      // No display mode: a one-computer set-up, nothing to test.
      {"DisplayMode=Dual\nEthernetAddress=127.0.0.1\n", "\n\nGame communications use internal localhost\n"},
      // The port is checked before the address.
      {"DisplayMode=2\nEthernetPort=5511\nEthernetAddress=\n", "FAILURE - test ONLY works with port 5510\n"},
      {"DisplayMode=2\nEthernetPort=5510\nEthernetAddress=\n", "INVALID ethernet buddy address format\n"},
      {"DisplayMode=2\nGame_comm=COM3\nCommunications_class=Serial\n", "Game port COM3 does NOT exist\n"},
      // Starting with a digit, it must be numeric: no name service is asked, and the
      // system says why it failed.
      {"DisplayMode=2\nEthernetAddress=10.0.0.x\n",
       std::string("INVALID ethernet buddy computer : 10.0.0.x\n==>") + gai_strerror(EAI_NONAME) + "\n"}};
  for (const auto& c : cases) {
    SetUp();
    EXPECT_EQ(comm(c.devs), c.tail) << c.devs;
  }
  const std::string link = "DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=127.0.0.1\n";
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(5510);
  // The client's datagram port (5510) is taken without address reuse, so connecting fails.
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(u, 0);
  ASSERT_EQ(bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(comm(link), "FAILED to connect to ethernet on 127.0.0.1\n");
  close(u);
  // A listener that accepts but never answers: the echo times out after ten seconds.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  int one = 1;
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  EXPECT_EQ(comm(link), "FAILURE to echo from game machine\nIS the game menu really running?\n");
  close(s);
}

// The responder on COM2, served from its own thread until stopped; the commands it
// answered are kept.
struct ResponderThread {
  Connection* conn = nullptr;
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::vector<int> commands;
  std::thread thread;
  bool start() {
    ResponderOptions o;
    responder_defaults(&o);
    o.serial_com = 2;
    if (responder_open(o, &conn) != 0) return false;
    thread = std::thread([this] {
      for (char line[200]; !stop;) {
        int got = responder_serve_one(conn, line, sizeof line, responder_play_reward);
        if (got < 0) {
          usleep(5000);
          continue;
        }
        std::lock_guard<std::mutex> g(mu);
        commands.push_back(got);
      }
    });
    return true;
  }
  ~ResponderThread() {
    stop = true;
    if (thread.joinable()) thread.join();
    if (conn) responder_close(conn);
  }
  bool answered(int command) {
    for (int waited = 0; waited < 5000; waited += 10, usleep(10000)) {
      std::lock_guard<std::mutex> g(mu);
      if (std::find(commands.begin(), commands.end(), RESPONDER_TYPE * 256 + command) != commands.end()) return true;
    }
    return false;
  }
};

const char* kSerial = "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM1\n";

class GameSerial : public Game {
 protected:
  void SetUp() override {
    Game::SetUp();
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
  int cable_ = -1;
};

TEST_F(GameSerial, ResponderAnswersTheEchoAndPlaysTheRewardSound) {
  ASSERT_TRUE(alsa_to_file(root_.path() + "/asound.conf", root_.path() + "/played.raw"));
  root_.mkdir("Games");
  const std::string samples =
      write_wav(root_.path() + "/Games/reward.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 1500);
  ASSERT_EQ(samples.size(), 3000u);
  ResponderThread r;
  ASSERT_TRUE(r.start());
  EXPECT_EQ(comm(kSerial), "Serial game communication seems to be working\n");
  EXPECT_TRUE(r.answered(RESPONDER_CMD_ECHO));
  EXPECT_EQ(comm(kSerial, game_sound_test), "\nReward sound command sent");
  EXPECT_TRUE(r.answered(RESPONDER_CMD_REWARD));
  // The game computer's end played the file (on the responder's thread).
  for (int i = 0; i < 500 && root_.read("played.raw").size() < samples.size(); ++i) usleep(10000);
  EXPECT_EQ(root_.read("played.raw"), samples);
}

TEST_F(GameSerial, NoDsrMeansNothingIsSent) {
  // The game end is open but keeps DTR low: the line looks dead from here.
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  ASSERT_GT(ser_dtr(1, 'C'), 0);
  const std::string dead = "NOTHING seems to be responding on game machine\nIs the game menu not running?\n";
  EXPECT_EQ(comm(kSerial), dead);
  EXPECT_EQ(comm(kSerial, game_sound_test), dead);
  uint8_t buf[64];
  EXPECT_EQ(ser_read(1, buf, sizeof buf), 0);  // no echo, no sound command crossed
  ser_close(1);
  panel_clear();
  EXPECT_EQ(open_game_link(), GAME_LINK_NO_DSR);
  EXPECT_EQ(game_link, nullptr);
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
  close_game_link();
  ser_close(1);
}

TEST_F(GameSerial, SerialSettingsChecks) {
  ASSERT_TRUE(root_.devs("DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM0\n"));
  panel_clear();
  read_device_settings();
  EXPECT_EQ(open_game_link(), GAME_LINK_NO_SERIAL);
  EXPECT_STREQ(report_text, "NO GAME serial port\n");
  // COM1 is known from the last probe but has gone since: no cable end, no device node.
  ASSERT_TRUE(root_.devs(kSerial));
  ASSERT_TRUE(root_.write("dev/README", "no ports here\n"));
  ASSERT_EQ(sim_cable_unbind(1), 0);
  panel_clear();
  read_device_settings();
  EXPECT_EQ(open_game_link(), GAME_LINK_SERIAL_FAIL);
  std::string r = report_text;
  EXPECT_EQ(r.rfind("UNABLE to connect to serial port COM1\n  : -", 0), 0u) << r;
  EXPECT_EQ(r.find('\n', 40), std::string::npos);  // no line end after the code
  EXPECT_EQ(game_link, nullptr);
}

}  // namespace
