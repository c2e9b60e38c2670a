#include "diag/gamecomm.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "diag/report_text.h"
#include "commlib/qcomm.h"
#include "diag/linkdoctor.h"
#include "diag/report.h"
#include "platform/resolve.h"
#include "probe/ports.h"
#include "probe/settings.h"

Connection* game_link = nullptr;
int game_link_result = GAME_LINK_OPEN;

namespace {

constexpr int kGamePort = QCOMM_DEFAULT_PORT;  // the only port the game menu listens on
constexpr int kSerialBaud = 115200;
constexpr int kMsgSize = QCOMM_MAX_MESSAGE;
constexpr int kEchoPolls = 40;
constexpr int kPollMs = 250;
constexpr int kSettleMs = 1000;

char g_lookup_text[1024];  // the resolver's text for the last failed lookup

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void release_link() {
  conn_free(game_link);  // disconnects first
  game_link = nullptr;
}

int open_serial() {
  const DeviceSettings& s = device_settings;
  if (s.game_port == 0) {
    panel_append("NO GAME serial port\n");
    release_link();
    return GAME_LINK_NO_SERIAL;
  }
  // A port number outside the probed range cannot exist.
  if (s.game_port < 1 || s.game_port > COM_PORTS || com_port_states[s.game_port] == 0) {
    panel_appendf("Game port COM%d does NOT exist\n", s.game_port);
    release_link();
    return GAME_LINK_NO_PORT;
  }
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", s.game_port);
  int r = conn_connect(game_link, "serial", name, kSerialBaud, 0);
  if (r != 0) {
    panel_appendf("UNABLE to connect to serial port COM%d\n  : %d", s.game_port, r);
    release_link();
    return GAME_LINK_SERIAL_FAIL;
  }
  if (conn_dsr(game_link) == 0) {
    panel_append("NOTHING seems to be responding on game machine\nIs the game menu not running?\n");
    conn_disconnect(game_link);
    release_link();
    return GAME_LINK_NO_DSR;
  }
  return GAME_LINK_OPEN;
}

int open_ethernet() {
  const DeviceSettings& s = device_settings;
  if (s.ethernet_port != kGamePort) {
    panel_append("FAILURE - test ONLY works with port 5510\n");
    release_link();
    return GAME_LINK_BAD_PORT;
  }
  const char* addr = s.ethernet_address;
  if (!addr || !*addr) {
    panel_append("INVALID ethernet buddy address format\n");
    release_link();
    return GAME_LINK_NO_ADDRESS;
  }
  // A text that starts with a digit must be a numeric address; only names go to the
  // name service.
  int numeric = addr[0] >= '0' && addr[0] <= '9';
  int e = plat_resolve_ipv4(addr, numeric);
  if (e != 0) {
    plat_resolve_error_text(e, g_lookup_text, sizeof g_lookup_text);
    panel_appendf("INVALID ethernet buddy computer : %s\n==>%s\n", addr, g_lookup_text);
    release_link();
    return GAME_LINK_BAD_ADDRESS;
  }
  if (conn_connect(game_link, "ethernet", addr, s.ethernet_port, 0) != 0) {
    panel_appendf("FAILED to connect to ethernet on %s\n", addr);
    release_link();
    return GAME_LINK_ETH_FAIL;
  }
  sleep_ms(kSettleMs);
  if (conn_get_status(game_link) == QCOMM_STATUS_DOWN) {
    panel_append(
        "FAILURE to connect to game machine\nIs the game menu really running?\n"
        "Was there an Windows firewall blockage?\n");
    conn_disconnect(game_link);
    release_link();
    return GAME_LINK_NOT_CONNECTED;
  }
  return GAME_LINK_OPEN;
}

}  // namespace

namespace {

int open_link() {
  if (device_settings.display_mode != 2) {
    panel_append("\n\nGame communications use internal localhost\n");
    return GAME_LINK_LOCALHOST;
  }
  game_link = conn_alloc();
  if (!game_link) {
    panel_append("FAILURE opening comm DLL");
    return GAME_LINK_NO_OBJECT;
  }
  return device_settings.comm_class == 0 ? open_serial() : open_ethernet();
}

}  // namespace

int open_game_link() { return game_link_result = open_link(); }

bool echo_exchange(Connection* c) {
  uint8_t buf[kMsgSize];
  // Whatever was waiting before the request is not its answer.
  while (rx_receive(c, QCOMM_CHANNEL_EITHER, buf, kMsgSize) != 0) {
  }
  msg_build(c, buf, kMsgSize, GAME_MSG_TYPE, GAME_CMD_ECHO, nullptr, 0);
  conn_send(c, buf, 0);
  // The answer is awaited as long as the 40 polls of 250 ms took, but taken as it comes.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kEchoPolls * kPollMs);
  for (;;) {
    if (rx_receive(c, QCOMM_CHANNEL_EITHER, buf, kMsgSize) != 0) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    conn_wait(c, QCOMM_CHANNEL_EITHER, int(left.count()));
  }
}

bool begin_game_action() {
  panel_clear();
  panel_append(config_report);
  read_device_settings();
  if (open_game_link() == GAME_LINK_OPEN) return true;
  panel_show();
  return false;
}

void close_game_link() {
  conn_disconnect(game_link);
  release_link();
}

bool game_comm_check() {
  if (!begin_game_action()) return false;
  bool answered = echo_exchange(game_link);
  if (answered) {
    panel_append(device_settings.comm_class == 1
                     ? "Ethernet game communication seems to be working\n"
                     : "Serial game communication seems to be working\n");
  } else {
    panel_append("FAILURE to echo from game machine\nIS the game menu really running?\n");
  }
  close_game_link();
  panel_show();
  return answered;
}

void game_comm_test() {
  if (!game_comm_check()) link_doctor_after_test(DoctorTest{game_link_result, 0});
}
