// The device settings files: key search, the device table, number reading, every field's
// rules and the file locations as a transcript (tests/golden/probe_settings.txt); long
// and binary files here.
#include "probe/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "tests/support/golden.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::string_literals;

class Settings : public ::testing::Test {
 protected:
  // Every test starts from the values a fresh process has.
  void SetUp() override {
    std::free(device_settings.ethernet_address);
    device_settings = DeviceSettings{1, "", "", 0, 5510, nullptr, 0, 1, 0, 0};
  }
  void TearDown() override { SetUp(); }
  std::string devs(const std::string& text) {
    root.devs(text);
    read_device_settings();
    return fields();
  }
  // All fields in one line, so a mismatch shows every one of them.
  static std::string fields() {
    const DeviceSettings& s = device_settings;
    char buf[400];
    std::string addr = s.ethernet_address ? "[" + std::string(s.ethernet_address).substr(0, 200) + "]" : "null";
    std::snprintf(buf, sizeof buf, "amp=%d %s src=[%s] dev=%d eport=%d addr=%s game=%d class=%d display=%d protoB=%d\n",
                  s.amp_port, s.amp_port_name, s.input_source, s.device_code, s.ethernet_port, addr.c_str(),
                  s.game_port, s.comm_class, s.display_mode, s.procomp_protocol_b);
    return buf;
  }
  TempRoot root;
};

TEST_F(Settings, Transcript) {
  root.copy_from("settings");
  EXPECT_TRUE(script_match("probe_settings.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    const char* arg = a.empty() ? nullptr : a[0].c_str();
    if (w == "key") {
      const char* got = find_setting(arg, a[1].c_str());
      return std::string(got ? got : "null") + "\n";
    }
    if (w == "device") return std::to_string(find_device(arg)) + "\n";
    if (w == "number") return std::to_string(setting_number(arg)) + "\n";
    if (w == "devs") return devs(a[0]);
    if (w == "write") return std::string(root.write(a[0], a[1]) ? "" : "not written\n");
    if (w == "copy") return std::string(root.write(a[1], root.read(a[0])) ? "" : "not copied\n");
    if (w == "mkdir") root.mkdir(a[0]);
    if (w == "rm") root.remove(a[0]);
    if (w == "read") read_device_settings();
    return w == "read" ? fields() : "";
  }));
}

TEST_F(Settings, LongLinesAndBinaryGarbage) {
  // The key in the second 199-byte piece is found; a key split across pieces is not.
  EXPECT_NE(devs(std::string(199, 'x') + "DisplayMode=2\n").find("display=2"), std::string::npos);
  EXPECT_NE(devs("DisplayMode=Dual\n" + std::string(194, 'x') + "DisplayMode=2\n").find("display=1"),
            std::string::npos);
  EXPECT_EQ(devs(std::string(1 << 20, 'A') + "\nProComp=COM6\n").find("amp=6 "), 0u);  // nothing, then a real line
  std::string big;  // a 1 MB line of one key repeated: every piece sets it, nothing breaks
  while (big.size() < (1u << 20)) big += "EthernetAddress=";
  devs(big);
  ASSERT_NE(device_settings.ethernet_address, nullptr);
  EXPECT_LT(std::strlen(device_settings.ethernet_address), 200u);
  SetUp();
  std::mt19937 gen(1234);
  std::string junk;  // free of accidental keys: none of their first letters
  for (int i = 0; i < 200000; ++i) {
    char c = static_cast<char>(gen() & 0xff);
    junk += std::strchr("PIEGCD", c) ? '\0' : c;
  }
  root.write("PREFERENCES/SETTINGS/DEVOPTS.NIN", junk);
  EXPECT_EQ(devs(junk), "amp=1 COM1 src=[] dev=0 eport=5510 addr=null game=0 class=1 display=0 protoB=0\n");
  // Garbage around real keys: a line still counts up to its first NUL byte.
  EXPECT_EQ(devs("\0\xff\x80garbage\n"s + "ProComp=COM2\0junk\n"s + "\0DisplayMode=2\n"s).substr(0, 6), "amp=2 ");
  EXPECT_EQ(device_settings.display_mode, 0);
}

}  // namespace
