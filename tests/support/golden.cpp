#include "tests/support/golden.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string golden_path(const char* name) { return std::string(LP_SOURCE_DIR "/tests/golden/") + name; }

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
  // The first line that differs, its line end included, shown with its control bytes.
  size_t at = size_t(std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first - expected.begin());
  size_t start = at == 0 ? 0 : expected.rfind('\n', at - 1) + 1;  // npos + 1 is 0
  auto line = [&](const std::string& t) {
    if (start >= t.size()) return std::string("(end)");
    std::string l = shown(t.substr(start, t.find('\n', start) + 1 - start));  // ends in a line end
    return "\"" + l.substr(0, l.size() - 1) + "\"";
  };
  return ::testing::AssertionFailure() << "differs from " << path << " at line "
                                       << std::count(expected.begin(), expected.begin() + long(start), '\n') + 1
                                       << "\n  expected: " << line(expected) << "\n  actual:   " << line(actual);
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
