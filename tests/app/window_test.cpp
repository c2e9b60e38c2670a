// The real program on a private X server, clicked with xdotool and captured with
// ImageMagick, inside a network namespace of the test's own with the responder on its
// port 5510 and two adapters (a wired veth with an address, and one the fixture system
// root calls wireless): title, colours, the action buttons, rescan, the IP setup dialog,
// resizing, exit by button and close box.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kProgram = std::string(LP_BINARY_DIR) + "/app/linkprobe";

// Captures a window into the build folder; returns the picture's path.
std::string shot(const std::string& window, const std::string& name) {
  std::string path = std::string(LP_BINARY_DIR) + "/tests/app/" + name;
  int st = -1;
  run_shell("import -window " + window + " " + path, &st);
  EXPECT_EQ(st, 0) << path;
  return path;
}

// An ImageMagick figure of a region of a screenshot, in grey; with a second picture, the
// pixels of the region that differ between the two.
double figure(const std::string& png, int x, int y, int w, int h, const char* fx, const std::string& other = "") {
  char c[80];
  std::snprintf(c, sizeof c, " -crop %dx%d+%d+%d +repage ", w, h, x, y);
  std::string out =
      run_shell(other.empty() ? "convert " + png + c + "-colorspace Gray -format '%[fx:" + fx + "]' info:"
                              : "compare -metric AE \\( " + png + c + "\\) \\( " + other + c + "\\) null: 2>&1");
  return out.empty() ? -1 : std::atof(out.c_str());
}

// The first visible window whose title matches ("" if none); with sync, waited for up to 60 s.
std::string visible_window(const std::string& title_regex, bool sync = true) {
  std::string id = run_shell(std::string(sync ? "timeout 60 xdotool search --sync" : "xdotool search") +
                             " --onlyvisible --name '" + title_regex + "' 2>/dev/null");
  return id.substr(0, id.find_first_of("\r\n"));
}

void click(const std::string& window, const std::string& xy) {
  run_shell("xdotool mousemove --window " + window + " " + xy + " click 1");
}

