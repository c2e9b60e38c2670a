// The diagnosis of the configured link: gathers the facts within the bounds and judges
// them. The ethernet checks run side by side with the beacon listener, which needs the
// longest wait.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "diag/remotereport.h"
#include "diag/report_text.h"
#include "platform/com_probe.h"
#include "platform/sockets.h"
#include "probe/ports.h"
#include "probe/settings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTcpMs = 1500;        // a computer on the same wire answers a connect in milliseconds
constexpr int kNeighbourMs = 600;   // after the connect, which has asked the wire already
constexpr int kBeaconMs = 2500;     // waiting beacons come every second at first, later every five
constexpr int kSerialLookMs = 900;  // for the probe to come back, errors and breaks to show
constexpr int kSerialBaud = 115200;
constexpr int kReportMs = 2000;        // the game computer's report, asked beside the checks
constexpr int kSerialReportMs = 900;   // after the line was looked at
// An echo request of the game menu with a sequence number no sender uses, so that it
// cannot be mistaken for an answer when it comes back.
const uint8_t kSerialProbe[8] = {GAME_MSG_TYPE, GAME_CMD_ECHO, 8, 0, 'L', 'P', 'D', 'R'};

RemoteReport g_remote;  // one diagnosis at a time

void gather_ethernet(const uint8_t peer[4], int port, DoctorEthFacts* f) {
  std::memcpy(f->peer, peer, 4);
  f->port = port;
  int wake = sock_wake_create();
  std::thread beacons, report;
  bool listening = false, asking = false;
  try {
    beacons = std::thread(link_beacons, port, kBeaconMs, wake, &f->beacons);
    listening = true;
    report = std::thread(remote_report_fetch, peer, REPORT_PORT, kReportMs, &g_remote);
    asking = true;
  } catch (const std::system_error&) {
    // No thread to spare: what it would have done follows the checks, within the bound.
  }
  link_adapters(peer, &f->adapters);
  f->local = link_is_local(peer, &f->adapters);
  if (!f->local) link_route(peer, &f->adapters, &f->route);
  link_tcp_connect(peer, port, kTcpMs, &f->tcp);
  if (!f->local && f->route.result == 0) {
    link_neighbour(peer, &f->route, kNeighbourMs, &f->neighbour);
    f->neighbour_checked = 1;
  }
  link_firewall(port, &f->firewall);
  if (f->local) {
    link_listener(port, &f->listener);
    f->listener_checked = 1;
  }
  // A listener that took or refused the connection is no waiting server: no beacon comes.
  bool enough = f->tcp.outcome == TCP_CONNECTED || f->tcp.outcome == TCP_REFUSED;
  if (enough && listening && wake > 0) sock_wake_signal(wake);
  if (listening) beacons.join();
  else if (!enough) link_beacons(port, kBeaconMs - kTcpMs, -1, &f->beacons);
  if (asking) report.join();
  else remote_report_fetch(peer, REPORT_PORT, kReportMs - kTcpMs, &g_remote);
  if (wake > 0) sock_wake_close(wake);
}

// The line as the game computer's report needs it: not looped back, nothing at another
// speed, and something on the other end that answered our probe (the game menu answers
// no report, the responder does; a silent line would only spend the bound).
bool line_can_answer(const DoctorSerialFacts& f) {
  const SerialLineFacts& l = f.line;
  return f.line_checked && l.open_result >= 0 && !l.echoed && !l.unreadable && !l.errors && l.messages > 0;
}

}  // namespace

