// The settings text lists: put, get and remove by key prefix, settings messages parsed
// into them, and the list of changed names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commlib/settings_list.h"

namespace {

// A settings message: type, command, length, two spare bytes, text length, text, then
// four sequence bytes.
std::vector<uint8_t> message(const std::string& text, int text_len = -1) {
  if (text_len < 0) text_len = int(text.size());
  const size_t n = 12 + text.size();
  std::string m = {char(0x99), 0, char(n & 0xff), char(n >> 8), 0, 0, char(text_len & 0xff), char(text_len >> 8)};
  m += text + std::string("\1\0\0\0", 4);
  return std::vector<uint8_t>(m.begin(), m.end());
}

int parse(const std::vector<uint8_t>& m) { return settings_parse(m.data(), int(m.size())); }

std::string get(const char* key) {
  const char* v = settings_get(key);
  return v ? v : "<none>";
}

std::string changed() {
  std::string names;
  while (const char* n = settings_next_changed()) names += std::string(n) + ";";
  return names;
}

struct SettingsList : ::testing::Test {
  void SetUp() override { qc::settings_clear_all(); }
  void TearDown() override { qc::settings_clear_all(); }
};

TEST_F(SettingsList, PutGetRemoveByPrefix) {
  EXPECT_EQ(settings_put("a", "1") + settings_put("x", "9"), 2);
  EXPECT_EQ(get("a"), "=1");             // the rest after the key
  EXPECT_EQ(settings_put("A", "5"), 1);  // replaces, whatever the case
  EXPECT_EQ(get("a="), "5");
  settings_remove("A");
  EXPECT_EQ(get("a"), "<none>");
  EXPECT_EQ(get("x"), "=9");
  EXPECT_EQ(settings_put("flag", nullptr), 1);
  EXPECT_EQ(get("FLAG"), "");
  EXPECT_EQ(settings_get(nullptr), nullptr);
  settings_remove(nullptr);  // without a key: all of them
  EXPECT_EQ(get("x") + get("flag"), "<none><none>");
  settings_put("alpha", "1");
  EXPECT_EQ(get("al"), "pha=1");
  settings_put("al", "2");  // "al" begins "alpha=1": that entry is replaced
  EXPECT_EQ(get("alpha"), "<none>");
  EXPECT_EQ(get("al="), "2");
  // 301 characters are refused, 279 fit; no name is no entry.
  std::string name(100, 'n'), fits(279 - 101, 'v');
  EXPECT_EQ(settings_put(name.c_str(), std::string(200, 'v').c_str()), 0);
  EXPECT_EQ(settings_get(name.c_str()), nullptr);
  EXPECT_EQ(settings_put(name.c_str(), fits.c_str()), 1);
  EXPECT_EQ(get(name.c_str()), "=" + fits);
  EXPECT_EQ(settings_put("", "1") + settings_put(nullptr, "1"), 0);
  // Neither an over-long line nor one without a name reaches the lists.
  EXPECT_EQ(parse(message("=1\nbig=" + std::string(300, 'x') + "\nok=2\n")), 1);
  EXPECT_EQ(get("big"), "<none>");
  EXPECT_EQ(get(name.c_str()), "=" + fits);  // an empty name would have hit this entry
  EXPECT_EQ(changed(), "ok;");
}

TEST_F(SettingsList, ParseStoresLinesAndListsEachChangedNameOnce) {
  EXPECT_EQ(parse(message("a=1\nb=2\nA=3\nc")), 3);
  EXPECT_EQ(get("a=") + get("b=") + get("c"), "32");
  EXPECT_EQ(changed(), "A;b;");  // once, in place
  EXPECT_EQ(settings_next_changed(), nullptr);
  parse(message("z=1\n"));
  qc::settings_clear_all();  // empties both lists
  EXPECT_EQ(get("b") + get("z"), "<none><none>");
  EXPECT_EQ(settings_next_changed(), nullptr);
  // A zero text length stores nothing and empties the changed list.
  settings_put("keep", "1");
  parse(message("z=1\n"));
  EXPECT_EQ(parse(message("a=1\nb=2", 0)), 0);
  EXPECT_EQ(get("a"), "<none>");
  EXPECT_EQ(settings_next_changed(), nullptr);
  EXPECT_EQ(get("keep="), "1");
}

TEST_F(SettingsList, WalkStopsAtZeroByteTextLengthAndMessageEnd) {
  EXPECT_EQ(parse(message(std::string("a=1\0b=2", 7))), 1);
  EXPECT_EQ(get("b"), "<none>");
  EXPECT_EQ(parse(message("c=3\nd=4", 5)), 1);  // text cut after "c=3\nd"
  EXPECT_EQ(get("c=") + "|" + get("d"), "3|");
  // The text length claims far more than the message carries: the walk stops at the
  // caller's size and at the message's length field.
  auto m = message("e=1\nf=2", 1000);
  m.resize(8 + 5);  // the caller holds "e=1\nf" only
  EXPECT_EQ(parse(m), 1);
  EXPECT_EQ(get("f"), "");
  auto n = message("x=1\ny=2", 1000);
  n[2] = 8 + 3;  // the length field ends after "x=1"
  EXPECT_EQ(parse(n), 1);
  EXPECT_EQ(get("y"), "<none>");
  EXPECT_EQ(settings_parse(n.data(), 7) + settings_parse(nullptr, 100), 0);
}

}  // namespace