bool close_box(const std::string& window) {
  int st = -1;
  return run_shell(std::string(WM_DELETE_HELPER) + " " + window, &st), st == 0;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the network namespace";
    ns_ = "lpwin" + std::to_string(getpid());
    int st = 0;
    std::string out = run_shell("ip netns add " + ns_ + " 2>&1", &st);
    if (st != 0) GTEST_SKIP() << "ip netns is not available here: " << out;
    for (const char* cmd : {"link set lo up", "link add vwire type veth peer name vwifi", "link set vwire up",
                            "link set vwifi up", "addr add 192.168.10.1/24 dev vwire"})
      ip(cmd);
    // A private X server on a free display number, which it writes once it accepts clients.
    ASSERT_TRUE(xvfb_.start({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
                            {}, "", false));
    size_t end = xvfb_.wait_for("\n", 0, 30000);
    ASSERT_NE(end, std::string::npos) << "Xvfb did not start";
    setenv("DISPLAY", (":" + xvfb_.output().substr(0, end - 1)).c_str(), 1);
    root_.copy_from("root");
    root_.mkdir("dev");  // no COM port at all
    root_.write("BIN/Tunecfg.", "1.0\n");
    setenv("QUMEX_SYSROOT", LP_SOURCE_DIR "/tests/fixtures/sysroot-window", 1);
    // The sounds go to a file.
    ASSERT_TRUE(alsa_to_file(root_.path() + "/asound.conf", root_.path() + "/played.raw"));
    root_.mkdir("Games");
    samples_ = write_wav(root_.path() + "/Games/reward.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 11025, 900);
    ASSERT_TRUE(responder_.start(
        {"ip", "netns", "exec", ns_, LP_BINARY_DIR "/diag/responder/linkprobe-responder", "--port", "5510"}));
    ASSERT_NE(responder_.wait_for("listening on port 5510\n", 0, 10000), std::string::npos) << responder_.output();
  }
  void TearDown() override {
    if (!ns_.empty()) run_shell("ip netns delete " + ns_);
  }
  std::string ip(const std::string& args) { return run_shell("ip -n " + ns_ + " " + args + " 2>&1"); }
  // bare: no argument at all, as the Start menu starts an installed copy.
  std::string start(bool bare = false) {
    std::vector<std::string> argv = {"ip", "netns", "exec", ns_, kProgram};
    if (!bare) argv.insert(argv.end(), {"-geometry", "+0+0", "STARTUPDIR=" + root_.path() + "/BIN/"});
    // The sanitizer build must not count the X font libraries' caches as leaks.
    EXPECT_TRUE(program_.start(argv, {"LSAN_OPTIONS=suppressions=" LP_SOURCE_DIR "/tests/support/lsan_x11.supp"}));
    return visible_window("^Qumex Linkprobe");
  }
  std::string ns_;
  TempRoot root_;
  Child xvfb_, program_, responder_;
  std::string samples_;
};

// The title is --version's text; xdotool adds a line end of its own. The action buttons
// run their tests and the program stays: only "Done (Exit)" and the close box end it.
TEST_F(Window, TitleColoursActionsRescanDialogRowsRoleAndDone) {
  std::string main_id = start();
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(run_shell("xdotool getwindowname " + main_id), run_shell(kProgram + " --version") + "\n");
  usleep(700000);  // a moment to paint
  std::string before = shot(main_id, "main_window.png");
  // Address field 254, "Try setting IP address" 133, "Start Device Manager" 175,
  // "Start Network Connections" 229, "Done (Exit)" 19.
  for (const auto& s : {std::pair<const char*, const char*>{"35,245", "srgb(255,218,255)"},
                        {"345,385", "srgb(255,182,63)"}, {"415,245", "srgb(255,255,127)"},
                        {"415,290", "srgb(63,182,255)"}, {"105,465", "srgb(152,168,168)"}})
    EXPECT_EQ(run_shell("convert " + before + " -format '%[pixel:p{" + s.first + "}]' info:"), s.second) << s.first;
  EXPECT_LT(figure(before, 30, 15, 540, 140, "minima"), 0.2);  // the report at start: dark text on white
  // A new version file shows after "Rescan ports/Qumex config".
  root_.write("BIN/Tunecfg.", "2.0 rescanned with a longer version text\n");
  click(main_id, "172 340");
  usleep(700000);
  std::string after = shot(main_id, "main_window_rescanned.png");
  EXPECT_GT(figure(before, 30, 15, 540, 20, "", after), 50);  // the version line changed
  EXPECT_EQ(figure(before, 30, 36, 540, 120, "", after), 0);  // the rest of the report did not
  // Local sound, game sound, game communications, amplifier.
  for (const char* xy : {"172 280", "172 308", "172 370", "172 398"}) click(main_id, xy);
  EXPECT_NE(responder_.wait_for("type 224 command 9 length 8 sequence 1 -> reward sound", 0, 10000),
            std::string::npos) << responder_.output();
  EXPECT_NE(responder_.wait_for("type 224 command 4", 0, 10000), std::string::npos) << responder_.output();
  EXPECT_EQ(program_.finish(1000), -1);
  EXPECT_EQ(root_.read("played.raw"), samples_);

  // "Try setting IP address": the dialog replaces the main window.
  click(main_id, "467 395");
  std::string dlg = visible_window("^IP setup$");
  ASSERT_FALSE(dlg.empty());
  EXPECT_EQ(visible_window("^Qumex Linkprobe", false), "");
  usleep(1000000);  // a few refresh rounds
  std::string d = shot(dlg, "ip_dialog.png");
  // Rows follow the system's interface order: black label active, greyed inactive.
  std::string links = ip("-o link show");
  int wired_row = links.find("vwire") < links.find("vwifi") ? 0 : 1, wifi_row = 1 - wired_row;
  auto row = [&](int r, const char* fx) { return figure(d, 52, 92 + 36 * r, 427, 21, fx); };
  EXPECT_LT(row(wired_row, "minima"), 0.15);
  EXPECT_GT(row(wifi_row, "minima"), row(wired_row, "minima") + 0.15);
  EXPECT_GT(row(wifi_row, "standard_deviation"), 0.0);  // but it has a label
  for (int r = 2; r < 6; r++) EXPECT_EQ(row(r, "standard_deviation"), 0.0) << "row " << r << " should be blank";
  // Started from <root>/BIN/: the therapist choice is selected (check boxes at x 88,
  // 5 pixels below each choice's top); client and automatic both empty.
  auto mark = [&](int y) { return figure(d, 88, y + 5, 14, 14, "mean"); };
  EXPECT_LT(mark(355), mark(315) - 0.05);
  EXPECT_NEAR(mark(315), mark(390), 0.01);

  // Setting the address: a group out of range only beeps; then client, group 12.
  run_shell("xdotool windowfocus --sync " + dlg);
  click(dlg, "265 " + std::to_string(90 + 36 * wired_row + 12));
  auto set_group = [&](const std::string& nn) {
    click(dlg, "392 332");
    run_shell("xdotool key --window " + dlg + " End BackSpace BackSpace BackSpace BackSpace");
    run_shell("xdotool type --window " + dlg + " " + nn);
  };
  set_group("255");
  click(dlg, "95 327");   // client
  click(dlg, "280 445");  // "Try Setting Address"
  usleep(1500000);
  std::string addrs = ip("-4 -o addr show dev vwire");
  EXPECT_NE(addrs.find("192.168.10.1/24"), std::string::npos) << addrs;
  EXPECT_EQ(addrs.find("192.168."), addrs.rfind("192.168.")) << addrs;  // nothing added
  set_group("12");
  click(dlg, "280 445");
  bool changed = false;
  for (int i = 0; i < 150 && !changed; i++, usleep(100000)) {
    addrs = ip("-4 -o addr show dev vwire");
    changed = addrs.find("192.168.12.2/24") != std::string::npos && addrs.find("192.168.10.1") == std::string::npos;
  }
  EXPECT_TRUE(changed) << addrs;

  // "Done" brings the main window back, a new X window. Opened again: the group reads
  // "10" again and the role's choice is selected again; the close box does what "Done" does.
  click(dlg, "279 497");
  main_id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible_window("^IP setup$", false), "");
  click(main_id, "467 395");
  dlg = visible_window("^IP setup$");
  ASSERT_FALSE(dlg.empty());
  usleep(1000000);
  std::string again = shot(dlg, "ip_dialog_reopened.png");
  EXPECT_EQ(figure(d, 366, 321, 53, 23, "", again), 0);
  EXPECT_EQ(figure(d, 85, 315, 170, 70, "", again), 0);
  EXPECT_TRUE(close_box(dlg));
  main_id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(main_id.empty());
  EXPECT_EQ(visible_window("^IP setup$", false), "");
  click(main_id, "290 472");
  EXPECT_EQ(program_.finish(60000), 0);
}

