// Device and system queries against fixture system roots: the answers a Windows machine
// gives for the same hardware, and the failure codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "probe/wmi.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kFixtures = std::string(LP_SOURCE_DIR) + "/tests/fixtures";

struct Roots {
  Roots(const std::string& sys, const std::string& root) {
    setenv("QUMEX_SYSROOT", sys.c_str(), 1);
    setenv("QUMEX_ROOT", root.c_str(), 1);
  }
  ~Roots() {
    wmi_release();
    unsetenv("QUMEX_SYSROOT");
    unsetenv("QUMEX_ROOT");
  }
};

std::string prop(const char* name, int index, int* rc = nullptr) {
  char buf[300];
  int r = wmi_get_property(name, index, buf, sizeof buf);
  if (rc) *rc = r;
  return r == 0 ? std::string(buf) : "<" + std::to_string(r) + ">";
}

// Property answers of the open query; a failure code reads "<code>".
struct Prop { const char* name; int index; const char* want; };
void expect_props(std::initializer_list<Prop> props) {
  for (const Prop& p : props) EXPECT_EQ(prop(p.name, p.index), p.want) << p.name << " #" << p.index;
}

}  // namespace

TEST(Wmi, PnpEntitiesListUsbDevicesWithComPorts) {
  Roots r(kFixtures + "/sysroot-usb2cpu", kFixtures + "/root-usb");
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), 0);
  const char* want[][2] = {
      {"USB\\VID_0403&PID_6001\\A6008ISP", "FT232R USB UART (COM3)"},
      {"USB\\VID_0EA9&PID_0002\\1-2", "J&J USB Interface"},
      {"USB\\VID_0C72&PID_000C\\AB12CD", ""}, {"USB\\VID_0AC2&PID_1000\\1-3.4", "Atlantis (COM5)"},
      {"USB\\VID_1167&PID_0104\\ESI-77", "esiPRO"}, {"USB\\VID_1D6B&PID_0002\\0000:00:14.0", "xHCI Host Controller"}};
  char id[400], name[400];
  for (auto& w : want) {
    ASSERT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), 0);
    EXPECT_EQ(std::string(id) + "|" + name, std::string(w[0]) + "|" + w[1]);
  }
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), -1);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), -1);  // stays open, stays at end
  // Properties count from the first object whatever was walked before.
  expect_props({{"Manufacturer", 0, "FTDI"}, {"DeviceID", 5, "USB\\VID_1D6B&PID_0002\\0000:00:14.0"},
                {"DeviceID", 6, "<-1>"}, {"NoSuchProperty", 0, "<10>"}});
  // A property walk moves the enumerator: the next device is the one after it.
  EXPECT_EQ(prop("name", 1), "J&J USB Interface");  // property names ignore case
  ASSERT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), 0);
  EXPECT_STREQ(id, "USB\\VID_0C72&PID_000C\\AB12CD");
  // A small buffer is cut, never overrun.
  char small[8];
  ASSERT_EQ(wmi_get_property("Name", 0, small, sizeof small), 0);
  EXPECT_STREQ(small, "FT232R ");
}

TEST(Wmi, WithoutComMapPortsFollowLegacyUarts) {
  // No <root>/dev: COMn is /dev/ttyS{n-1}, so no USB tty is a COM port.
  Roots r(kFixtures + "/sysroot-usb2cpu", "/nonexistent-qumex-root");
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), 0);
  expect_props({{"Name", 0, "FT232R USB UART"}, {"Name", 3, "Atlantis"}});
}

TEST(Wmi, ProcessorsAndMemoryOfATwoPackageMachine) {
  Roots r(kFixtures + "/sysroot-usb2cpu", kFixtures + "/root-usb");
  ASSERT_EQ(wmi_open_query("CIM_OperatingSystem"), 0);
  expect_props({{"TotalVisibleMemorySize", 0, "16318480"}, {"TotalVisibleMemorySize", 1, "<-1>"}});
  char id[100], name[100];
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), -1);  // the walk reached the end
  ASSERT_EQ(wmi_open_query("CIM_OperatingSystem"), 0);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), 10);  // no DeviceID here
  wmi_release();

  ASSERT_EQ(wmi_open_query("Win32_Processor"), 0);
  // 2099.998 MHz reads 2100, whole as Windows gives it.
  expect_props({{"NumberOfCores", 0, "2"}, {"NumberOfLogicalProcessors", 0, "4"}, {"CurrentClockSpeed", 0, "2100"},
                {"Name", 0, "Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz"}, {"NumberOfCores", 1, "2"},
                {"NumberOfLogicalProcessors", 1, "4"}, {"CurrentClockSpeed", 1, "800"}, {"DeviceID", 1, "CPU1"},
                {"NumberOfCores", 2, "<-1>"}, {"TotalVisibleMemorySize", 0, "<10>"}});
}

