#include "diag/hostreport.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "diag/linkdoctor.h"
#include "platform/com_path.h"
#include "platform/com_probe.h"
#include "platform/paths.h"
#include "platform/sockets.h"
#include "platform/sound.h"
#include "probe/ports.h"

namespace {

constexpr int kAdapterLines = 8;
constexpr size_t kSayWidth = 180;  // a COM port list wraps onto the next line past this

// The report's own facts and findings; large, so made per request, not on the stack of
// a thread.
struct Work {
  DoctorHostFacts facts;
  DoctorReport judged;
};

void adapter_lines(const LinkAdapters& a, ReportText* t) {
  if (a.error != 0) {
    report_text_say(t, "Adapters: could not be listed (%s)", sock_err_text(a.error));
    return;
  }
  if (a.count == 0) report_text_say(t, "Adapters: none but loopback");
  for (int i = 0; i < a.count && i < kAdapterLines; ++i) {
    const PlatAdapterFacts& f = a.all[i];
    char addrs[96] = "";
    size_t used = 0;
    for (int k = 0; k < f.naddrs && used + 1 < sizeof addrs; ++k) {
      int n = std::snprintf(addrs + used, sizeof addrs - used, "%s%u.%u.%u.%u/%u", k ? ", " : "", f.addrs[k][0],
                            f.addrs[k][1], f.addrs[k][2], f.addrs[k][3], f.prefix[k]);
      if (n < 0) break;
      used += static_cast<size_t>(n) < sizeof addrs - used ? static_cast<size_t>(n) : sizeof addrs - used - 1;
    }
    report_text_say(t, "Adapter %s (%s%s%s): %s, %s, %s", f.name, link_kind_name(f.kind), f.driver[0] ? ": " : "",
                    f.driver, f.up ? "on" : "switched off", f.carrier ? "link" : "no link", addrs[0] ? addrs : "no address");
  }
  if (a.count > kAdapterLines) report_text_say(t, "Adapters: %d more", a.count - kAdapterLines);
}

void com_lines(int serial_com, ReportText* t) {
  char line[kSayWidth + 80] = "";
  size_t used = 0;
  int found = 0;
  for (int com = 1; com <= COM_PORTS; ++com) {
    char item[120];
    int err = 0;
    int state = com == serial_com ? PLAT_COM_BUSY : plat_com_probe(com, &err);
    if (state == PLAT_COM_ABSENT) continue;
    ++found;
    if (com == serial_com) {
      std::snprintf(item, sizeof item, "COM%d the game link (this program answers on it)", com);
    } else if (state == PLAT_COM_FREE) {
      std::snprintf(item, sizeof item, "COM%d free", com);
    } else {
      char path[256];
      PlatHolder who[1];
      int n = 0;
      if (plat_com_device_path(com, path, sizeof path) == 0 && plat_device_holders(path, who, 1, &n) == 0 && n > 0)
        std::snprintf(item, sizeof item, "COM%d held by %s (process %d)", com, who[0].name, who[0].pid);
      else
        std::snprintf(item, sizeof item, "COM%d held by another program", com);
    }
    if (used && used + std::strlen(item) + 2 > kSayWidth) {
      report_text_say(t, "COM ports: %s", line);
      used = 0;
      line[0] = '\0';
    }
    int n = std::snprintf(line + used, sizeof line - used, "%s%s", used ? ", " : "", item);
    if (n > 0) used += static_cast<size_t>(n) < sizeof line - used ? static_cast<size_t>(n) : sizeof line - used - 1;
  }
  if (!found) report_text_say(t, "COM ports: none");
  else if (used) report_text_say(t, "COM ports: %s", line);
}

void sound_line(ReportText* t) {
  char path[1024], out[160];
  char file[1100];
  if (plat_root_path("Games/reward.wav", path, sizeof path) != 0) path[0] = '\0';
  FILE* f = path[0] ? std::fopen(path, "rb") : nullptr;
  long size = -1;
  if (f && std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (f) std::fclose(f);
  if (size >= 0)
    std::snprintf(file, sizeof file, "reward file %s (%ld bytes)", path, size);
  else
    std::snprintf(file, sizeof file, "reward file %s missing", path);
  int r = plat_sound_output(out, sizeof out);
  if (r == 0) report_text_say(t, "Sound: %s; output %s", file, out);
  else report_text_say(t, "Sound: %s; output %s (%s)", file, r == 2 ? "busy" : "none", out);
}

}  // namespace

int host_report(const uint8_t* peer, const HostReportOptions& o, ReportText* t) {
  std::unique_ptr<Work> w(new (std::nothrow) Work());
  report_text_begin(t);
  char host[128] = "";
  if (sock_hostname(host, sizeof host) != 0) std::snprintf(host, sizeof host, "(no name)");
  if (peer)
    report_text_say(t, "Computer %s, %s, asked by %u.%u.%u.%u", host, o.program, peer[0], peer[1], peer[2], peer[3]);
  else
    report_text_say(t, "Computer %s, %s, asked over COM%d", host, o.program, o.serial_com);
  if (!w) {
    report_text_say(t, "(out of memory: no more facts)");
    return report_text_end(t);
  }
  DoctorHostFacts& f = w->facts;
  const uint8_t none[4] = {0, 0, 0, 0};
  link_adapters(peer ? peer : none, &f.adapters);
  adapter_lines(f.adapters, t);
  com_lines(o.serial_com, t);
  sound_line(t);
  doctor_clear(&w->judged);
  if (!peer) {
    doctor_add(&w->judged, DOCTOR_GAME, "port", DOCTOR_OK, CAUSE_NONE, "",
               "COM%d carried this report: the game link's line works both ways", o.serial_com);
  } else {
    std::memcpy(f.peer, peer, 4);
    f.port = o.game_port;
    f.peer_local = link_is_local(peer, &f.adapters);
    if (!f.peer_local) link_route(peer, &f.adapters, &f.route);
    link_listener(o.game_port, &f.listener);
    // The rules that matter name the game port, or the program that listens on it (the
    // game menu, which Windows asks about on its first start).
    const int ports[2] = {o.game_port, o.game_port + 1};
    const bool named = f.listener.result == 0 && f.listener.found && f.listener.holder.name[0];
    plat_firewall_read(ports, 2, named ? f.listener.holder.name : nullptr, &f.firewall);
    std::snprintf(f.program, sizeof f.program, "%s", f.firewall.program);
    doctor_judge_host(f, DOCTOR_GAME, &w->judged);
  }
  report_text_findings(t, w->judged);
  return report_text_end(t);
}
