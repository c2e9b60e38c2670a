// The amplifier test against fixture system roots: USB devices as sysfs lists them
// (QUMEX_SYSROOT), settings under QUMEX_ROOT, serial ports as <root>/dev/COMn links.
// Reports are compared byte for byte.

#include <algorithm>
#include <cstring>

#include "app/panel.h"
#include "diag/amplifier.h"
#include "probe/ports.h"
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
    std::string d = "sys/bus/usb/devices/" + a[0] + "/";
    sys_.write(d + "idVendor", a[1] + "\n");
    sys_.write(d + "idProduct", a[2] + "\n");
    sys_.write(d + "product", a[3] + "\n");
    sys_.write(d + "serial", "SN" + a[0] + "\n");
    if (a.size() > 4) sys_.write(d + a[0] + ":1.0/" + a[4] + "/dev", "188:0\n");
  }
  // Runs the test on the settings; the result, then the report.
  std::string run(const std::string& devs, bool interactive) {
    root_.devs(devs);
    return std::to_string(amplifier_test(interactive)) + "\n" + report_text;
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
    return w == "run" ? run(a[1], a[0] == "1") : w == "forget" ? std::to_string(pnp_device_count) + "\n" : "";
  }));
}

}  // namespace
