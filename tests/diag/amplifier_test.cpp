// The amplifier test against fixture system roots: USB devices as sysfs lists them
// (QUMEX_SYSROOT), settings under QUMEX_ROOT, serial ports as <root>/dev/COMn links.
// Reports are compared byte for byte, in-process and through "linkprobe STARTUPTEST".
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/panel.h"
#include "diag/amplifier.h"
#include "probe/ports.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

const char* kOpening =
    "These tests are just to confirm something is there!  Actual 'testing' must be\n"
    "performed with the Amplifier/Encoder Test in Qumex->Tools\n";
const char* kAdvice =
    "You should receive characters with few errors if the ProComp was ON\n"
    "You shouldn't receive characters if it was OFF\n  (maybe the wrong channel?)\n";

// One USB device as sysfs shows it (identifiers in lower-case hex, as the kernel writes
// them); tty: the name of its serial tty, if it has one.
struct Usb { const char *bus, *vid, *pid, *product, *tty; };
const Usb kTtusb = {"1-7", "0403", "ff20", "TTUSB", nullptr};

class Amplifier : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.as_sysroot();
    ASSERT_TRUE(sys_.write("sys/bus/usb/devices/.keep", ""));
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // the port map: no ports unless linked
    std::memset(com_port_states, 0, sizeof com_port_states);
  }
  void TearDown() override { EXPECT_EQ(pnp_device_count, 0) << "the list outlived the run"; }
  void usb(const Usb& u) {
    std::string d = std::string("sys/bus/usb/devices/") + u.bus + "/";
    for (const auto& f : {std::pair<const char*, std::string>{"idVendor", u.vid}, {"idProduct", u.pid},
                          {"product", u.product}, {"serial", std::string("SN") + u.bus}})
      ASSERT_TRUE(sys_.write(d + f.first, f.second + "\n"));
    if (u.tty) {
      ASSERT_TRUE(sys_.write(d + u.bus + ":1.0/" + u.tty + "/dev", "188:0\n"));
    }
  }
  // COMn of the port map, pointing at a device node; the rescan has seen it.
  void com(int n, const std::string& target) {
    ASSERT_TRUE(root_.symlink_to("dev/COM" + std::to_string(n), target));
    probe_com_ports(COM_PORTS, com_port_states);
  }
  // Runs the test on Input_Source=source (plus more settings) and checks the report:
  // the opening when interactive, then "Examining", body and "Done".
  void expect_report(const std::string& source, const std::string& more, bool interactive, const std::string& body,
                     int result) {
    ASSERT_TRUE(root_.devs("Input_Source=" + source + "\n" + more));
    EXPECT_EQ(amplifier_test(interactive), result);
    EXPECT_EQ(report_text, (interactive ? kOpening : "") + ("\nExamining " + source + "\n") + body + "\nDone\n");
  }
  TempRoot sys_, root_;
  Pty line_;
};

