// "linkprobe --run NAME", --help and --version as processes without an X display: the
// exact report on standard output and the exit code of each diagnostic, over fixture
// roots, ALSA's file plugin and the responder; the progress line on a terminal only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <map>
#include <regex>
#include <thread>

#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LP_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LP_UNDER_ASAN 1
#endif

namespace {

#ifdef LP_UNDER_ASAN
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif

const char* kLinkprobe = LP_BINARY_DIR "/app/linkprobe";
const char* kResponder = LP_BINARY_DIR "/diag/responder/linkprobe-responder";

// Port 5510 on loopback taken by a datagram socket without address reuse, or by a
// listener that accepts and never answers.
int take_port(bool listener) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(5510);
  a.sin_addr.s_addr = htonl(listener ? INADDR_LOOPBACK : INADDR_ANY);
  int s = socket(AF_INET, listener ? SOCK_STREAM : SOCK_DGRAM, 0), one = 1;
  if (s >= 0 && ((listener && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ||
                 bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listener && listen(s, 4) != 0))) {
    close(s);
    return -1;
  }
  return s;
}

// A message of the report's protocol (type 224), sequence 1.
std::string message(int command, const std::string& payload) {
  std::string m = {char(224), char(command), char((payload.size() + 8) & 0xff), char((payload.size() + 8) >> 8)};
  return m + payload + std::string("\x01\0\0\0", 4);
}

// Process numbers, the diagnosis' duration and the installation root change from run to run.
std::string masked(const std::string& out, const std::string& root = "") {
  std::string m = std::regex_replace(out, std::regex("(process |\"ms\":)[0-9]+"), "$1N");
  for (size_t at; !root.empty() && (at = m.find(root)) != std::string::npos;) m.replace(at, root.size(), "<root>");
  return m;
}

class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The game link test accepts only port 5510: a network namespace of our own keeps it ours.
    if (!private_network()) std::fprintf(stderr, "note: shared network namespace\n");
  }
  void SetUp() override {
    root_.copy_from("root");  // the root made last is QUMEX_ROOT
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // COM ports: none
    setenv("QUMEX_SYSROOT", LP_SOURCE_DIR "/tests/fixtures/sysroot-usb2cpu", 1);
    unsetenv("DISPLAY");  // nothing of this command line may need a display
  }
  int run(const std::vector<std::string>& args, const char* program = kLinkprobe) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c;
    int rc = c.start(argv, {}, cwd_.path()) ? c.finish(120000) : -1;
    out_ = c.output();
    return rc >= 128 ? -1 : rc;
  }
  TempRoot cwd_, root_;
  std::string out_;
};

// The window title's text: the build values, then the executable's time as ctime writes it.
TEST_F(Cli, Version) {
  struct stat st;
  char when[64];
  ASSERT_TRUE(stat(kLinkprobe, &st) == 0 && ctime_r(&st.st_mtime, when));
  const std::string sb = LP_EXPECTED_SPECIAL_BUILD;
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_EQ(out_, "Qumex Linkprobe PB=" LP_EXPECTED_PRIVATE_BUILD + (sb.empty() ? "" : "    SB=" + sb) + "  " + when);
}

