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

// Line n (from 0) of text without its line end, and whether the text has that many lines.
bool golden_line(const std::string& text, size_t n, std::string* out) {
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    at = text.find('\n', at);
    if (at == std::string::npos) return false;
    ++at;
  }
  if (at >= text.size() && n > 0) return false;
  size_t end = text.find('\n', at);
  *out = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  return true;
}

}  // namespace

::testing::AssertionResult golden_match(const char* name, const std::string& actual) {
  std::string path = golden_path(name);
  const char* update = std::getenv("LP_GOLDEN_UPDATE");
  if (update && std::strcmp(update, "1") == 0) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(actual.data(), static_cast<std::streamsize>(actual.size()));
    out.close();
    if (out.fail()) return ::testing::AssertionFailure() << "cannot write " << path;
    return ::testing::AssertionSuccess();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "no golden file " << path << " (LP_GOLDEN_UPDATE=1 writes it)";
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (expected == actual) return ::testing::AssertionSuccess();
  for (size_t n = 0;; ++n) {
    std::string e, a;
    bool he = golden_line(expected, n, &e), ha = golden_line(actual, n, &a);
    if (he && ha && e == a) continue;
    std::ostringstream msg;
    msg << "differs from " << path << " at line " << n + 1
        << "\n  expected: " << (he ? "\"" + e + "\"" : std::string("(end)"))
        << "\n  actual:   " << (ha ? "\"" + a + "\"" : std::string("(end)"));
    if (he == ha && e == a)
      msg << "\n  (line ends differ: " << expected.size() << " bytes expected, " << actual.size() << " actual)";
    return ::testing::AssertionFailure() << msg.str();
  }
}

namespace {

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

std::string shown(const std::string& out) {
  std::string s;
  char hex[8];
  for (unsigned char c : out) {
    if (c == '\n' || (c >= 32 && c < 127)) {
      s += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      s += hex;
    }
  }
  return s.empty() || s.back() == '\n' ? s : s + "%\n";
}

}  // namespace

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
