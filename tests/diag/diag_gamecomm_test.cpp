// The game communications test over ethernet: every settings check before connecting,
// and the failures of a connection on loopback port 5510. The working link (echo and
// reward sound command with the responder) and the refused connection are checked
// through the window, in diag_window_test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/panel.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag/sound.h"
#include "diag_helpers.h"
#include "probe/settings.h"

namespace {

using diagtest::TempRoot;

const char* kConfig = "CONFIG REPORT\n";

class GameLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!diagtest::private_network()) std::fprintf(stderr, "note: shared network namespace\n");
  }
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    defaults();
    std::snprintf(config_report, sizeof config_report, "%s", kConfig);
  }
  // Fields a settings file without the key leaves as they were: back to the defaults.
  static void defaults() {
    device_settings.display_mode = 0;
    device_settings.comm_class = 1;
    device_settings.ethernet_port = 5510;
  }
  void devs(const std::string& text) { ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN", text)); }
  std::string report() const { return report_text; }
  TempRoot root_;
};

TEST_F(GameLink, SettingsThatStopTheTestBeforeAnyConnection) {
  struct Case {
    const char* devs;
    std::string tail;
  } cases[] = {
      // No display mode: a one-computer set-up, nothing to test.
      {"EthernetAddress=127.0.0.1\n", "\n\nGame communications use internal localhost\n"},
      {"DisplayMode=Dual\nEthernetAddress=127.0.0.1\n",
       "\n\nGame communications use internal localhost\n"},
      // The port is checked before the address.
      {"DisplayMode=2\nEthernetPort=5511\nEthernetAddress=\n",
       "FAILURE - test ONLY works with port 5510\n"},
      {"DisplayMode=2\nEthernetPort=5510\nEthernetAddress=\n",
       "INVALID ethernet buddy address format\n"},
      {"DisplayMode=2\nGame_comm=COM3\nCommunications_class=Serial\n", "Game port COM3 does NOT exist\n"},
      // Starting with a digit, it must be numeric: no name service is asked, and the
      // system says why it failed.
      {"DisplayMode=2\nEthernetAddress=10.0.0.x\n",
       std::string("INVALID ethernet buddy computer : 10.0.0.x\n==>") + gai_strerror(EAI_NONAME) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.devs);
    defaults();
    devs(c.devs);
    game_comm_test();
    EXPECT_EQ(report(), std::string(kConfig) + c.tail);
    EXPECT_EQ(game_link, nullptr);
  }
}

sockaddr_in port5510(in_addr_t host) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(5510);
  a.sin_addr.s_addr = htonl(host);
  return a;
}

class GameLinkEthernet : public GameLink {
 protected:
  void SetUp() override {
    GameLink::SetUp();
    devs("DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=127.0.0.1\n");
  }
};

TEST_F(GameLinkEthernet, ListenerThatNeverAnswers) {
  // Accepts the connection but never sends: the echo times out after ten seconds.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  int one = 1;
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
  sockaddr_in a = port5510(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  game_comm_test();
  close(s);
  EXPECT_EQ(report(), std::string(kConfig) +
                          "FAILURE to echo from game machine\nIS the game menu really running?\n");
}

TEST_F(GameLinkEthernet, ConnectFailureIsReported) {
  // The client's datagram port (5510) is taken without address reuse, so connecting fails.
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(u, 0);
  sockaddr_in a = port5510(INADDR_ANY);
  ASSERT_EQ(bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  game_comm_test();
  close(u);
  EXPECT_EQ(report(), std::string(kConfig) + "FAILED to connect to ethernet on 127.0.0.1\n");
  EXPECT_EQ(game_link, nullptr);
}

}  // namespace
