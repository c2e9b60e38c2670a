// Capture files and the scratch folder they are written to, shared by the transport
// tests: a temporary current directory with an optional ZRCLOG.INI, and the 40-byte
// records of a capture file decoded.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commlib/core.h"

namespace lpcap {

struct Record {
  uint16_t kind, code;
  uint32_t first, second, third;
  std::string text;
};

// A temporary current directory, optionally with a ZRCLOG.INI.
class ScratchDir {
 public:
  explicit ScratchDir(const char* ini) {
    char tmpl[] = "/tmp/lp_eth_XXXXXX";
    char* d = mkdtemp(tmpl);
    if (d) path_ = d;
    if (!getcwd(old_, sizeof old_)) old_[0] = 0;
    if (!path_.empty() && chdir(path_.c_str()) == 0 && ini) {
      FILE* f = std::fopen("ZRCLOG.INI", "w");
      if (f) {
        std::fputs(ini, f);
        std::fclose(f);
      }
    }
    qc::log_options_mark_unread();
  }
  ~ScratchDir() {
    if (old_[0] && chdir(old_) != 0) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty() && std::system(cmd.c_str()) != 0) return;
  }
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    DIR* d = opendir(path_.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    closedir(d);
    return out;
  }
  const std::string& path() const { return path_; }
  // The records of the (last listed) capture file whose name contains tag.
  std::vector<Record> capture(const std::string& tag) const;

 private:
  std::string path_;
  char old_[4096];
};

inline std::vector<Record> read_capture(const std::string& file) {
  std::vector<Record> out;
  FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return out;
  uint8_t r[40];
  while (std::fread(r, 1, 40, f) == 40) {
    Record x;
    x.kind = qc::le16(r);
    x.code = qc::le16(r + 2);
    x.second = qc::le32(r + 8);
    x.first = qc::le32(r + 12);
    x.third = qc::le32(r + 16);
    if (x.kind == 1) x.text.assign(reinterpret_cast<const char*>(r + 8), strnlen((const char*)r + 8, 32));
    out.push_back(x);
  }
  std::fclose(f);
  return out;
}

inline const Record* find_event(const std::vector<Record>& recs, uint16_t code) {
  for (const auto& r : recs)
    if (r.kind == 0 && r.code == code) return &r;
  return nullptr;
}

inline bool has_event(const std::vector<Record>& recs, uint16_t code) {
  return find_event(recs, code) != nullptr;
}

inline std::vector<Record> ScratchDir::capture(const std::string& tag) const {
  std::vector<Record> recs;
  for (const auto& f : files())
    if (f.find(tag) != std::string::npos) recs = read_capture(path_ + "/" + f);
  return recs;
}

}  // namespace lpcap
