// Capture files and the scratch folder they are written to: a temporary current
// directory with an optional ZRCLOG.INI, the 40-byte records decoded, the trace caught.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "commlib/core.h"
#include "tests/support/seq.h"

namespace lpcap {

struct Record {
  uint16_t kind, code;
  uint32_t first, second, third;
  std::string text;
};

inline std::vector<Record> read_capture(const std::string& file) {
  std::vector<Record> out;
  FILE* f = std::fopen(file.c_str(), "rb");
  for (uint8_t r[40]; f && std::fread(r, 1, 40, f) == 40;) {
    const char* text = reinterpret_cast<const char*>(r + 8);
    out.push_back({qc::le16(r), qc::le16(r + 2), qc::le32(r + 12), qc::le32(r + 8), qc::le32(r + 16),
                   qc::le16(r) == 1 ? std::string(text, strnlen(text, 32)) : ""});
  }
  if (f) std::fclose(f);
  return out;
}

// The event records with code.
inline std::vector<const Record*> events(const std::vector<Record>& recs, uint16_t code) {
  std::vector<const Record*> out;
  for (const auto& r : recs)
    if (r.kind == 0 && r.code == code) out.push_back(&r);
  return out;
}

// The files of a folder, in name order.
inline std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> out;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.') out.insert(e->d_name);
  if (d) closedir(d);
  return out;
}

class ScratchDir {
 public:
  explicit ScratchDir(const char* ini) {
    char tmpl[] = "/tmp/lp_eth_XXXXXX";
    if (const char* d = mkdtemp(tmpl)) path_ = d;
    if (!getcwd(old_, sizeof old_)) old_[0] = 0;
    FILE* f = !path_.empty() && chdir(path_.c_str()) == 0 && ini ? std::fopen("ZRCLOG.INI", "w") : nullptr;
    if (f) {
      std::fputs(ini, f);
      std::fclose(f);
    }
    qc::log_options_mark_unread();
  }
  ~ScratchDir() {
    std::error_code ec;  // nothing to do about a leftover folder in /tmp
    if (old_[0] && chdir(old_) == 0 && !path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  // The records of every capture file whose name contains tag ("" for all).
  std::vector<Record> capture(const std::string& tag) const {
    std::vector<Record> recs, r;
    for (const auto& f : files_in(path_))
      if (f.find(tag) != std::string::npos && f != "ZRCLOG.INI") r = read_capture(path_ + "/" + f), recs.insert(recs.end(), r.begin(), r.end());
    return recs;
  }

 private:
  std::string path_;
  char old_[4096];
};

// Catches the trace lines written while it lives.
class TraceFile {
 public:
  TraceFile() : f_(std::tmpfile()) { qc::trace_set_stream(f_); }
  ~TraceFile() {
    qc::trace_set_stream(nullptr);
    if (f_) std::fclose(f_);
  }
  std::string text() {
    qc::trace_set_stream(nullptr);
    std::string s;
    char buf[512];
    if (f_) std::rewind(f_);
    for (size_t n; f_ && (n = std::fread(buf, 1, sizeof buf, f_)) > 0;) s.append(buf, n);
    return s;
  }

 private:
  FILE* f_;
};

}  // namespace lpcap
