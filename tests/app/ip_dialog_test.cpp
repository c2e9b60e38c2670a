// The real program on a private X server inside a network namespace of the test's own:
// the report at start, the rescan, and the IP setup dialog with its adapter rows (a wired
// veth with an address, and one that the fixture system root calls wireless).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"
#include "tests/support/xvfb.h"

namespace {

const std::string kProgram = std::string(LP_BINARY_DIR) + "/app/linkprobe";
const std::string kArtifacts = std::string(LP_BINARY_DIR) + "/tests/app";
const std::string kSysroot = std::string(LP_SOURCE_DIR) + "/tests/fixtures/sysroot-window";

std::string run(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

std::string first_line(std::string s) {
  size_t nl = s.find('\n');
  if (nl != std::string::npos) s.resize(nl);
  return s;
}

// ImageMagick figures of a region of a screenshot.
double figure(const std::string& png, int x, int y, int w, int h, const char* fx) {
  std::string out = run("convert " + png + " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" +
                        std::to_string(x) + "+" + std::to_string(y) + " +repage -colorspace Gray -format '%[fx:" +
                        fx + "]' info:");
  return out.empty() ? -1 : std::atof(out.c_str());
}

// Pixels that differ between the same region of two screenshots.
long differing(const std::string& a, const std::string& b, int x, int y, int w, int h) {
  std::string crop = " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                     std::to_string(y) + " +repage ";
  std::string out = run("compare -metric AE \\( " + a + crop + "\\) \\( " + b + crop + "\\) null: 2>&1");
  return out.empty() ? -1 : std::atol(out.c_str());
}

class IpDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the network namespace of its adapters";
    ns_ = "lpwin" + std::to_string(getpid());
    int st = 0;
    std::string out = run("ip netns add " + ns_ + " 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "ip netns is not available here: " << out;
    created_ = true;
    ip("link set lo up");
    ip("link add vwire type veth peer name vwifi");
    ip("link set vwire up");
    ip("link set vwifi up");
    ip("addr add 192.168.10.1/24 dev vwire");
    ASSERT_TRUE(x_.ok()) << "Xvfb did not start";
    root_.copy_from(std::string(LP_SOURCE_DIR) + "/tests/fixtures/root");
    root_.mkdir("dev");  // no COM port at all
    root_.write("BIN/Tunecfg.", "1.0\n");
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (created_) run("ip netns delete " + ns_);
  }

  std::string ip(const std::string& args) { return run("ip -n " + ns_ + " " + args + " 2>&1"); }

  void start() {
    std::string rootdir = root_.path();
    pid_ = fork();
    if (pid_ == 0) {
      std::string supp = "LSAN_OPTIONS=suppressions=" + std::string(LP_SOURCE_DIR) + "/tests/support/lsan_x11.supp";
      std::string sys = "QUMEX_SYSROOT=" + kSysroot;
      std::string qroot = "QUMEX_ROOT=" + rootdir;
      std::string startup = "STARTUPDIR=" + rootdir + "/BIN/";
      execlp("ip", "ip", "netns", "exec", ns_.c_str(), "env", supp.c_str(), sys.c_str(), qroot.c_str(),
             kProgram.c_str(), "-geometry", "+0+0", startup.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  int wait_exit(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      usleep(100000);
    }
    return -1;
  }

  std::string visible(const std::string& title_regex, bool sync) {
    return first_line(run(std::string(sync ? "timeout 60 xdotool search --sync" : "xdotool search") +
                          " --onlyvisible --name '" + title_regex + "' 2>/dev/null"));
  }

  std::string shot(const std::string& window, const std::string& name) {
    std::string path = kArtifacts + "/" + name;
    int st = -1;
    run("import -window " + window + " " + path, &st);
    EXPECT_EQ(st, 0);
    return path;
  }

  std::string ns_;
  bool created_ = false;
  pid_t pid_ = -1;
  Xvfb x_;
  TempRoot root_;
};

TEST_F(IpDialog, ReportRescanDialogRowsRoleAndDone) {
  start();
  std::string main_id = visible("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  usleep(700000);
  std::string before = shot(main_id, "main_window_report.png");
  // The report is in the display at start: dark text on its white field.
  EXPECT_LT(figure(before, 30, 15, 540, 140, "minima"), 0.2);

  // A new version file shows after "Rescan ports/Qumex config".
  root_.write("BIN/Tunecfg.", "2.0 rescanned with a longer version text\n");
  run("xdotool mousemove --window " + main_id + " 172 340 click 1");
  usleep(700000);
  std::string after = shot(main_id, "main_window_rescanned.png");
  EXPECT_GT(differing(before, after, 30, 15, 540, 20), 50);    // the version line changed
  EXPECT_EQ(differing(before, after, 30, 36, 540, 120), 0);    // the rest of the report did not

  // "Try setting IP address": the dialog replaces the main window.
  run("xdotool mousemove --window " + main_id + " 467 395 click 1");
  std::string dlg = visible("^IP setup$", true);
  ASSERT_FALSE(dlg.empty());
  EXPECT_EQ(visible("^Qumex Linkprobe", false), "");
  usleep(1000000);  // a few refresh rounds
  std::string d = shot(dlg, "ip_dialog.png");

  // Rows follow the system's interface order; find which one is wired.
  std::string links = ip("-o link show");
  bool wire_first = links.find("vwire") < links.find("vwifi");
  int wired_row = wire_first ? 0 : 1, wifi_row = wire_first ? 1 : 0;
  auto row_min = [&](int r) { return figure(d, 52, 92 + 36 * r, 427, 21, "minima"); };
  auto row_dev = [&](int r) { return figure(d, 52, 92 + 36 * r, 427, 21, "standard_deviation"); };
  EXPECT_LT(row_min(wired_row), 0.15);                     // black label: active
  EXPECT_GT(row_min(wifi_row), row_min(wired_row) + 0.15);  // greyed label: inactive
  EXPECT_GT(row_dev(wifi_row), 0.0);                       // but it has a label
  for (int r = 2; r < 6; r++) EXPECT_EQ(row_dev(r), 0.0) << "row " << r << " should be blank";

  // Started from <root>/BIN/: the therapist choice is the selected one.
  // The check boxes sit at x 88, 5 pixels below each choice's top.
  auto mark = [&](int y) { return figure(d, 88, y + 5, 14, 14, "mean"); };
  EXPECT_LT(mark(355), mark(315) - 0.05);      // therapist darker: its mark is drawn
  EXPECT_NEAR(mark(315), mark(390), 0.01);     // client and automatic alike: both empty

  // Setting the address: a group out of range only beeps; then client, group 12.
  std::string wired_y = std::to_string(90 + 36 * wired_row + 12);
  run("xdotool windowfocus --sync " + dlg);
  run("xdotool mousemove --window " + dlg + " 265 " + wired_y + " click 1");
  auto set_group = [&](const std::string& nn) {
    run("xdotool mousemove --window " + dlg + " 392 332 click 1");
    run("xdotool key --window " + dlg + " End BackSpace BackSpace BackSpace BackSpace");
    run("xdotool type --window " + dlg + " " + nn);
  };
  set_group("255");
  run("xdotool mousemove --window " + dlg + " 95 327 click 1");  // client
  run("xdotool mousemove --window " + dlg + " 280 445 click 1");  // "Try Setting Address"
  usleep(1500000);
  std::string addrs = ip("-4 -o addr show dev vwire");
  EXPECT_NE(addrs.find("192.168.10.1/24"), std::string::npos) << addrs;
  EXPECT_EQ(addrs.find("192.168."), addrs.rfind("192.168.")) << addrs;  // nothing added

  set_group("12");
  run("xdotool mousemove --window " + dlg + " 280 445 click 1");
  bool changed = false;
  for (int i = 0; i < 150 && !changed; i++) {
    addrs = ip("-4 -o addr show dev vwire");
    changed = addrs.find("192.168.12.2/24") != std::string::npos && addrs.find("192.168.10.1") == std::string::npos;
    if (!changed) usleep(100000);
  }
  EXPECT_TRUE(changed) << addrs;
  usleep(1000000);
  shot(dlg, "ip_dialog_after_set.png");

  // "Done" brings the main window back.
  run("xdotool mousemove --window " + dlg + " 279 497 click 1");
  // Hiding destroys the X window; shown again, the main window has a new id.
  main_id = visible("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible("^IP setup$", false), "");
  usleep(500000);
  shot(main_id, "main_window_after_dialog.png");

  // Opened again: the group is back to 10 and the role's choice selected again; the
  // close box then does what "Done" does.
  run("xdotool mousemove --window " + main_id + " 467 395 click 1");
  dlg = visible("^IP setup$", true);
  ASSERT_FALSE(dlg.empty());
  usleep(1000000);
  std::string again = shot(dlg, "ip_dialog_reopened.png");
  EXPECT_EQ(differing(d, again, 366, 321, 53, 23), 0);  // the group field reads "10" again
  EXPECT_EQ(differing(d, again, 85, 315, 170, 70), 0);  // therapist selected, client released
  int st = -1;
  run(std::string(WM_DELETE_HELPER) + " " + dlg, &st);
  EXPECT_EQ(st, 0);
  main_id = visible("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible("^IP setup$", false), "");

  run("xdotool mousemove --window " + main_id + " 290 472 click 1");
  EXPECT_EQ(wait_exit(60), 0);
}

}  // namespace
