#include "probe/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "tests/support/temp_root.h"

namespace {

using namespace std::string_literals;

const char* kDevs = "PREFERENCES/SETTINGS/DEVS.NIN";
const char* kDevsBin = "BIN/SETTINGS/DEVS.NIN";
const char* kOpts = "PREFERENCES/SETTINGS/DEVOPTS.NIN";
const char* kDefaults = "amp=1 COM1 src=[] dev=0 eport=5510 addr=null game=0 class=1 display=0 protoB=0";
const char* kFromFixtures =
    "amp=3 COM3 src=[C2mini] dev=23 eport=5600 addr=[192.168.7.2  ] game=2 class=0 display=1 protoB=1";

std::string fixture(const char* name) {
  std::ifstream in(std::string(LP_SOURCE_DIR) + "/tests/fixtures/settings/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every test starts from the values a fresh process has.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    std::free(device_settings.ethernet_address);
    device_settings = DeviceSettings{1, "", "", 0, 5510, nullptr, 0, 1, 0, 0};
  }
  void TearDown() override {
    std::free(device_settings.ethernet_address);
    device_settings.ethernet_address = nullptr;
  }
  void devs(const std::string& text) {
    root.write(kDevs, text);
    read_device_settings();
  }
  // All fields in one line, so a mismatch shows every one of them.
  static std::string fields() {
    const DeviceSettings& s = device_settings;
    char buf[400];
    const char* a = s.ethernet_address;
    std::string addr = a ? "[" + std::string(a).substr(0, 200) + "]" : "null";
    std::snprintf(buf, sizeof buf, "amp=%d %s src=[%s] dev=%d eport=%d addr=%s game=%d class=%d display=%d protoB=%d",
                  s.amp_port, s.amp_port_name, s.input_source, s.device_code, s.ethernet_port, addr.c_str(),
                  s.game_port, s.comm_class, s.display_mode, s.procomp_protocol_b);
    return buf;
  }
  TempRoot root;
};

TEST(FindSetting, SkipsBlanksAndEqualsAndKeepsLineEnd) {
  const struct { const char *line, *want; } cases[] = {
      {"ProComp = COM3\n", "COM3\n"}, {"ProComp= =  =COM3", "COM3"}, {"xxProCompyy", "yy"}, {"ProComp", ""},
      {"procomp=COM3", nullptr},  // case counts
      {"ProCompProtocol=B ProComp=COM4", "Protocol=B ProComp=COM4"},  // the first occurrence decides
  };
  for (const auto& c : cases) {
    const char* got = find_setting(c.line, "ProComp");
    EXPECT_EQ(got ? std::string(got) : "null", c.want ? c.want : "null") << c.line;
  }
  EXPECT_STREQ(find_setting("DisplayMode\t=2\n", "DisplayMode"), "\t=2\n");
  EXPECT_EQ(find_setting(nullptr, "ProComp"), nullptr);
}

TEST(FindDevice, PrefixCaseInsensitiveFirstMatchWins) {
  const struct { const char* value; int row; } cases[] = {
      {"spectrum4\n", 7}, {"GP8", 13}, {"C2mini", 10}, {"C2+mini", 4}, {"c2+", 5}, {"C2", 11},
      {"Q20x", 26}, {"Q2", 0}, {"Nothing", 0}, {"", 0}, {nullptr, 0}};  // "Q2" is shorter than "Q20"
  for (const auto& c : cases) EXPECT_EQ(find_device(c.value), c.row) << (c.value ? c.value : "null");
}

TEST(SettingNumber, AtoiReadingWithoutOverflow) {
  const struct { const char* text; int want; } cases[] = {
      {" \t-12x", -12}, {"+7", 7}, {"x7", 0}, {"", 0},
      {"99999999999999999999999", 2147483647}, {"-99999999999999999999999", -2147483647 - 1}};
  for (const auto& c : cases) EXPECT_EQ(setting_number(c.text), c.want) << c.text;
}

TEST_F(Settings, FixtureFilesFillEveryFieldThenOnlyResetFieldsReset) {
  root.write(kOpts, fixture("DEVOPTS.NIN"));
  devs(fixture("DEVS.NIN"));
  EXPECT_EQ(fields(), kFromFixtures);  // trailing blanks of the address stay
  root.write(kOpts, "ProCompProtocol=A\n");
  devs("Unrelated=1\n");
  EXPECT_EQ(fields(),
            "amp=1 COM1 src=[C2mini] dev=23 eport=5600 addr=[192.168.7.2  ] game=2 class=0 display=1 protoB=0");
}

// Each case is read after the one before it: kept fields carry over.
TEST_F(Settings, FieldValues) {
  const struct { const char* text; int amp, game, comm, display; const char* source; int device; } cases[] = {
      {"ProComp = COM3\nGame_comm = COM2\n", 3, 2, 1, 0, "", 0},
      {"ProComp=COM\nGame_comm=COM\n", 1, 0, 1, 0, "", 0},
      {"ProComp=CO\n", 1, 0, 1, 0, "", 0},             // "C" + 2 characters: no number
      {"ProComp=C\nGame_comm=C", 1, 0, 1, 0, "", 0},   // value ends before the skipped three
      {"ProComp=XYZ7\n", 1, 0, 1, 0, "", 0},           // not "C": the reset value
      {"ProComp=Cxx12\n", 12, 0, 1, 0, "", 0},         // the three are skipped uncompared
      {"ProComp=COM0\n", 1, 0, 1, 0, "", 0},
      {"ProComp=COM-4\n", -4, 0, 1, 0, "", 0},
      {"Game_comm = COM9\n", 1, 9, 1, 0, "", 0},
      {"Game_comm = none\n", 1, 9, 1, 0, "", 0},       // kept
      {"Communications_class=Serial\nDisplayMode=2\n", 1, 9, 0, 2, "", 0},
      {"Communications_class=serial\nDisplayMode=Dual\n", 1, 9, 1, 1, "", 0},
      {"Communications_class=\nDisplayMode=single\n", 1, 9, 1, 0, "", 0},
      {"Communications_class=Serial\nDisplayMode=2\n", 1, 9, 0, 2, "", 0},
      {"Communications_class\t=Serial\nDisplayMode\t=2\n", 1, 9, 1, 0, "", 0},
      // Keys inside other values count; one line can set several fields.
      {"ProCompProtocol=B\nInput_Source = ProComp2\n", 1, 9, 1, 0, "ProComp2", 1},
      {"Input_Source=GP8 DisplayMode=2 ProComp=COM5\n", 5, 9, 1, 2, "GP8 DisplayMode=2 ProComp=COM5", 26},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    devs(c.text);
    EXPECT_EQ(device_settings.amp_port, c.amp);
    EXPECT_EQ(device_settings.game_port, c.game);
    EXPECT_EQ(device_settings.comm_class, c.comm);
    EXPECT_EQ(device_settings.display_mode, c.display);
    EXPECT_STREQ(device_settings.input_source, c.source);
    EXPECT_EQ(device_settings.device_code, c.device);
  }
}

TEST_F(Settings, CutRulesForSourceAndAddress) {
  const struct { const char *text, *source; int device; const char* address; } cases[] = {
      {"Input_Source = Spectrum4\xe9tude\nEthernetAddress = host\tname\n", "Spectrum4", 20, "host"},
      // An accented letter right away: the copy is empty, the lookup sees the whole value.
      {"Input_Source = \xe9GP\nEthernetAddress=\xff" "abc\n", "", 1, ""},
      // Bytes 15..31 stay in the source (cut below 15), not in the address (cut below 32).
      {"Input_Source=Wiz\x10x\nEthernetAddress=a\x10x\n", "Wiz\x10x", 70, "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    devs(c.text);
    EXPECT_STREQ(device_settings.input_source, c.source);
    EXPECT_EQ(device_settings.device_code, c.device);
    ASSERT_NE(device_settings.ethernet_address, nullptr);
    EXPECT_STREQ(device_settings.ethernet_address, c.address);
  }
  devs("Input_Source=" + std::string(50, 'Q') + "\n");
  EXPECT_EQ(std::string(device_settings.input_source), std::string(30, 'Q'));
}

TEST_F(Settings, FallbackLocationAndDirectoryInstead) {
  root.write(kDevsBin, "ProComp=COM7\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 7);
  // A folder where the preferences file should be: the program location is used.
  root.mkdir(kDevs);
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 7);
  root.write(kDevs + "/x"s, "ProComp=COM8\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 7);
  // The preferences file wins when it is a file; DEVOPTS has no fallback.
  root.remove(kDevs);
  root.write("BIN/SETTINGS/DEVOPTS.NIN", "ProCompProtocol=B\n");
  devs("ProComp=COM4\n");
  EXPECT_EQ(device_settings.amp_port, 4);
  EXPECT_EQ(device_settings.procomp_protocol_b, 0);
  root.mkdir(kOpts);
  read_device_settings();
  EXPECT_EQ(device_settings.procomp_protocol_b, 0);
}

TEST_F(Settings, MissingFilesKeepDefaults) {
  read_device_settings();
  EXPECT_EQ(fields(), kDefaults);
  root.mkdir(kDevs);
  root.mkdir(kDevsBin);
  read_device_settings();
  EXPECT_EQ(fields(), kDefaults);
}

TEST_F(Settings, LongLinesAreReadInPieces) {
  // The key in the second 199-byte piece is found; a key split across pieces is not.
  devs(std::string(199, 'x') + "DisplayMode=2\n");
  EXPECT_EQ(device_settings.display_mode, 2);
  devs("DisplayMode=Dual\n" + std::string(194, 'x') + "DisplayMode=2\n");
  EXPECT_EQ(device_settings.display_mode, 1);
  devs(std::string(1 << 20, 'A') + "\nProComp=COM6\n");  // nothing to find, then a real line
  EXPECT_EQ(device_settings.amp_port, 6);
  // A 1 MB line made of one key repeated: every piece sets it, nothing breaks.
  std::string big;
  while (big.size() < (1u << 20)) big += "EthernetAddress=";
  devs(big);
  ASSERT_NE(device_settings.ethernet_address, nullptr);
  EXPECT_LT(std::strlen(device_settings.ethernet_address), 200u);
}

TEST_F(Settings, BinaryGarbageGivesDefaults) {
  std::mt19937 gen(1234);
  std::string junk;
  for (int i = 0; i < 200000; ++i) {
    char c = static_cast<char>(gen() & 0xff);
    // Keep the garbage free of accidental keys by avoiding their first letters.
    junk += std::strchr("PIEGCD", c) ? '\0' : c;
  }
  root.write(kOpts, junk);
  devs(junk);
  EXPECT_EQ(fields(), kDefaults);
  // Garbage around real keys: a line still counts up to its first NUL byte.
  devs("\0\xff\x80garbage\n"s + "ProComp=COM2\0junk\n"s + "\0DisplayMode=2\n"s + "\x01\x02\x03"s);
  EXPECT_EQ(device_settings.amp_port, 2);
  EXPECT_EQ(device_settings.display_mode, 0);
}

}  // namespace