// The diagnostics as processes, as a transcript (tests/golden/app_cli.txt): "run" runs
// linkprobe with the arguments and prints its exit code and output (standard error too),
// "respond" the same for the responder (only with arguments that end it), "devs"
// writes the settings, "file" shows a file of the current folder, "root"/"rm"/"mkdir"
// change the installation root, "com" links a port to a pseudo-terminal or a path,
// "hold" holds it as another program would, "nosys"/"sys" empty and restore the system
// root, "take"/"free" occupy port 5510, "responder" starts the game computer's
// responder on it. "answer TEXT[|END]" stands for a game computer's report service on
// port 5521 that answers one request with TEXT as one answer part and an end message
// (its payload END, default TEXT's length; "none": no end, "raw": TEXT's bytes alone).
TEST_F(Cli, Transcript) {
  ASSERT_TRUE(alsa_to_file(cwd_.path() + "/asound.conf", cwd_.path() + "/captured.raw"));
  root_.mkdir("Games");
  const std::string wav = root_.path() + "/Games/reward.wav";
  std::string samples;  // of the last WAVE file written
  Child responder;
  Pty ptys[2];
  std::unique_ptr<PortHolder> holder;
  int taken = -1;
  // "echo N" answers every byte on COMn's pseudo-terminal with itself (a loopback plug),
  // "talk N" sends bytes that start no message (the other side at another speed), "quiet"
  // ends either.
  std::atomic<bool> quiet{true};
  std::thread peer, fake;
  auto play = [&](int master, bool echo) {
    quiet = false;
    peer = std::thread([&quiet, master, echo] {
      for (char b[64]; !quiet; usleep(20000)) {
        ssize_t n = echo ? read(master, b, sizeof b) : 8;
        if (n > 0 && write(master, echo ? b : "\x05\x31\x00\x77\x13\x00\x61\x42", size_t(n)) < 0) break;
      }
    });
  };
  EXPECT_TRUE(script_match("app_cli.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    if (w == "run" || w == "respond") {
      int rc = run(a, w == "run" ? kLinkprobe : kResponder);
      return "exit " + std::to_string(rc) + "\n" + masked(out_);
    }
    if (w == "echo" || w == "talk") {
      int master = ptys[a[0] == "1"].master;
      fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
      play(master, w == "echo");
    }
    if (w == "quiet") {
      quiet = true;
      peer.join();
    }
    if (w == "answer") {
      if (fake.joinable()) fake.join();
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(5521);
      int one = 1, l = socket(AF_INET, SOCK_STREAM, 0);
      setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (bind(l, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(l, 1) != 0) return std::string("no port\n");
      const std::string end = a.size() > 1 ? a[1] : std::to_string(a[0].size());
      const std::string bytes = end == "raw" ? a[0] : message(41, a[0]) + (end == "none" ? "" : message(42, end));
      fake = std::thread([l, bytes] {
        char req[64];
        int c = accept(l, nullptr, nullptr);
        if (c >= 0 && recv(c, req, sizeof req, 0) > 0) send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (c >= 0) close(c);
        close(l);
      });
    }
    if (w == "devs") root_.devs(a[0]);
    if (w == "root") root_.write(a[0], a[1]);
    if (w == "rm") root_.remove(a[0]);
    if (w == "mkdir") root_.mkdir(a[0]);
    if (w == "com") root_.symlink_to("dev/COM" + a[0], a[1] == "pty" ? ptys[a[0] == "1"].name : a[1]);
    if (w == "hold") holder.reset(a.empty() ? nullptr : new PortHolder(root_.path() + "/dev/COM" + a[0]));
    if (w == "take" && (taken = take_port(a[0] == "listener")) < 0) return std::string("not taken\n");
    if (w == "free") close(taken);
    if (w == "nosys") cwd_.as_sysroot();
    if (w == "sys") setenv("QUMEX_SYSROOT", LP_SOURCE_DIR "/tests/fixtures/sysroot-usb2cpu", 1);
    if (w == "file") return cwd_.exists(a[0]) ? cwd_.read(a[0]) : "(none)\n";
    if (w == "write") cwd_.write(a[0], a[1]);
    // "wav": 8 or 16 bits, channels, rate, frames; "played": whether the samples that
    // reached ALSA's default device, a file here, are the ones the file holds.
    if (w == "wav") {
      samples = write_wav(wav, SF_FORMAT_WAV | (a[0] == "8" ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16), std::stoi(a[1]),
                          std::stoi(a[2]), std::stoi(a[3]));
      return std::to_string(samples.size()) + " bytes\n";
    }
    if (w == "played") {
      std::string got = cwd_.read("captured.raw");
      cwd_.remove("captured.raw");
      return std::string(got == samples ? "same\n" : "differs\n");
    }
    if (w == "notwav") root_.write("Games/reward.wav", "not a wave file\n");
    if (w == "responder" && responder.start({kResponder, "--port", "5510"}))
      return responder.wait_for("listening on port 5510\n", 0, 10000) == std::string::npos ? responder.output() : "";
    if (w == "heard") return std::string(responder.wait_for(a[0], 0, 5000) == std::string::npos ? "not heard\n" : "");
    return std::string();
  }));
  if (fake.joinable()) fake.join();
  unsetenv("ALSA_CONFIG_PATH");
}

