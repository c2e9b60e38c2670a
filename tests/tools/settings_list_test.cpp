// The settings text lists through their entry points, as a transcript
// (tests/golden/tools_settings_list.txt): put, get and remove by key prefix, settings
// messages parsed into them, and the list of changed names.

#include "commlib/settings_list.h"
#include "tests/support/golden.h"

namespace {

// "(null)" stands for a null pointer, in arguments and in results.
const char* arg(const std::vector<std::string>& a, size_t i) {
  return i < a.size() && a[i] != "(null)" ? a[i].c_str() : nullptr;
}

// A settings message: type, command, length, two spare bytes, text length, text, then four
// sequence bytes. Optional: the text length claimed, the bytes the caller holds, the length field.
std::string parse(const std::vector<std::string>& a) {
  const std::string& text = a.at(0);
  size_t n = 12 + text.size(), claim = a.size() > 1 ? std::stoul(a[1]) : text.size();
  if (a.size() > 3) n = std::stoul(a[3]);
  std::string m = {char(0x99), 0, char(n & 0xff), char(n >> 8), 0, 0, char(claim & 0xff), char(claim >> 8)};
  m += text + std::string("\1\0\0\0", 4);
  int hold = a.size() > 2 ? std::stoi(a[2]) : int(m.size());
  return std::to_string(settings_parse(reinterpret_cast<const uint8_t*>(m.data()), hold)) + "\n";
}

TEST(SettingsList, Transcript) {
  qc::settings_clear_all();
  EXPECT_TRUE(script_match("tools_settings_list.txt", [](const std::string& w, const std::vector<std::string>& a) {
    std::string out;
    if (w == "put") out = std::to_string(settings_put(arg(a, 0), arg(a, 1))) + "\n";
    if (w == "get") out = settings_get(arg(a, 0)) ? std::string(settings_get(arg(a, 0))) + "\n" : "(null)\n";
    if (w == "remove") settings_remove(arg(a, 0));
    if (w == "parse") out = parse(a);
    if (w == "parse-null") out = std::to_string(settings_parse(nullptr, 100)) + "\n";
    for (const char* n; w == "changed" && (n = settings_next_changed()) != nullptr;) out += std::string(n) + ";";
    if (w == "changed") out += "\n";
    if (w == "clear") qc::settings_clear_all();
    return out;
  }));
  qc::settings_clear_all();
}

}  // namespace
