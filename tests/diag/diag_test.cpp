// The diagnostics in-process: the amplifier test against fixture system roots (USB
// devices as sysfs lists them under QUMEX_SYSROOT, settings under QUMEX_ROOT, serial ports
// as <root>/dev/COMn links), reports compared byte for byte; the system line and the
// rescan, each in a child process of its own, because the system line is read at most
// once per process; local playback failures (the alert sounds when the file cannot be
// played, not when the device fails; the samples themselves are checked through
// "linkprobe --run local-sound"); and a serial port node with no UART behind it, as a
// desktop user outside the dialout group meets it: the open is refused, yet the port
// does not exist.
#include <grp.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/panel.h"
#include "diag/amplifier.h"
#include "diag/gamecomm.h"
#include "diag/report.h"
#include "diag/sound.h"
#include "platform/com_probe.h"
#include "platform/sound.h"
#include "probe/netaddr.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

class Amplifier : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.as_sysroot();
    ASSERT_TRUE(sys_.write("sys/bus/usb/devices/.keep", ""));
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // the port map: no ports unless linked
    std::memset(com_port_states, 0, sizeof com_port_states);
  }
  void TearDown() override { EXPECT_EQ(pnp_device_count, 0) << "the list outlived the run"; }
  // One USB device as sysfs shows it (identifiers in lower-case hex, as the kernel
  // writes them), with the name of its serial tty if it has one.
  void usb(const std::vector<std::string>& a) {
    const std::string d = "sys/bus/usb/devices/" + a[0] + "/";
    for (const auto& [file, value] : {std::pair<std::string, std::string>{"idVendor", a[1]}, {"idProduct", a[2]},
                                      {"product", a[3]}, {"serial", "SN" + a[0]}})
      sys_.write(d + file, value + "\n");
    if (a.size() > 4) sys_.write(d + a[0] + ":1.0/" + a[4] + "/dev", "188:0\n");
  }
  TempRoot sys_, root_;
  Pty line_;
};

// The reports over USB devices and serial ports, as a transcript
// (tests/golden/diag_amplifier.txt): "usb" adds a device, "bus" empties the bus, "com"
// links a port of the map and probes the ports, "run" runs the test, "feed"/"fed" start
// and await a writer on the pseudo-terminal.
TEST_F(Amplifier, Transcript) {
  pid_t feeder = -1;
  EXPECT_TRUE(script_match("diag_amplifier.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    if (w == "usb") usb(a);
    if (w == "bus") sys_.remove("sys/bus/usb/devices");
    if (w == "bus") sys_.write("sys/bus/usb/devices" + std::string(a.empty() ? "/.keep" : ""), a.empty() ? "" : a[0]);
    if (w == "com") root_.symlink_to("dev/COM" + a[0], a[1] == "pty" ? line_.name : a[1]);
    if (w == "com") probe_com_ports(COM_PORTS, com_port_states);
    if (w == "find") {
      PnpDeviceNode* n = find_pnp_device(a[0].c_str(), a.size() > 1 ? a[1].c_str() : nullptr);
      return std::string(n ? n->device_id : "none") + " " + std::to_string(pnp_device_count) + "\n";
    }
    if (w == "forget") find_pnp_device(nullptr, nullptr);
    // "feed": another process sends 1234 bytes in pieces to the pty once the probe listens.
    if (w == "feed" && (feeder = fork()) == 0) {
      char piece[100];
      for (int i = 0; i < 100; ++i) piece[i] = static_cast<char>('A' + i % 26);
      usleep(1500 * 1000);
      for (int sent = 0; sent < 1234; sent += 100, usleep(200 * 1000))
        if (write(line_.master, piece, std::min(100, 1234 - sent)) < 0) _exit(1);
      _exit(0);
    }
    if (w == "fed") return std::string(feeder > 0 && waitpid(feeder, nullptr, 0) == feeder ? "" : "no feeder\n");
    if (w == "run" && root_.devs(a[1])) return std::to_string(amplifier_test(a[0] == "1")) + "\n" + report_text;
    return w == "forget" ? std::to_string(pnp_device_count) + "\n" : "";
  }));
}

const std::string kSysroot = std::string(LP_SOURCE_DIR) + "/tests/fixtures/sysroot-usb2cpu";
const std::string kFigures =
    "Cores=4,Procs=8,Speed=2100,Mem=16318480\nCPU=Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz\n";

// Each case runs in a child process of its own (the system line is read at most once per
// process), which ends with 0 when it found what it should and shows what it found.
void child_ends(const std::string& got, bool good) {
  std::fputs(got.c_str(), stderr);
  std::_Exit(good ? 0 : 1);
}

// Once read, the line stays; a failed attempt leaves it empty and the next one tries again.
TEST(SystemLine, ReadOnceAndTriedAgainAfterAFailure) {
  TempRoot empty;
  for (bool first_fails : {false, true}) {
    auto read_twice = [&] {
      setenv("QUMEX_SYSROOT", first_fails ? empty.path().c_str() : kSysroot.c_str(), 1);
      std::string got = system_line();
      setenv("QUMEX_SYSROOT", first_fails ? kSysroot.c_str() : empty.path().c_str(), 1);
      got += "|" + std::string(system_line());
      child_ends(got, got == (first_fails ? "" : kFigures) + "|" + kFigures);
    };
    EXPECT_EXIT(read_twice(), ::testing::ExitedWithCode(0), "") << first_fails;
  }
}