// The link doctor's ethernet causes made for real (tests/golden/app_link_doctor.txt): two
// network namespaces of the test's own, "this" computer (T, 192.168.10.1) and the game
// computer (G, 192.168.10.2), joined by a veth pair. "ip"/"nft" change one of them,
// "game" starts a responder in G with the arguments (host name gamepc, its sound output
// a file), "stop" ends them, "doctor" runs linkprobe --run link-doctor in T with the
// arguments, "report T|X" or "report G|X" --run remote-report X in that namespace.
// "pair" makes COM1 and COM2 the two ends of a serial line: two pseudo-terminals whose
// masters the test joins.
TEST_F(Cli, LinkDoctorEthernetCauses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  const std::string id = std::to_string(getpid());
  const std::string ns[2] = {"lpdocT" + id, "lpdocG" + id};
  auto sh = [](const std::string& cmd) {
    int st = 0;
    std::string out = run_shell(cmd + " 2>&1", &st);
    return st == 0 ? std::string() : out.empty() ? "failed\n" : out;
  };
  for (const std::string& n : ns) ASSERT_EQ(sh("ip netns add " + n), "");
  std::string setup = sh("ip link add vther netns " + ns[0] + " type veth peer name vgame netns " + ns[1]);
  for (int i = 0; i < 2; ++i)
    setup += sh("ip -n " + ns[i] + " link set lo up") + sh("ip -n " + ns[i] + " link set " + (i ? "vgame" : "vther") + " up") +
             sh("ip -n " + ns[i] + " addr add 192.168.10." + std::to_string(i + 1) + "/24 dev " + (i ? "vgame" : "vther"));
  EXPECT_EQ(setup, "");
  ASSERT_TRUE(alsa_to_file(cwd_.path() + "/asound.conf", cwd_.path() + "/captured.raw"));
  std::vector<std::unique_ptr<Child>> games;
  Pty line[2];
  std::atomic<bool> joined{false};
  std::thread relay;
  EXPECT_TRUE(script_match("app_link_doctor.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    const std::string& n = a.empty() ? ns[0] : ns[a[0] == "G"];
    if (w == "devs") root_.devs(a[0]);
    if (w == "ip") return sh("ip -n " + n + " " + a[1]);
    if (w == "nft") return sh("ip netns exec " + n + " nft '" + a[1] + "'");
    if (w == "stop") games.clear();
    if (w == "game") {
      std::string args;
      for (const std::string& x : a) args += " " + x;
      games.emplace_back(new Child);
      games.back()->start({"ip", "netns", "exec", ns[1], "unshare", "-u", "sh", "-c",
                           "hostname gamepc && QUMEX_SYSROOT=/ exec " + std::string(kResponder) + args});
      return games.back()->wait_for_any({"listening on port", "report service on port", "answering on"}, 0, 10000) == std::string::npos
                 ? games.back()->output()
                 : "";
    }
    if (w == "pair") {
      joined = true;
      relay = std::thread([&] {
        for (char b[512]; joined;) {
          pollfd p[2] = {{line[0].master, POLLIN, 0}, {line[1].master, POLLIN, 0}};
          poll(p, 2, 20);
          for (int i = 0; i < 2; ++i) {
            ssize_t n = (p[i].revents & POLLIN) ? read(line[i].master, b, sizeof b) : 0;
            if (n > 0 && write(line[1 - i].master, b, size_t(n)) != n) return;
          }
          if ((p[0].revents | p[1].revents) & POLLHUP) usleep(20000);  // no end open: nothing to pass
        }
      });
      for (int i = 0; i < 2; ++i) {
        termios t;
        tcgetattr(line[i].slave, &t);
        cfmakeraw(&t);  // no echo of what passes before a program has opened its end
        tcsetattr(line[i].slave, TCSANOW, &t);
        root_.symlink_to("dev/COM" + std::to_string(i + 1), line[i].name);
        close(line[i].slave);  // the programs open their ends; this one would count as a holder
        line[i].slave = -1;
      }
    }
    if (w == "doctor" || w == "report") {
      std::vector<std::string> argv{"ip", "netns", "exec", w == "doctor" ? ns[0] : n, kLinkprobe, "--run",
                                    w == "doctor" ? "link-doctor" : "remote-report"};
      argv.insert(argv.end(), a.begin() + (w == "report"), a.end());
      Child c;
      // The adapters' kinds come from the namespace's own sysfs, not from a fixture.
      int rc = c.start(argv, {"QUMEX_SYSROOT=/"}, cwd_.path()) ? c.finish(60000) : -1;
      return "exit " + std::to_string(rc) + "\n" + masked(c.output(), root_.path());
    }
    return std::string();
  }));
  games.clear();
  joined = false;
  if (relay.joinable()) relay.join();
  for (const std::string& n : ns) run_shell("ip netns delete " + n);
  unsetenv("ALSA_CONFIG_PATH");
}

// A client of the report port from a loopback address of its choice (each peer has its
// own allowance); -1 when the connect fails.
int dial(int port, const char* from) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{3, 0};  // a service that takes no connections fails the case, not the whole run
  bool ok = s >= 0 && setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
            bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ok = ok && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!ok && s >= 0) close(s);
  return ok ? s : -1;
}

