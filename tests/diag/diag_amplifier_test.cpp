// The amplifier test against fixture system roots: USB devices as sysfs lists them
// (QUMEX_SYSROOT), settings under QUMEX_ROOT, serial ports as <root>/dev/COMn links.
// Reports are compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/panel.h"
#include "diag/amplifier.h"
#include "diag_helpers.h"
#include "probe/ports.h"
#include "probe/settings.h"

namespace {

using diagtest::TempRoot;

const char* kOpening =
    "These tests are just to confirm something is there!  Actual 'testing' must be\n"
    "performed with the Amplifier/Encoder Test in Qumex->Tools\n";

class Amplifier : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    ASSERT_TRUE(sys_.ok());
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    setenv("QUMEX_SYSROOT", sys_.path().c_str(), 1);
    ASSERT_TRUE(sys_.write("sys/bus/usb/devices/.keep", ""));
    ASSERT_TRUE(root_.write("dev/.keep", ""));  // the port map: no ports unless linked
    std::memset(com_port_states, 0, sizeof com_port_states);
  }
  void TearDown() override {
    for (int fd : masters_) close(fd);
    EXPECT_EQ(pnp_device_count, 0) << "the list outlived the run";
  }
  // A pseudo-terminal that stays open for the test; returns its slave's path.
  std::string pty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || !ptsname(m)) {
      ADD_FAILURE() << "no pseudo-terminal";
      if (m >= 0) close(m);
      return "/nonexistent";
    }
    masters_.push_back(m);
    return ptsname(m);
  }
  std::vector<int> masters_;

  void devs(const std::string& text) {
    ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN", text));
  }
  // One USB device as sysfs shows it (the identifiers in lower-case hex, as the kernel
  // writes them); tty: the name of its serial tty, if it has one.
  void usb(const std::string& bus, const char* vid, const char* pid, const char* product,
           const char* tty = nullptr) {
    std::string d = "sys/bus/usb/devices/" + bus + "/";
    ASSERT_TRUE(sys_.write(d + "idVendor", std::string(vid) + "\n"));
    ASSERT_TRUE(sys_.write(d + "idProduct", std::string(pid) + "\n"));
    ASSERT_TRUE(sys_.write(d + "product", std::string(product) + "\n"));
    ASSERT_TRUE(sys_.write(d + "serial", "SN" + bus + "\n"));
    if (tty) {
      ASSERT_TRUE(sys_.write(d + bus + ":1.0/" + tty + "/dev", "188:0\n"));
    }
  }
  // COMn of the port map, pointing at a device node; marks it existing for the test.
  void com(int n, const std::string& target) {
    ASSERT_TRUE(root_.symlink_to("dev/COM" + std::to_string(n), target));
    probe_com_ports(COM_PORTS, com_port_states);
  }
  std::string run(bool interactive, int* result) {
    *result = amplifier_test(interactive);
    return report_text;
  }
  TempRoot root_, sys_;
};

TEST_F(Amplifier, UsbFamiliesFoundAndNotFound) {
  struct Case {
    const char* source;
    const char* vid;  // device present, or null for none
    const char* pid;
    int result;
    const char* body;  // between the Examining line and "\nDone\n"
  } cases[] = {
      {"TTUSB", "0403", "ff20", 0, "Looks like a TTUSB is plugged in\n"},
      {"TTUSB", nullptr, nullptr, 1, "Checking other amplifiers\nUnhandled device : TTUSB\n"},
      {"C2+mini", "0ea9", "0003", 0, ""},
      {"GP8", nullptr, nullptr, 1, "Unable to locate J&J device\nChecking other amplifiers\n"},
      {"esiPRO", "1167", "2001", 0, ""},
      {"A200", nullptr, nullptr, 1, "Unable to locate esiPro/A200/A400\nChecking other amplifiers\n"},
      {"Q20", "0c72", "0012", 0, ""},  // any product of the vendor
      {"Q20", nullptr, nullptr, 1, "Unable to locate PCAN-USB/Q20\nChecking other amplifiers\n"},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + (c.vid ? " present" : " absent"));
    std::string bus = "1-" + std::to_string(++i);
    if (c.vid) usb(bus, c.vid, c.pid, "Amplifier");
    devs(std::string("Input_Source=") + c.source + "\n");
    int r = -1;
    std::string text = run(false, &r);
    EXPECT_EQ(text, std::string("\nExamining ") + c.source + "\n" + c.body + "\nDone\n");
    EXPECT_EQ(r, c.result);
    if (c.vid) sys_.remove("sys/bus/usb/devices/" + bus);
  }
}

