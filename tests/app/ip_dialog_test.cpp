// The real program on a private X server inside a network namespace of the test's own:
// the report at start, the rescan, and the IP setup dialog with its adapter rows (a wired
// veth with an address, and one that the fixture system root calls wireless).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "x_program.h"

namespace {

std::string crop(int x, int y, int w, int h) {
  return " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
         std::to_string(y) + " +repage ";
}

// ImageMagick figures of a region of a screenshot.
double figure(const std::string& png, int x, int y, int w, int h, const char* fx) {
  std::string out = run_shell("convert " + png + crop(x, y, w, h) + "-colorspace Gray -format '%[fx:" + fx +
                              "]' info:");
  return out.empty() ? -1 : std::atof(out.c_str());
}

// Pixels that differ between the same region of two screenshots.
long differing(const std::string& a, const std::string& b, int x, int y, int w, int h) {
  std::string c = crop(x, y, w, h);
  std::string out = run_shell("compare -metric AE \\( " + a + c + "\\) \\( " + b + c + "\\) null: 2>&1");
  return out.empty() ? -1 : std::atol(out.c_str());
}

class IpDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the network namespace of its adapters";
    ns_ = "lpwin" + std::to_string(getpid());
    int st = 0;
    std::string out = run_shell("ip netns add " + ns_ + " 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "ip netns is not available here: " << out;
    created_ = true;
    for (const char* cmd : {"link set lo up", "link add vwire type veth peer name vwifi", "link set vwire up",
                            "link set vwifi up", "addr add 192.168.10.1/24 dev vwire"})
      ip(cmd);
    ASSERT_TRUE(x_.ok()) << "Xvfb did not start";
    root_.copy_from(std::string(LP_SOURCE_DIR) + "/tests/fixtures/root");
    root_.mkdir("dev");  // no COM port at all
    root_.write("BIN/Tunecfg.", "1.0\n");
    setenv("QUMEX_SYSROOT", LP_SOURCE_DIR "/tests/fixtures/sysroot-window", 1);
  }

  void TearDown() override {
    program_.reset();
    if (created_) run_shell("ip netns delete " + ns_);
  }

  std::string ip(const std::string& args) { return run_shell("ip -n " + ns_ + " " + args + " 2>&1"); }

  void start() {
    program_ = std::make_unique<Running>(std::vector<std::string>{
        "ip", "netns", "exec", ns_, kProgram, "-geometry", "+0+0", "STARTUPDIR=" + root_.path() + "/BIN/"});
  }

  std::string ns_;
  bool created_ = false;
  std::unique_ptr<Running> program_;
  Xvfb x_;
  TempRoot root_;
};

TEST_F(IpDialog, ReportRescanDialogRowsRoleAndDone) {
  start();
  std::string main_id = visible_window("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  usleep(700000);
  std::string before = shot(main_id, "main_window_report.png");
  // The report is in the display at start: dark text on its white field.
  EXPECT_LT(figure(before, 30, 15, 540, 140, "minima"), 0.2);

  // A new version file shows after "Rescan ports/Qumex config".
  root_.write("BIN/Tunecfg.", "2.0 rescanned with a longer version text\n");
  click(main_id, "172 340");
  usleep(700000);
  std::string after = shot(main_id, "main_window_rescanned.png");
  EXPECT_GT(differing(before, after, 30, 15, 540, 20), 50);    // the version line changed
  EXPECT_EQ(differing(before, after, 30, 36, 540, 120), 0);    // the rest of the report did not

  // "Try setting IP address": the dialog replaces the main window.
  click(main_id, "467 395");
  std::string dlg = visible_window("^IP setup$", true);
  ASSERT_FALSE(dlg.empty());
  EXPECT_EQ(visible_window("^Qumex Linkprobe", false), "");
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
  run_shell("xdotool windowfocus --sync " + dlg);
  click(dlg, "265 " + wired_y);
  auto set_group = [&](const std::string& nn) {
    click(dlg, "392 332");
    run_shell("xdotool key --window " + dlg + " End BackSpace BackSpace BackSpace BackSpace");
    run_shell("xdotool type --window " + dlg + " " + nn);
  };
  set_group("255");
  click(dlg, "95 327");  // client
  click(dlg, "280 445");  // "Try Setting Address"
  usleep(1500000);
  std::string addrs = ip("-4 -o addr show dev vwire");
  EXPECT_NE(addrs.find("192.168.10.1/24"), std::string::npos) << addrs;
  EXPECT_EQ(addrs.find("192.168."), addrs.rfind("192.168.")) << addrs;  // nothing added

  set_group("12");
  click(dlg, "280 445");
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
  click(dlg, "279 497");
  // Hiding destroys the X window; shown again, the main window has a new id.
  main_id = visible_window("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible_window("^IP setup$", false), "");
  usleep(500000);
  shot(main_id, "main_window_after_dialog.png");

  // Opened again: the group is back to 10 and the role's choice selected again; the
  // close box then does what "Done" does.
  click(main_id, "467 395");
  dlg = visible_window("^IP setup$", true);
  ASSERT_FALSE(dlg.empty());
  usleep(1000000);
  std::string again = shot(dlg, "ip_dialog_reopened.png");
  EXPECT_EQ(differing(d, again, 366, 321, 53, 23), 0);  // the group field reads "10" again
  EXPECT_EQ(differing(d, again, 85, 315, 170, 70), 0);  // therapist selected, client released
  int st = -1;
  run_shell(std::string(WM_DELETE_HELPER) + " " + dlg, &st);
  EXPECT_EQ(st, 0);
  main_id = visible_window("^Qumex Linkprobe", true);
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible_window("^IP setup$", false), "");

  click(main_id, "290 472");
  EXPECT_EQ(program_->wait_exit(60), 0);
}

}  // namespace