TEST_F(Amplifier, ReportsOverUsbDevices) {
  const struct { const char *source, *more; std::vector<Usb> usb; const char* body; int result; } cases[] = {
      {"TTUSB", "", {kTtusb}, "Looks like a TTUSB is plugged in\n", 0},
      {"TTUSB", "", {}, "Checking other amplifiers\nUnhandled device : TTUSB\n", 1},
      {"C2+mini", "", {{"1-1", "0ea9", "0003", "J&J", nullptr}}, "", 0},
      {"GP8", "", {}, "Unable to locate J&J device\nChecking other amplifiers\n", 1},
      {"esiPRO", "", {{"1-1", "1167", "2001", "esiPro", nullptr}}, "", 0},
      {"A200", "", {}, "Unable to locate esiPro/A200/A400\nChecking other amplifiers\n", 1},
      {"Q20", "", {{"1-1", "0c72", "0012", "PCAN-USB Pro", nullptr}}, "", 0},  // any product
      {"Q20", "", {}, "Unable to locate PCAN-USB/Q20\nChecking other amplifiers\n", 1},
      {"A400", "", {{"2-1", "1167", "1100", "esiPro", nullptr}},
       "Hmmm... looks like the esiPro/A200/A400 drivers not correct\nChecking other amplifiers\nesiPro/A400/A200 found\n", 1},
      // The sweep goes in its own order, whatever the order of the bus.
      {"Pendant", "",
       {{"1-1", "0c72", "000c", "PCAN-USB", nullptr}, {"1-2", "0c72", "0012", "PCAN-USB Pro", nullptr},
        {"1-3", "0403", "e958", "Wiz", nullptr}, {"1-4", "1167", "2001", "esiPro", nullptr},
        {"1-5", "0ac2", "0001", "Atlantis", nullptr}, {"1-6", "0ea9", "0003", "J&J", nullptr}, kTtusb},
       "Checking other amplifiers\nTTUSB found\nJ&J amplifier found\nAtlantis/Discovery found\n"
       "esiPro/A400/A200 found\n*-Wiz device found\nPCAN-USB Q20 device found\nUnhandled device : Pendant\n", 1},
      // A Q20 of another product: the family search takes it, the sweep does not.
      {"A/D", "", {{"1-2", "0c72", "0012", "PCAN-USB Pro", nullptr}}, "Checking other amplifiers\nUnhandled device : A/D\n", 1},
      // An Input_Source that names no amplifier selects the first row, the ProSB.
      {"Mystery", "ProComp=COM4\n", {},
       "COM4 specified is not a valid com port\nChecking other amplifiers\nUnhandled device : Mystery\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + (c.usb.empty() ? " absent" : " present"));
    sys_.remove("sys/bus/usb/devices");
    ASSERT_TRUE(sys_.write("sys/bus/usb/devices/.keep", ""));
    for (const Usb& u : c.usb) usb(u);
    expect_report(c.source, c.more, false, c.body, c.result);
  }
  // A file where the device folder should be: the query fails, and every search asks again.
  sys_.remove("sys/bus/usb/devices");
  ASSERT_TRUE(sys_.write("sys/bus/usb/devices", "not a folder\n"));
  std::string fail = "Unable to query devices : 4\n", body = fail + "Checking other amplifiers\n";
  for (int i = 0; i < 6; ++i) body += fail;
  expect_report("TTUSB", "", false, body + "Unhandled device : TTUSB\n", 1);
}

TEST_F(Amplifier, PortChecksOfWizAndBrainMaster) {
  // The Wiz sits on COM5 (its tty is COM5 in the port map) while the settings say COM3.
  usb({"3-1", "0403", "e958", "Wiz", "ttyUSB0"});
  com(5, "/dev/ttyUSB0");
  com(3, line_.name);
  expect_report("Wiz", "ProComp=COM3\n", true, "Actual port is COM5 and not COM3 as specified\n", 0);
  // On the port the device names, but that node cannot be opened (the fixture's
  // /dev/ttyUSB0 is not there): only the probe's verdict is told.
  expect_report("Wiz", "ProComp=COM5\n", false, "COM5 specified is not a valid com port\n", 0);
  expect_report("BrainMaster", "ProComp=COM7\n", false,
                "Unable to locate Atlantis/Discovery device\nCOM7 specified is not a valid com port\n"
                "Checking other amplifiers\n*-Wiz device found\n", 1);
}

TEST_F(Amplifier, DeviceListIsCachedWithinARunOnly) {
  usb({"4-1", "0ea9", "0003", "J&J", nullptr});
  ASSERT_NE(find_pnp_device("VID_0EA9", nullptr), nullptr);
  EXPECT_EQ(pnp_device_count, 1);
  usb(kTtusb);  // plugged in after the list was made
  EXPECT_EQ(find_pnp_device("VID_0403", "PID_FF20"), nullptr);
  EXPECT_EQ(find_pnp_device("VID_0EA9", "PID_0004"), nullptr);  // product must match too
  find_pnp_device(nullptr, nullptr);
  EXPECT_EQ(pnp_device_count, 0);
  PnpDeviceNode* n = find_pnp_device("VID_0403", "PID_FF20");
  ASSERT_NE(n, nullptr);
  EXPECT_NE(std::strstr(n->device_id, "USB\\VID_0403&PID_FF20\\"), nullptr) << n->device_id;
  EXPECT_EQ(pnp_device_count, 2);
  find_pnp_device(nullptr, nullptr);
}

// The ProComp/ProSB serial probe on a pseudo-terminal as COM2: another process feeds
// the line in pieces once the probe listens, then a silent line.
TEST_F(Amplifier, ProSBCountsTheBytesAnotherProcessSends) {
  com(2, line_.name);
  ASSERT_EQ(com_port_states[2], 1);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    usleep(1500 * 1000);
    char piece[100];
    for (int i = 0; i < 100; ++i) piece[i] = static_cast<char>('A' + i % 26);
    for (int sent = 0; sent < 1234; sent += 100) {
      int n = 1234 - sent < 100 ? 1234 - sent : 100;
      if (write(line_.master, piece, static_cast<size_t>(n)) != n) _exit(1);
      usleep(200 * 1000);
    }
    _exit(0);
  }
  expect_report("ProSB", "ProComp=COM2\n", false,
                std::string("Received 1234 characters with 0 errors from the ProSB\n") + kAdvice, 0);
  int st = 0;
  EXPECT_EQ(waitpid(writer, &st, 0), writer);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  expect_report("ProSB", "ProComp=COM2\n", false,
                std::string("Received 0 characters with 0 errors from the ProSB\n") + kAdvice + "Checking other amplifiers\n", 1);
}

// "linkprobe STARTUPTEST": no window, the exit code tells whether the amplifier is
// there, and ampstatus.txt in the current folder holds a failed report.
TEST_F(Amplifier, StartupTestLeavesOnlyAFailedReport) {
  unsetenv("DISPLAY");  // a window, if one were made, could not open
  TempRoot cwd;
  root_.as_root();
  auto run = [&](const std::string& arg) {
    return run_program({LP_BINARY_DIR "/app/linkprobe", "STARTUPDIR=/opt/qumex/BIN/", arg}, cwd.path(), nullptr);
  };
  const char* failed = "\nExamining TTUSB\nChecking other amplifiers\nUnhandled device : TTUSB\n\nDone\n";
  ASSERT_TRUE(root_.devs("Input_Source=TTUSB\n"));
  ASSERT_TRUE(cwd.write("ampstatus.txt", "old report of another amplifier\n"));
  EXPECT_EQ(run("xSTARTUPTESTx"), 1);  // found in a longer word, it still selects the test
  EXPECT_EQ(cwd.read("ampstatus.txt"), failed);
  usb(kTtusb);
  for (int i = 0; i < 2; ++i) {  // found: the old report goes, and a second run agrees
    EXPECT_EQ(run("STARTUPTEST"), 0);
    EXPECT_FALSE(cwd.exists("ampstatus.txt"));
  }
}

}  // namespace
