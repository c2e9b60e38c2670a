// How long the link doctor takes to name each cause: the ethernet causes made in two
// network namespaces joined by a veth pair (root only; linkprobe --run link-doctor --json
// runs in "this" computer's namespace), the serial ones on the simulated null-modem cable
// and on a pseudo-terminal, in-process. One row per cause: the cause named, whether it is
// the one made, the diagnosis' own time against its bound, and the whole run's time
// (the game test's own wait included).
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "diag/remotereport.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_failed = 0;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

void row(const char* made, const std::string& named, int doctor_ms, int bound, double total_ms) {
  bool ok = named == made && doctor_ms <= bound;
  if (!ok) ++g_failed;
  std::printf("%-15s %-15s %-4s %6d ms %6d ms %8.0f ms\n", made, named.c_str(), ok ? "yes" : "NO", doctor_ms, bound,
              total_ms);
}

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

std::string field(const std::string& json, const std::string& key) {
  size_t at = json.rfind("\"" + key + "\":");
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  if (json[at] == '"') return json.substr(at + 1, json.find('"', at + 1) - at - 1);
  return json.substr(at, json.find_first_of(",}", at) - at);
}

void write_file(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
}

void ethernet(const std::string& linkprobe, const std::string& responder, const std::string& root) {
  if (geteuid() != 0) {
    std::printf("(ethernet causes left out: network namespaces need root)\n");
    return;
  }
  const std::string id = std::to_string(getpid()), T = "lpbT" + id, G = "lpbG" + id;
  auto inT = [&](const std::string& c) { return sh("ip -n " + T + " " + c); };
  auto inG = [&](const std::string& c) { return sh("ip -n " + G + " " + c); };
  sh("ip netns add " + T);
  sh("ip netns add " + G);
  sh("ip link add vther netns " + T + " type veth peer name vgame netns " + G);
  inT("link set lo up");
  inG("link set lo up");
  inT("link set vther up");
  inG("link set vgame up");
  inT("addr add 192.168.10.1/24 dev vther");
  inG("addr add 192.168.10.2/24 dev vgame");
  const std::string nftG = "ip netns exec " + G + " nft ", nftT = "ip netns exec " + T + " nft ";
  // The game computer with its report service, and (one-way) without: then only this
  // side's view is left.
  // The responder writes its own process number (ip netns exec may stay its parent),
  // with its report service, and (one-way) without: then only this side's view is left.
  auto responder_in_G = [&](const std::string& more) {
    return "ip netns exec " + G + " sh -c 'echo $$ > " + root + "/pid && exec " + responder + " --address 192.168.10.1" +
           more + " >/dev/null 2>&1' & true";
  };
  const std::string game = responder_in_G(""), mute = responder_in_G(" --report-port 0");
  // Ended before the next one takes its ports.
  const std::string stop = "p=$(cat " + root + "/pid); kill $p; while kill -0 $p; do sleep 0.05; done";
  struct Case {
    const char* cause;
    std::vector<std::string> setup, undo;
  };
  const std::vector<Case> cases = {
      {"refused", {}, {}},
      {"port-dropped",
       {nftG + "add table inet g", nftG + "'add chain inet g input { type filter hook input priority 0; }'",
        nftG + "add rule inet g input tcp dport 5510 drop"},
       {}},
      {"game-firewall", {game, "sleep 0.5"}, {stop}},
      {"one-way", {mute, "sleep 0.5"}, {stop, nftG + "flush ruleset"}},
      {"local-firewall",
       {nftT + "add table inet t", nftT + "'add chain inet t output { type filter hook output priority 0; }'",
        nftT + "add rule inet t output tcp dport 5510 drop"},
       {nftT + "flush ruleset"}},
      {"no-carrier", {"ip -n " + G + " link set vgame down"}, {"ip -n " + G + " link set vgame up"}},
      {"no-adapter", {"ip -n " + T + " addr flush dev vther", "ip -n " + T + " addr add 192.168.11.1/24 dev vther"},
       {"ip -n " + T + " addr flush dev vther", "ip -n " + T + " addr add 192.168.10.1/24 dev vther"}},
      {"two-adapters",
       {"ip -n " + T + " addr flush dev vther", "ip -n " + T + " link add eth9 type veth peer name eth9p",
        "ip -n " + T + " link set eth9 up", "ip -n " + T + " link set eth9p up",
        "ip -n " + T + " addr add 192.168.10.5/24 dev eth9", "ip -n " + T + " addr add 192.168.10.1/24 dev vther"},
       {"ip -n " + T + " link del eth9"}},
  };
  write_file(root + "/PREFERENCES/SETTINGS/DEVS.NIN",
             "DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=192.168.10.2\n");
  for (const Case& c : cases) {
    for (const std::string& s : c.setup) sh(s);
    const Clock::time_point t0 = Clock::now();
    std::string out;
    if (FILE* p = popen(("ip netns exec " + T + " env QUMEX_ROOT=" + root + " QUMEX_SYSROOT=/ " + linkprobe +
                         " --run link-doctor --json 2>/dev/null").c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      pclose(p);
    }
    row(c.cause, field(out, "cause"), std::atoi(field(out, "ms").c_str()), DOCTOR_ETHERNET_MS, ms_since(t0));
    for (const std::string& s : c.undo) sh(s);
  }
  // The report's round trip between the two computers, as linkprobe --run remote-report
  // does it (the program's start included).
  sh(game);
  sh("sleep 0.5");
  for (int i = 0; i < 3; ++i) {
    const Clock::time_point t0 = Clock::now();
    int rc = sh("ip netns exec " + T + " " + linkprobe + " --run remote-report 192.168.10.2");
    std::printf("remote-report over the veth pair: %s in %.0f ms (the whole program)\n", rc == 0 ? "answered" : "FAILED",
                ms_since(t0));
    if (rc != 0) ++g_failed;
  }
  sh(stop);
  sh("ip netns delete " + T);
  sh("ip netns delete " + G);
}

// The report's round trip in-process over loopback: connect, request, the whole answer.
// A peer may ask three times at once and once a second after: the asks are a second apart.
void report_round_trip(const std::string& responder) {
  std::string out;
  const std::string port = "5577";
  sh(responder + " --report-only --report-port " + port + " >/dev/null 2>&1 & echo $! > /tmp/lpdoctor-bench-report.pid; true");
  usleep(300000);
  static RemoteReport rr;
  const uint8_t loop[4] = {127, 0, 0, 1};
  double best = 1e9, worst = 0, sum = 0;
  int n = 0;
  for (int i = 0; i < 5; ++i, usleep(1000000)) {
    const Clock::time_point t0 = Clock::now();
    remote_report_fetch(loop, std::atoi(port.c_str()), 3000, &rr);
    double ms = ms_since(t0);
    if (rr.state != REMOTE_ANSWERED) {
      std::printf("report round trip: no report (%s)\n", rr.reason);
      ++g_failed;
      continue;
    }
    best = ms < best ? ms : best;
    worst = ms > worst ? ms : worst;
    sum += ms;
    ++n;
  }
  if (n) std::printf("report round trip over loopback: %d bytes, best %.1f ms, mean %.1f ms, worst %.1f ms (%d asks)\n",
                     rr.len, best, sum / n, worst, n);
  sh("kill $(cat /tmp/lpdoctor-bench-report.pid); rm -f /tmp/lpdoctor-bench-report.pid");
}

void diagnose(const char* made, int open_code) {
  static DoctorReport r;
  const Clock::time_point t0 = Clock::now();
  link_doctor_run(DoctorTest{open_code, 0}, &r);
  row(made, doctor_cause_key(r.cause), r.ms, DOCTOR_SERIAL_MS, ms_since(t0));
}

void serial(const std::string& root) {
  write_file(root + "/PREFERENCES/SETTINGS/DEVS.NIN", "DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM1\n");
  read_device_settings();
  com_port_states[1] = 1;
  int cable = sim_cable_create();
  sim_cable_bind(1, cable, 0);
  sim_cable_bind(2, cable, 1);
  diagnose("no-dsr", GAME_LINK_NO_DSR);
  std::atomic<int> mode{0};
  std::atomic<bool> stop{false};
  ser_open(1, 4000, 4000);
  ser_dtr(1, 'S');
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
  diagnose("not-answering", GAME_LINK_OPEN);
  mode = 1;
  diagnose("break", GAME_LINK_OPEN);
  mode = 2;
  ser_set_baud(1, 9600);
  sim_cable_set_strict(cable, true);
  diagnose("speed", GAME_LINK_OPEN);
  stop = true;
  game.join();
  ser_close(1);
  sim_cable_unbind(1);
  sim_cable_unbind(2);
  sim_cable_destroy(cable);

  // A pseudo-terminal as COM1: a loopback plug answering every byte, then another
  // process holding the port.
  int master = -1, slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
  mkdir((root + "/dev").c_str(), 0755);
  (void)symlink(name, (root + "/dev/COM1").c_str());
  stop = false;
  std::thread plug([&] {
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    for (char b[64]; !stop; usleep(2000)) {
      ssize_t n = read(master, b, sizeof b);
      if (n > 0 && write(master, b, size_t(n)) < 0) break;
    }
  });
  diagnose("loopback", GAME_LINK_NO_DSR);
  stop = true;
  plug.join();
  int go[2];
  if (pipe(go) == 0) {
    pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      int fd = open(name, O_RDWR | O_NOCTTY);
      char c = 0;
      if (fd >= 0) flock(fd, LOCK_EX | LOCK_NB);
      if (read(go[0], &c, 1) < 0) _exit(1);
      _exit(0);
    }
    usleep(200000);
    diagnose("port-held", GAME_LINK_SERIAL_FAIL);
    close(go[1]);
    close(go[0]);
    waitpid(pid, nullptr, 0);
  }
  close(slave);
  close(master);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string bin = argc > 1 ? argv[1] : LP_BINARY_DIR;
  // Without its programs every cause would read as "not named".
  if (access((bin + "/app/linkprobe").c_str(), X_OK) != 0 ||
      access((bin + "/diag/responder/linkprobe-responder").c_str(), X_OK) != 0) {
    std::fprintf(stderr, "usage: doctor_bench [BUILD_DIR]  (run as root; BUILD_DIR holds app/linkprobe and "
                         "diag/responder/linkprobe-responder, default %s)\n", LP_BINARY_DIR);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  char tmpl[] = "/tmp/lpdoctor-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  sh("mkdir -p " + root + "/PREFERENCES/SETTINGS");
  setenv("QUMEX_ROOT", root.c_str(), 1);
  std::printf("cause made      cause named     ok   diagnosis    bound   whole run\n");
  ethernet(bin + "/app/linkprobe", bin + "/diag/responder/linkprobe-responder", root);
  serial(root);
  report_round_trip(bin + "/diag/responder/linkprobe-responder");
  sh("rm -rf " + root);
  std::printf("%s\n", g_failed ? "SOME CAUSE NOT NAMED WITHIN THE BOUND" : "every cause named within the bound");
  return g_failed ? 1 : 0;
}
