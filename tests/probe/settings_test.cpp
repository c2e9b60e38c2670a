// The device settings files: key search, the device table, number reading, every field's
// rules, the file locations, long and binary files, as a transcript
// (tests/golden/probe_settings.txt).
#include "probe/settings.h"

#include <cstdlib>
#include <cstring>
#include <random>

#include "tests/support/golden.h"
#include "tests/support/temp_root.h"

namespace {

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
    // Long files: "long" a run of one character then a tail, "repeat" a text up to a
    // size, "junk" random bytes free of accidental keys (none of their first letters).
    if (w == "reset") SetUp();
    if (w == "long") return devs(std::string(std::stoul(a[0]), a[1][0]) + a[2]);
    std::string big;
    std::mt19937 gen(1234);
    while (w == "repeat" && big.size() < std::stoul(a[0])) big += a[1];
    for (int i = 0; w == "junk" && i < 200000; ++i) {
      char c = static_cast<char>(gen() & 0xff);
      big += std::strchr("PIEGCD", c) ? '\0' : c;
    }
    if (w == "junk") root.write("PREFERENCES/SETTINGS/DEVOPTS.NIN", big);
    if (w == "repeat" || w == "junk") return devs(big);
    if (w == "write") return std::string(root.write(a[0], a[1]) ? "" : "not written\n");
    if (w == "copy") return std::string(root.write(a[1], root.read(a[0])) ? "" : "not copied\n");
    if (w == "mkdir") root.mkdir(a[0]);
    if (w == "rm") root.remove(a[0]);
    if (w == "read") read_device_settings();
    return w == "read" ? fields() : "";
  }));
}

}  // namespace