std::string g_shown;
void show_address(const char* text) { g_shown = text; }

// The rescan replaces the panel's report (its text is checked through the program) and
// shows the host line in the address field.
TEST(Rescan, PanelGetsTheReportAndTheAddressFieldTheHostLine) {
  TempRoot root;
  root.mkdir("dev");  // a port map without any COM port
  ASSERT_TRUE(root.write("BIN/Tunecfg.", "1.0\n"));
  setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
  auto rescan = [] {
    report_attach_address(show_address);
    panel_append("old report\n");
    rescan_action();
    const std::string got = std::string(report_text).substr(0, 20) + "|" + g_shown + "|" + host_line;
    child_ends(got, got.rfind("Version       : 1.0\n|", 0) == 0 && g_shown == host_line &&
                        (g_shown.rfind("I am ", 0) == 0 || g_shown.rfind("Network setup error", 0) == 0));
  };
  EXPECT_EXIT(rescan(), ::testing::ExitedWithCode(0), "");
}

int g_alerts = 0;
void count_alert() { ++g_alerts; }

TEST(LocalSound, AlertOnlyWhenTheFileFails) {
  TempRoot root;
  const std::string wav = root.path() + "/Games/reward.wav";
  ASSERT_TRUE(alsa_to_file(root.path() + "/asound.conf", root.path() + "/captured.raw"));
  plat_sound_set_alert(count_alert);
  local_sound_test();  // no reward.wav at all: the alert, no samples
  EXPECT_EQ(g_alerts, 1);
  EXPECT_EQ(root.read("captured.raw"), "");
  root.mkdir("Games");
  const std::string want = write_wav(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 300);
  local_sound_test();
  EXPECT_EQ(root.read("captured.raw"), want);
  // A default device that does not exist: the file is good, the device is not; no alert.
  ASSERT_TRUE(root.write("asound.conf", "pcm.!default { type hw card 97 }\n"));
  EXPECT_EQ(plat_play_wav(wav.c_str()), 2);
  EXPECT_EQ(g_alerts, 1);
  ASSERT_TRUE(root.write("Games/reward.wav", "RIFF not really a wave file"));
  EXPECT_EQ(plat_play_wav(wav.c_str()), 1);
  EXPECT_EQ(plat_play_wav(nullptr), 1);
  EXPECT_EQ(g_alerts, 3);
  plat_sound_set_alert(nullptr);
}

TEST(PhantomPort, RefusedNodeWithoutUartIsAbsentAndTheGameLinkSaysSo) {
  TempRoot sys, root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);  // the refused user must reach both roots
  ASSERT_EQ(chmod(sys.path().c_str(), 0755), 0);
  sys.as_sysroot();
  Pty phantom, uart;
  // What sysfs tells every user about the tty behind a node: its UART type (0: none).
  for (const auto& p : {std::pair<Pty*, const char*>{&phantom, "0\n"}, {&uart, "4\n"}}) {
    struct stat st;
    ASSERT_EQ(fstat(p.first->slave, &st), 0);
    ASSERT_TRUE(sys.write("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev)) + "/type", p.second));
  }
  ASSERT_TRUE(root.symlink_to("dev/COM3", phantom.name));
  ASSERT_TRUE(root.symlink_to("dev/COM4", uart.name));
  // A node the kernel has no device for at all (major 0): no sysfs entry, refused to a user.
  // Only root makes one; without it COM5 is simply missing.
  if (geteuid() == 0) {
    ASSERT_EQ(mknod((root.path() + "/ghost").c_str(), S_IFCHR | 0600, makedev(0, 0)), 0);
    ASSERT_TRUE(root.symlink_to("dev/COM5", root.path() + "/ghost"));
  }
  ASSERT_TRUE(root.devs("DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM3\n"));
  // Opened by whoever may: still no port without its UART.
  EXPECT_EQ(plat_com_probe(3, nullptr), PLAT_COM_ABSENT);
  EXPECT_EQ(plat_com_probe(4, nullptr), PLAT_COM_FREE);
  EXPECT_EQ(plat_com_probe(5, nullptr), PLAT_COM_ABSENT);
  ASSERT_EQ(fchmod(phantom.slave, 0), 0);
  ASSERT_EQ(fchmod(uart.slave, 0), 0);
  // As a user who may not open them (COM3 has no UART, COM4 has one and refuses, COM5 no
  // device), the states and the game link's answer come back as the exit code.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    probe_com_ports(COM_PORTS, com_port_states);
    read_device_settings();
    _exit(com_port_states[3] * 100 + com_port_states[4] * 10 + com_port_states[5] * 3 + (open_game_link() == GAME_LINK_NO_PORT));
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 21) << status;
}

}  // namespace