// What the service said before it closed, within limit_ms: "report" (a whole answer),
// "refused: <why>", "closed" (nothing) or "open" (it still holds the connection).
std::string outcome(int s, int limit_ms = 3000) {
  std::string got;
  char b[4096];
  bool ended = false;
  for (auto t0 = std::chrono::steady_clock::now(); !ended;) {
    int left = limit_ms - int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    pollfd p{s, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    ssize_t n = recv(s, b, sizeof b, 0);
    if (n <= 0) ended = true;
    else got.append(b, size_t(n));
  }
  close(s);
  if (got.size() >= 8 && uint8_t(got[0]) == 224 && got[1] == 43) return "refused: " + got.substr(4, got.size() - 8);
  if (got.size() >= 8 && uint8_t(got[0]) == 224 && got[1] == 41 && got.find("\nend\t") != std::string::npos) return "report";
  return ended ? (got.empty() ? "closed" : "garbled") : "open";
}

long rss_kb(pid_t pid) {
  std::string status = run_shell("grep VmRSS /proc/" + std::to_string(pid) + "/status");
  return std::atol(status.c_str() + status.find_first_of("0123456789"));
}

// The report service against hostile peers, on loopback: requests it does not
// understand are refused and closed, a flood is cut at once, a connection that sends no
// request (or never reads) is closed in its time, a peer's many connections are turned
// away; meanwhile another peer is answered at once and the service's memory stays put.
TEST_F(Cli, ReportServiceHoldsAgainstHostilePeers) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  close(probe);
  const int port = ntohs(a.sin_port);
  Child service;
  ASSERT_TRUE(service.start({kResponder, "--report-only", "--report-port", std::to_string(port)}));
  ASSERT_NE(service.wait_for("report service on port"), std::string::npos) << service.output();
  const std::string request = message(40, "qumex-report 1");
  auto ask = [&](const std::string& bytes, const char* from) {
    int s = dial(port, from);
    if (s < 0 || send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) return std::string("no connection");
    return outcome(s);
  };
  EXPECT_EQ(ask(request, "127.0.0.1"), "report");
  const long before = rss_kb(service.pid());
  const std::string not_understood = "refused: not understood: ask with type 224 command 40 \"qumex-report 1\"";
  EXPECT_EQ(ask("GET / HTTP/1.0\r\n\r\n", "127.0.0.2"), not_understood);
  EXPECT_EQ(ask(message(40, "qumex-report 0"), "127.0.0.3"), not_understood);
  EXPECT_EQ(ask(message(4, ""), "127.0.0.4"), not_understood) << "the game menu's echo is not asked here";
  EXPECT_EQ(ask(message(40, std::string(1592, 'q')).substr(0, 200), "127.0.0.5"), not_understood) << "longer than a request";
  // A flood on one connection: refused after its first bytes, the rest never read.
  int flood = dial(port, "127.0.0.6");
  ASSERT_GE(flood, 0);
  fcntl(flood, F_SETFL, O_NONBLOCK);
  const std::string junk(65536, '\xe0');
  for (int i = 0; i < 64 && send(flood, junk.data(), junk.size(), MSG_NOSIGNAL) != -1;) ++i;
  // Connections that send half a request, or the request and never read, beside many
  // connections of one peer: the next client is answered all the same, and soon.
  int half = dial(port, "127.0.0.7"), deaf = dial(port, "127.0.0.8");
  ASSERT_EQ(send(half, request.data(), 3, MSG_NOSIGNAL), 3);
  ASSERT_EQ(send(deaf, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
  std::vector<int> many;
  for (int i = 0; i < 40; ++i) many.push_back(dial(port, "127.0.0.9"));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(request, "127.0.0.1"), "report");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  EXPECT_EQ(outcome(half), "closed") << "half a request is not waited for past its time";
  std::map<std::string, int> turned;
  for (int s : many) ++turned[outcome(s, 1000)];
  EXPECT_GE(turned["refused: busy: too many requests, ask again in a second"], 30) << ::testing::PrintToString(turned);
  close(deaf);
  close(flood);
  // A peer whose connection sent no request has spent its allowance: its next request
  // waits for the next second.
  EXPECT_EQ(outcome(dial(port, "127.0.0.10")), "closed");
  EXPECT_EQ(ask(request, "127.0.0.10"), "refused: busy: too many requests, ask again in a second");
  EXPECT_EQ(ask(request, "127.0.0.1"), "report");
  // AddressSanitizer's own records grow with every report made (half a megabyte each).
  const long slack = kUnderAsan ? 4096 : 1024;
  EXPECT_LT(rss_kb(service.pid()) - before, slack) << "kB more after the hostile peers";
  kill(service.pid(), SIGTERM);
  EXPECT_EQ(service.finish(), 0);
}

// A progress line goes to standard error only when that is a terminal (on a pipe, as in
// the transcript, nothing); standard output is the exact report either way.
TEST_F(Cli, ProgressOnlyOnATerminal) {
  Pty tty;
  Child on_tty;
  ASSERT_TRUE(!tty.name.empty() && on_tty.start({"sh", "-c", std::string(kLinkprobe) + " --run rescan 2>" + tty.name}));
  EXPECT_EQ(on_tty.finish(), 0);
  EXPECT_TRUE(golden_match("rescan_no_ports.txt", on_tty.output()));
  char buf[512];
  pollfd p{tty.master, POLLIN, 0};
  ssize_t n = poll(&p, 1, 0) > 0 ? read(tty.master, buf, sizeof buf) : 0;
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "linkprobe: running rescan, please wait...\r\n");
}

}  // namespace
