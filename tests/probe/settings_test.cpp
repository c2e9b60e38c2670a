#include "probe/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/support/temp_root.h"

namespace {

const char* kDevs = "PREFERENCES/SETTINGS/DEVS.NIN";
const char* kDevsBin = "BIN/SETTINGS/DEVS.NIN";
const char* kOpts = "PREFERENCES/SETTINGS/DEVOPTS.NIN";

std::string fixture(const char* name) {
  std::ifstream in(std::string(LP_SOURCE_DIR) + "/tests/fixtures/settings/" + name,
                   std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
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
  void expect_defaults() {
    const DeviceSettings& s = device_settings;
    EXPECT_EQ(s.amp_port, 1);
    EXPECT_STREQ(s.amp_port_name, "COM1");
    EXPECT_STREQ(s.input_source, "");
    EXPECT_EQ(s.device_code, 0);
    EXPECT_EQ(s.ethernet_port, 5510);
    EXPECT_EQ(s.ethernet_address, nullptr);
    EXPECT_EQ(s.game_port, 0);
    EXPECT_EQ(s.comm_class, 1);
    EXPECT_EQ(s.display_mode, 0);
    EXPECT_EQ(s.procomp_protocol_b, 0);
  }
  TempRoot root;
};

TEST(FindSetting, SkipsBlanksAndEqualsAndKeepsLineEnd) {
  EXPECT_STREQ(find_setting("ProComp = COM3\n", "ProComp"), "COM3\n");
  EXPECT_STREQ(find_setting("ProComp= =  =COM3", "ProComp"), "COM3");
  EXPECT_STREQ(find_setting("xxProCompyy", "ProComp"), "yy");
  EXPECT_STREQ(find_setting("ProComp", "ProComp"), "");
  EXPECT_STREQ(find_setting("DisplayMode\t=2\n", "DisplayMode"), "\t=2\n");
  EXPECT_EQ(find_setting("procomp=COM3", "ProComp"), nullptr);
  EXPECT_EQ(find_setting(nullptr, "ProComp"), nullptr);
  // The first occurrence decides.
  EXPECT_STREQ(find_setting("ProCompProtocol=B ProComp=COM4", "ProComp"), "Protocol=B ProComp=COM4");
}

TEST(FindDevice, PrefixCaseInsensitiveFirstMatchWins) {
  EXPECT_EQ(find_device("spectrum4\n"), 7);
  EXPECT_EQ(find_device("GP8"), 13);
  EXPECT_EQ(find_device("C2mini"), 10);
  EXPECT_EQ(find_device("C2+mini"), 4);
  EXPECT_EQ(find_device("c2+"), 5);
  EXPECT_EQ(find_device("C2"), 11);
  EXPECT_EQ(find_device("Q20x"), 26);
  EXPECT_EQ(find_device("Q2"), 0);  // shorter than the name: no match
  EXPECT_EQ(find_device("Nothing"), 0);
  EXPECT_EQ(find_device(""), 0);
  EXPECT_EQ(find_device(nullptr), 0);
}

TEST(DeviceTable, RowsInOrderWithEndMarker) {
  EXPECT_STREQ(device_table[0].name, "ProSB");
  EXPECT_EQ(device_table[0].code, 1);
  EXPECT_STREQ(device_table[14].name, "GP8");
  EXPECT_EQ(device_table[15].code, 30);
  EXPECT_STREQ(device_table[19].name, "Atlantis");
  EXPECT_EQ(device_table[19].code, 51);
  EXPECT_STREQ(device_table[26].name, "Q20");
  EXPECT_EQ(device_table[26].code, 80);
  EXPECT_EQ(device_table[27].name, nullptr);
  int rows = 0;
  while (device_table[rows].name) ++rows;
  EXPECT_EQ(rows, 27);
}

TEST(SettingNumber, AtoiReadingWithoutOverflow) {
  EXPECT_EQ(setting_number(" \t-12x"), -12);
  EXPECT_EQ(setting_number("+7"), 7);
  EXPECT_EQ(setting_number("x7"), 0);
  EXPECT_EQ(setting_number(""), 0);
  EXPECT_EQ(setting_number("99999999999999999999999"), 2147483647);
  EXPECT_EQ(setting_number("-99999999999999999999999"), -2147483647 - 1);
}

TEST_F(Settings, FixtureFilesFillEveryField) {
  root.write(kDevs, fixture("DEVS.NIN"));
  root.write(kOpts, fixture("DEVOPTS.NIN"));
  read_device_settings();
  const DeviceSettings& s = device_settings;
  EXPECT_EQ(s.amp_port, 3);
  EXPECT_STREQ(s.amp_port_name, "COM3");
  EXPECT_STREQ(s.input_source, "C2mini");
  EXPECT_EQ(s.device_code, 23);
  EXPECT_EQ(s.ethernet_port, 5600);
  ASSERT_NE(s.ethernet_address, nullptr);
  EXPECT_STREQ(s.ethernet_address, "192.168.7.2  ");  // trailing blanks stay
  EXPECT_EQ(s.game_port, 2);
  EXPECT_EQ(s.comm_class, 0);
  EXPECT_EQ(s.display_mode, 1);
  EXPECT_EQ(s.procomp_protocol_b, 1);
}

TEST_F(Settings, ResetFieldsResetAndKeptFieldsKept) {
  root.write(kDevs, fixture("DEVS.NIN"));
  root.write(kOpts, fixture("DEVOPTS.NIN"));
  read_device_settings();
  root.write(kDevs, "Unrelated=1\n");
  root.write(kOpts, "ProCompProtocol=A\n");
  read_device_settings();
  const DeviceSettings& s = device_settings;
  EXPECT_EQ(s.amp_port, 1);
  EXPECT_STREQ(s.amp_port_name, "COM1");
  EXPECT_EQ(s.procomp_protocol_b, 0);
  EXPECT_STREQ(s.input_source, "C2mini");
  EXPECT_EQ(s.device_code, 23);
  EXPECT_EQ(s.ethernet_port, 5600);
  EXPECT_STREQ(s.ethernet_address, "192.168.7.2  ");
  EXPECT_EQ(s.game_port, 2);
  EXPECT_EQ(s.comm_class, 0);
  EXPECT_EQ(s.display_mode, 1);
}

TEST_F(Settings, PortValues) {
  struct Case {
    const char* text;
    int amp, game;
  } cases[] = {
      {"ProComp = COM3\nGame_comm = COM2\n", 3, 2},
      {"ProComp=COM\nGame_comm=COM\n", 1, 0},
      {"ProComp=CO\n", 1, 0},       // "C" + 2 characters: no number
      {"ProComp=C\nGame_comm=C", 1, 0},  // value ends before the skipped three
      {"ProComp=XYZ7\n", 1, 0},     // not "C": unchanged (reset value)
      {"ProComp=Cxx12\n", 12, 0},   // the three are skipped uncompared
      {"ProComp=COM0\n", 1, 0},
      {"ProComp=COM-4\n", -4, 0},
      {"Game_comm = none\n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    device_settings.game_port = 0;
    root.write(kDevs, c.text);
    read_device_settings();
    EXPECT_EQ(device_settings.amp_port, c.amp);
    EXPECT_EQ(device_settings.game_port, c.game);
  }
  root.write(kDevs, "Game_comm = COM9\n");
  read_device_settings();
  root.write(kDevs, "Game_comm = none\n");
  read_device_settings();
  EXPECT_EQ(device_settings.game_port, 9);
}

TEST_F(Settings, KeysInsideOtherValuesCount) {
  root.write(kDevs, "ProCompProtocol=B\nInput_Source = ProComp2\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 1);
  EXPECT_STREQ(device_settings.input_source, "ProComp2");
  EXPECT_EQ(device_settings.device_code, 1);
  // One line can set several fields; "DisplayMode" found inside a value.
  root.write(kDevs, "Input_Source=GP8 DisplayMode=2 ProComp=COM5\n");
  read_device_settings();
  EXPECT_EQ(device_settings.device_code, 26);
  EXPECT_EQ(device_settings.display_mode, 2);
  EXPECT_EQ(device_settings.amp_port, 5);
  EXPECT_STREQ(device_settings.input_source, "GP8 DisplayMode=2 ProComp=COM5");
}

TEST_F(Settings, ClassAndDisplayMode) {
  struct Case {
    const char* text;
    int comm, display;
  } cases[] = {
      {"Communications_class=Serial\nDisplayMode=2\n", 0, 2},
      {"Communications_class=serial\nDisplayMode=Dual\n", 1, 1},
      {"Communications_class=\nDisplayMode=single\n", 1, 0},
      {"Communications_class\t=Serial\nDisplayMode\t=2\n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    root.write(kDevs, c.text);
    read_device_settings();
    EXPECT_EQ(device_settings.comm_class, c.comm);
    EXPECT_EQ(device_settings.display_mode, c.display);
  }
}

TEST_F(Settings, CutRulesForSourceAndAddress) {
  root.write(kDevs,
             "Input_Source = Spectrum4\xe9tude\n"
             "EthernetAddress = host\tname\n");
  read_device_settings();
  EXPECT_STREQ(device_settings.input_source, "Spectrum4");
  EXPECT_EQ(device_settings.device_code, 20);
  EXPECT_STREQ(device_settings.ethernet_address, "host");
  // An accented letter right away: the copy is empty, the lookup sees the whole value.
  root.write(kDevs, "Input_Source = \xe9GP\nEthernetAddress=\xff" "abc\n");
  read_device_settings();
  EXPECT_STREQ(device_settings.input_source, "");
  EXPECT_EQ(device_settings.device_code, 1);
  ASSERT_NE(device_settings.ethernet_address, nullptr);
  EXPECT_STREQ(device_settings.ethernet_address, "");
  // Bytes 15..31 stay in the source (cut below 15), not in the address (cut below 32).
  root.write(kDevs, "Input_Source=Wiz\x10x\nEthernetAddress=a\x10x\n");
  read_device_settings();
  EXPECT_STREQ(device_settings.input_source, "Wiz\x10x");
  EXPECT_EQ(device_settings.device_code, 70);
  EXPECT_STREQ(device_settings.ethernet_address, "a");
  // At most 30 characters.
  root.write(kDevs, "Input_Source=" + std::string(50, 'Q') + "\n");
  read_device_settings();
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
  root.write(kDevs + std::string("/x"), "ProComp=COM8\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 7);
  // The preferences file wins when it is a file; DEVOPTS has no fallback.
  root.remove(kDevs);
  root.write(kDevs, "ProComp=COM4\n");
  root.write("BIN/SETTINGS/DEVOPTS.NIN", "ProCompProtocol=B\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 4);
  EXPECT_EQ(device_settings.procomp_protocol_b, 0);
  root.mkdir(kOpts);
  read_device_settings();
  EXPECT_EQ(device_settings.procomp_protocol_b, 0);
}

TEST_F(Settings, MissingFilesKeepDefaults) {
  read_device_settings();
  expect_defaults();
  root.mkdir(kDevs);
  root.mkdir(kDevsBin);
  read_device_settings();
  expect_defaults();
}

TEST_F(Settings, LongLinesAreReadInPieces) {
  // The key in the second 199-byte piece is found; a key split across pieces is not.
  std::string line = std::string(199, 'x') + "DisplayMode=2\n";
  root.write(kDevs, line);
  read_device_settings();
  EXPECT_EQ(device_settings.display_mode, 2);
  line = std::string(194, 'x') + "DisplayMode=2\n";
  root.write(kDevs, "DisplayMode=Dual\n" + line);
  read_device_settings();
  EXPECT_EQ(device_settings.display_mode, 1);
  // A 1 MB line with nothing to find, then a real line.
  root.write(kDevs, std::string(1 << 20, 'A') + "\nProComp=COM6\n");
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 6);
  // A 1 MB line made of one key repeated: every piece sets it, nothing breaks.
  std::string big;
  while (big.size() < (1u << 20)) big += "EthernetAddress=";
  root.write(kDevs, big);
  read_device_settings();
  ASSERT_NE(device_settings.ethernet_address, nullptr);
  EXPECT_LT(std::strlen(device_settings.ethernet_address), 200u);
}

TEST_F(Settings, BinaryGarbageGivesDefaults) {
  std::mt19937 gen(1234);
  std::string junk;
  for (int i = 0; i < 200000; ++i) {
    char c = static_cast<char>(gen() & 0xff);
    // Keep the garbage free of accidental keys by avoiding their first letters.
    if (c == 'P' || c == 'I' || c == 'E' || c == 'G' || c == 'C' || c == 'D') c = '\0';
    junk += c;
  }
  root.write(kDevs, junk);
  root.write(kOpts, junk);
  read_device_settings();
  expect_defaults();
  // Garbage around real keys: a line still counts up to its first NUL byte.
  using namespace std::string_literals;
  root.write(kDevs, "\0\xff\x80garbage\n"s + "ProComp=COM2\0junk\n"s + "\0DisplayMode=2\n"s +
                        "\x01\x02\x03"s);
  read_device_settings();
  EXPECT_EQ(device_settings.amp_port, 2);
  EXPECT_EQ(device_settings.display_mode, 0);
}

}  // namespace