TEST_F(Amplifier, SweepListsOtherAmplifiersInItsOrder) {
  // Present in the reverse of the sweep's order, plus a Q20 of another product, which
  // the family search would take but the sweep does not.
  usb("1-1", "0c72", "000c", "PCAN-USB");
  usb("1-2", "0c72", "0012", "PCAN-USB Pro");
  usb("1-3", "0403", "e958", "Wiz");
  usb("1-4", "1167", "2001", "esiPro");
  usb("1-5", "0ac2", "0001", "Atlantis");
  usb("1-6", "0ea9", "0003", "J&J");
  usb("1-7", "0403", "ff20", "TTUSB");
  devs("Input_Source=Pendant\n");
  int r = -1;
  EXPECT_EQ(run(false, &r),
            "\nExamining Pendant\nChecking other amplifiers\nTTUSB found\nJ&J amplifier found\n"
            "Atlantis/Discovery found\nesiPro/A400/A200 found\n*-Wiz device found\n"
            "PCAN-USB Q20 device found\nUnhandled device : Pendant\n\nDone\n");
  EXPECT_EQ(r, 1);

  sys_.remove("sys/bus/usb/devices/1-1");
  devs("Input_Source=A/D\n");
  std::string text = run(false, &r);
  EXPECT_EQ(text.find("PCAN-USB Q20 device found\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Unhandled device : A/D\n\nDone\n"), std::string::npos) << text;
  EXPECT_EQ(r, 1);
}

TEST_F(Amplifier, EsiProWithTheWrongDriver) {
  usb("2-1", "1167", "1100", "esiPro");
  devs("Input_Source=A400\n");
  int r = -1;
  EXPECT_EQ(run(false, &r),
            "\nExamining A400\nHmmm... looks like the esiPro/A200/A400 drivers not correct\n"
            "Checking other amplifiers\nesiPro/A400/A200 found\n\nDone\n");
  EXPECT_EQ(r, 1);
}

TEST_F(Amplifier, PortChecksOfWizAndBrainMaster) {
  // The Wiz sits on COM5 (its tty is COM5 in the port map) while the settings say COM3.
  usb("3-1", "0403", "e958", "Wiz", "ttyUSB0");
  com(5, "/dev/ttyUSB0");
  com(3, pty());
  devs("Input_Source=Wiz\nProComp=COM3\n");
  int r = -1;
  EXPECT_EQ(run(true, &r), std::string(kOpening) +
                               "\nExamining Wiz\nActual port is COM5 and not COM3 as specified\n"
                               "\nDone\n");
  EXPECT_EQ(r, 0);

  // Configured on the port the device names, but that port's node cannot be opened
  // (the fixture's /dev/ttyUSB0 is not there): only the probe's verdict is told.
  devs("Input_Source=Wiz\nProComp=COM5\n");
  EXPECT_EQ(run(false, &r), "\nExamining Wiz\nCOM5 specified is not a valid com port\n\nDone\n");
  EXPECT_EQ(r, 0);

  // A BrainMaster that is not there, on a port that does not exist.
  devs("Input_Source=BrainMaster\nProComp=COM7\n");
  EXPECT_EQ(run(false, &r),
            "\nExamining BrainMaster\nUnable to locate Atlantis/Discovery device\n"
            "COM7 specified is not a valid com port\nChecking other amplifiers\n"
            "*-Wiz device found\n\nDone\n");
  EXPECT_EQ(r, 1);
}