// One computer: the game sound button is inactive and the communications test asks
// nothing; without its file the local sound only beeps; the amplifier test finds no port
// (the root's port map is empty: the machine's own serial ports are left alone). Started
// again with no argument at all, as the Start menu does, it is the window once more.
TEST_F(Window, OneComputerResizedAndTheCloseBox) {
  ASSERT_TRUE(root_.devs("ProComp = COM1\nInput_Source = ProSB\nEthernetAddress=127.0.0.1\n"));
  root_.remove("Games/reward.wav");
  std::string id = start();
  ASSERT_FALSE(id.empty());
  for (const char* xy : {"172 308", "172 370", "172 280"}) click(id, xy);
  EXPECT_EQ(responder_.wait_for("type 224", 0, 1500), std::string::npos) << responder_.output();
  EXPECT_EQ(root_.read("played.raw"), "");
  run_shell("xdotool windowsize --sync " + id + " 898 745");
  usleep(500000);
  click(id, "435 708");  // "Done (Exit)" moved with the window: 1.5 times its old place
  EXPECT_EQ(program_.finish(60000), 0);
  root_.write("STARTUPDIR", root_.path() + "/BIN/\n");  // what the installer leaves
  id = start(true);
  ASSERT_FALSE(id.empty());
  click(id, "172 398");  // the amplifier test, then the close box
  EXPECT_TRUE(close_box(id));
  EXPECT_EQ(program_.finish(60000), 0);
}

}  // namespace