int link_doctor_run(const DoctorTest& test, DoctorReport* r) {
  doctor_clear(r);
  const Clock::time_point t0 = Clock::now();
  const DeviceSettings& s = device_settings;
  const bool works = test.open_code == GAME_LINK_OPEN && test.echoed;
  r->serial = s.comm_class == 0;
  g_remote.state = -1;  // not asked
  if (works) {
    doctor_add(r, DOCTOR_HERE, "echo", DOCTOR_OK, CAUSE_NONE, "", "the game computer answered the echo");
    // The link works: the game computer's own report says what else it sees.
    uint8_t peer[1][4];
    int n = 0;
    const char* addr = s.ethernet_address ? s.ethernet_address : "";
    if (r->serial)
      remote_report_fetch_serial(s.game_port, kSerialBaud, kSerialReportMs, &g_remote);
    else if (addr[0] && sock_lookup(addr, peer, 1, &n) == 0 && n > 0)
      remote_report_fetch(peer[0], REPORT_PORT, kReportMs, &g_remote);
  } else if (s.display_mode != 2) {
    static DoctorEthFacts none;
    doctor_judge_ethernet(none, test, DOCTOR_HERE, r);
  } else if (r->serial) {
    std::snprintf(r->target, sizeof r->target, "COM%d", s.game_port);
    static DoctorSerialFacts f;  // large; one diagnosis at a time
    std::memset(&f, 0, sizeof f);
    if (s.game_port >= 1 && s.game_port <= COM_PORTS) {
      serial_port_facts(s.game_port, &f.port);
      if (f.port.state == PLAT_COM_FREE) {
        serial_line_facts(s.game_port, kSerialBaud, kSerialLookMs, kSerialProbe, sizeof kSerialProbe, &f.line);
        f.line_checked = 1;
      }
    }
    doctor_judge_serial(f, test, DOCTOR_HERE, r);
    if (line_can_answer(f)) remote_report_fetch_serial(s.game_port, kSerialBaud, kSerialReportMs, &g_remote);
  } else {
    const char* addr = s.ethernet_address ? s.ethernet_address : "";
    std::snprintf(r->target, sizeof r->target, "%s port %d", addr, s.ethernet_port);
    static DoctorEthFacts f;
    std::memset(&f, 0, sizeof f);
    uint8_t peer[1][4];
    int n = 0;
    const bool tried = test.open_code == GAME_LINK_OPEN || test.open_code == GAME_LINK_ETH_FAIL ||
                       test.open_code == GAME_LINK_NOT_CONNECTED;
    if (tried && addr[0] && sock_lookup(addr, peer, 1, &n) == 0 && n > 0)
      gather_ethernet(peer[0], s.ethernet_port, &f);
    doctor_judge_ethernet(f, test, DOCTOR_HERE, r);
  }
  if (g_remote.state >= 0) remote_report_merge(g_remote, r);
  doctor_conclude(r, works);
  r->ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
  return r->cause;
}

void link_doctor_after_test(const DoctorTest& test) {
  if (device_settings.display_mode != 2) return;  // one computer: the test used no link
  static DoctorReport r;
  static char text[REPORT_TEXT_SIZE];
  link_doctor_run(test, &r);
  doctor_text(&r, text, sizeof text);
  size_t used = std::strlen(report_text);
  panel_append(used && report_text[used - 1] != '\n' ? "\n\nLink doctor:\n" : "\nLink doctor:\n");
  panel_append(text);
  panel_show();
}

// Asked on its own, the report may take longer than within the doctor's bounds: a
// slow computer (or Wine) gathering its facts still answers.
constexpr int kRemoteReportMs = 4000;

int remote_report_run(const char* target, char* out, size_t size) {
  static RemoteReport rr;
  static DoctorReport d;
  const DeviceSettings& s = device_settings;
  char host[128] = "";
  int port = REPORT_PORT, com = 0;
  if (!target || !*target) {
    if (s.comm_class == 0) com = s.game_port;
    else std::snprintf(host, sizeof host, "%s", s.ethernet_address ? s.ethernet_address : "");
  } else if ((target[0] == 'C' || target[0] == 'c') && (target[1] == 'O' || target[1] == 'o') &&
             (target[2] == 'M' || target[2] == 'm')) {
    com = std::atoi(target + 3);
  } else {
    std::snprintf(host, sizeof host, "%s", target);
    char* colon = std::strrchr(host, ':');
    if (colon) {
      *colon = '\0';
      port = std::atoi(colon + 1);
    }
  }
  uint8_t peer[1][4];
  int n = 0;
  if (com < 0 || com > COM_PORTS || (com == 0 && (!host[0] || port <= 0 || port > 65535))) {
    std::snprintf(out, size, "No report: no game computer to ask (%s)\n", target ? target : "no game link configured");
    return 1;
  }
  if (com > 0) {
    remote_report_fetch_serial(com, kSerialBaud, kRemoteReportMs, &rr);
  } else if (sock_lookup(host, peer, 1, &n) != 0 || n == 0) {
    std::snprintf(out, size, "No report: %s is not an address that resolves\n", host);
    return 1;
  } else {
    remote_report_fetch(peer[0], port, kRemoteReportMs, &rr);
  }
  doctor_clear(&d);
  if (rr.state == REMOTE_ANSWERED && report_parse(rr.text, rr.len, &d) == 0) {
    doctor_text(&d, out, size);
    return 0;
  }
  if (rr.state == REMOTE_ANSWERED)
    std::snprintf(out, size, "No report from the game computer on %s: the answer is not a whole report\n", rr.where);
  else
    std::snprintf(out, size, "No report from the game computer on %s: %s%s\n", rr.where,
                  rr.state == REMOTE_REFUSED ? "refused: " : "",
                  rr.state == REMOTE_NO_SERVICE ? "nothing listens there" : rr.reason);
  return 1;
}
