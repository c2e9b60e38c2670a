#include "tests/support/golden.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string golden_path(const char* name) { return std::string(LP_SOURCE_DIR "/tests/golden/") + name; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i] == '\\' && i + 1 < s.size() ? s[++i] : 0;
    if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 0 ? s[i] : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

// Control bytes escaped; "%" ends a last line that has no line end.
std::string shown(const std::string& out) {
  std::string s;
  char hex[8];
  for (unsigned char c : out) {
    std::snprintf(hex, sizeof hex, c == '\n' || (c >= 32 && c < 127) ? "%c" : "\\x%02x", c);
    s += hex;
  }
  return s.empty() || s.back() == '\n' ? s : s + "%\n";
}

}  // namespace

::testing::AssertionResult golden_match(const char* name, const std::string& actual) {
  std::string path = golden_path(name);
  const char* update = std::getenv("LP_GOLDEN_UPDATE");
  if (update && std::strcmp(update, "1") == 0) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << actual;
    out.close();
    return out.fail() ? ::testing::AssertionFailure() << "cannot write " << path : ::testing::AssertionSuccess();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "no golden file " << path << " (LP_GOLDEN_UPDATE=1 writes it)";
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (expected == actual) return ::testing::AssertionSuccess();
  std::vector<std::string> e = lines_of(expected), a = lines_of(actual);
  size_t n = 0;
  while (n < e.size() && n < a.size() && e[n] == a[n]) ++n;
  const bool same_lines = e == a;
  if (same_lines && n > 0) --n;  // only a line end differs: show the last line
  auto line = [](const std::vector<std::string>& v, size_t i) { return i < v.size() ? "\"" + v[i] + "\"" : "(end)"; };
  auto failure = ::testing::AssertionFailure() << "differs from " << path << " at line " << n + 1
                                               << "\n  expected: " << line(e, n) << "\n  actual:   " << line(a, n);
  if (same_lines)
    failure << "\n  (line ends differ: " << expected.size() << " bytes expected, " << actual.size() << " actual)";
  return failure;
}

::testing::AssertionResult script_match(const char* name, const ScriptStep& run) {
  std::ifstream in(golden_path(name), std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "no script " << golden_path(name);
  std::string transcript, line;
  while (std::getline(in, line)) {
    if (line.rfind("> ", 0) != 0) continue;
    size_t blank = line.find(' ', 2);
    std::vector<std::string> args;
    for (size_t at = blank; at != std::string::npos && at < line.size();) {
      size_t bar = at + 1;
      while (bar < line.size() && !(line[bar] == '|' && line[bar - 1] != '\\')) ++bar;
      args.push_back(unescape(line.substr(at + 1, bar - at - 1)));
      at = bar < line.size() ? bar : std::string::npos;
    }
    transcript +=
        line + "\n" + shown(run(line.substr(2, blank == std::string::npos ? std::string::npos : blank - 2), args));
  }
  return golden_match(name, transcript);
}