TEST(Wmi, FailureCodes) {
  char buf[64], name[64];
  wmi_release();
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), 1);
  EXPECT_EQ(wmi_next_device(buf, sizeof buf, name, sizeof name), 1);
  wmi_release();  // releasing a closed query does nothing

  Roots r(kFixtures + "/sysroot-usb2cpu", kFixtures + "/root-usb");
  EXPECT_EQ(wmi_open_query("Win32_DiskDrive"), 6);
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), 1);  // a failed open leaves it closed

  TempRoot t;
  setenv("QUMEX_SYSROOT", t.path().c_str(), 1);
  EXPECT_EQ(wmi_open_query("CIM_OperatingSystem"), 4);  // no /proc/meminfo
  t.mkdir("proc/meminfo");
  EXPECT_EQ(wmi_open_query("CIM_OperatingSystem"), 5);  // opens, but cannot be read
  // No USB bus at all: an empty list, as on a machine without USB.
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), 0);
  EXPECT_EQ(wmi_next_device(buf, sizeof buf, name, sizeof name), -1);
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), -1);
  wmi_release();

  std::string longroot(5000, 'x');
  setenv("QUMEX_SYSROOT", ("/" + longroot).c_str(), 1);
  EXPECT_EQ(wmi_open_query("Win32_Processor"), 1);
}

// Malformed kernel files give an empty field or a failure code, never a crash.
TEST(Wmi, MalformedSourcesAreSurvived) {
  TempRoot t;
  Roots r(t.path(), "/nonexistent-qumex-root");
  std::string binary;
  for (int i = 0; i < 4096; i++) binary.push_back(static_cast<char>((i * 131) & 0xFF));
  t.write("proc/meminfo", binary);
  t.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Trunc\x01ated\ncpu MHz\t\t: 99999999999999.9\n"
                          "physical id\t: 4294967296\ncore id\t: 7\nprocessor\t: 1\ncpu cor");
  t.write("sys/bus/usb/devices/1-1/idVendor", "04");                  // truncated
  t.write("sys/bus/usb/devices/1-1/idProduct", "6001\n");
  t.write("sys/bus/usb/devices/1-2/idVendor", "0403\n");
  t.write("sys/bus/usb/devices/1-2/idProduct", "6001\n");
  t.write("sys/bus/usb/devices/1-2/product", binary);                 // binary name
  t.write("sys/bus/usb/devices/1-2/serial", std::string(100000, 'S'));  // huge serial
  t.mkdir("sys/bus/usb/devices/1-3");                                // no attributes at all

  ASSERT_EQ(wmi_open_query("CIM_OperatingSystem"), 0);
  EXPECT_EQ(prop("TotalVisibleMemorySize", 0), "");

  ASSERT_EQ(wmi_open_query("Win32_Processor"), 0);
  // Packages come in physical-id order: the truncated block (id 0) before the clamped id.
  // A control byte empties the name; the speed is clamped to 0xFFFFFFFF, printed signed.
  expect_props({{"NumberOfLogicalProcessors", 0, "1"}, {"CurrentClockSpeed", 0, "0"}, {"Name", 1, ""},
                {"CurrentClockSpeed", 1, "-1"}, {"NumberOfCores", 1, "1"}, {"NumberOfCores", 2, "<-1>"}});

  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), 0);
  char id[400], name[400];
  ASSERT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), 0);
  EXPECT_STREQ(id, "USB\\VID_0403&PID_6001\\1-2");  // serial too long for its field: none
  EXPECT_STREQ(name, "");
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), -1);

  // A huge cpuinfo is read up to its bound, not to the end.
  std::string big;
  while (big.size() < (20u << 20)) big += "processor\t: 1\nphysical id\t: 0\n\n";
  t.write("proc/cpuinfo", big);
  ASSERT_EQ(wmi_open_query("Win32_Processor"), 0);
  int rc = 0;
  std::string logical = prop("NumberOfLogicalProcessors", 0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_GT(std::atol(logical.c_str()), 100000);
}