TEST_F(Amplifier, DeviceQueryFailureIsToldAtEverySearch) {
  // The USB device list cannot be read (a file where the folder should be): the query
  // itself fails, and every search asks again.
  sys_.remove("sys/bus/usb/devices");
  ASSERT_TRUE(sys_.write("sys/bus/usb/devices", "not a folder\n"));
  devs("Input_Source=TTUSB\n");
  int r = -1;
  std::string text = run(false, &r);
  std::string fail = "Unable to query devices : 4\n";
  std::string want = "\nExamining TTUSB\n" + fail + "Checking other amplifiers\n";
  for (int i = 0; i < 6; ++i) want += fail;
  want += "Unhandled device : TTUSB\n\nDone\n";
  EXPECT_EQ(text, want);
  EXPECT_EQ(r, 1);
}

TEST_F(Amplifier, DeviceListIsCachedWithinARunOnly) {
  usb("4-1", "0ea9", "0003", "J&J");
  ASSERT_NE(find_pnp_device("VID_0EA9", nullptr), nullptr);
  EXPECT_EQ(pnp_device_count, 1);
  usb("4-2", "0403", "ff20", "TTUSB");  // plugged in after the list was made
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

// ---- the ProComp/ProSB serial probe, on a pseudo-terminal ----

class ProSB : public Amplifier {
 protected:
  void SetUp() override {
    Amplifier::SetUp();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    const char* slave = ptsname(master_);
    ASSERT_NE(slave, nullptr);
    com(2, slave);
    ASSERT_EQ(com_port_states[2], 1);
  }
  void TearDown() override {
    if (writer_ > 0) {
      int st = 0;
      waitpid(writer_, &st, 0);
    }
    if (master_ >= 0) close(master_);
    Amplifier::TearDown();
  }
  // Another process feeds count bytes into the line, in pieces, once the probe listens.
  void feed(int count) {
    writer_ = fork();
    ASSERT_GE(writer_, 0);
    if (writer_ == 0) {
      usleep(1500 * 1000);
      char piece[100];
      for (int i = 0; i < 100; ++i) piece[i] = static_cast<char>('A' + i % 26);
      for (int sent = 0; sent < count; sent += 100) {
        int n = count - sent < 100 ? count - sent : 100;
        if (write(master_, piece, static_cast<size_t>(n)) != n) _exit(1);
        usleep(200 * 1000);
      }
      _exit(0);
    }
  }
  int master_ = -1;
  pid_t writer_ = -1;
};

const char* kAdvice =
    "You should receive characters with few errors if the ProComp was ON\n"
    "You shouldn't receive characters if it was OFF\n  (maybe the wrong channel?)\n";

TEST_F(ProSB, CountsTheBytesAnotherProcessSends) {
  devs("Input_Source=ProSB\nProComp=COM2\n");
  feed(1234);
  int r = -1;
  EXPECT_EQ(run(false, &r), std::string("\nExamining ProSB\n") +
                                "Received 1234 characters with 0 errors from the ProSB\n" +
                                kAdvice + "\nDone\n");
  EXPECT_EQ(r, 0);
}

TEST_F(ProSB, SilentLine) {
  devs("Input_Source=ProSB\nProComp=COM2\n");
  int r = -1;
  EXPECT_EQ(run(false, &r), std::string("\nExamining ProSB\n") +
                                "Received 0 characters with 0 errors from the ProSB\n" + kAdvice +
                                "Checking other amplifiers\n\nDone\n");
  EXPECT_EQ(r, 1);
}

TEST_F(ProSB, PortThatDoesNotExist) {
  // An Input_Source that names no amplifier selects the first row, the ProSB.
  devs("Input_Source=Mystery\nProComp=COM4\n");
  int r = -1;
  EXPECT_EQ(run(false, &r),
            "\nExamining Mystery\nCOM4 specified is not a valid com port\n"
            "Checking other amplifiers\nUnhandled device : Mystery\n\nDone\n");
  EXPECT_EQ(r, 1);
}

}  // namespace
