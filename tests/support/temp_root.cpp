#include "tests/support/temp_root.h"

#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

TempRoot::TempRoot() {
  std::string tmpl = (fs::temp_directory_path() / "lproot.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  as_root();
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  unsetenv("QUMEX_ROOT");
}

void TempRoot::as_root() const { setenv("QUMEX_ROOT", path_.c_str(), 1); }
void TempRoot::as_sysroot() const { setenv("QUMEX_SYSROOT", path_.c_str(), 1); }

bool TempRoot::write(const std::string& rel, const std::string& bytes) const {
  fs::path p = fs::path(path_) / rel;
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

bool TempRoot::symlink_to(const std::string& rel, const std::string& target) const {
  fs::path p = fs::path(path_) / rel;
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  fs::create_symlink(target, p, ec);
  return !ec;
}

std::string TempRoot::read(const std::string& rel) const {
  std::ifstream in(fs::path(path_) / rel, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempRoot::exists(const std::string& rel) const {
  std::error_code ec;
  return fs::exists(fs::path(path_) / rel, ec);
}

void TempRoot::mkdir(const std::string& rel) const { fs::create_directories(fs::path(path_) / rel); }

void TempRoot::remove(const std::string& rel) const {
  std::error_code ec;
  fs::remove_all(fs::path(path_) / rel, ec);
}

void TempRoot::copy_from(const std::string& src) const {
  fs::path from = src[0] == '/' ? fs::path(src) : fs::path(LP_SOURCE_DIR "/tests/fixtures") / src;
  fs::copy(from, path_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

std::string write_wav(const std::string& path, int format, int channels, int rate, int frames) {
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = format;
  SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!sf) return "";
  std::vector<short> s(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 7919) % 60000 - 30000);
  bool good = sf_writef_short(sf, s.data(), frames) == frames;
  sf_close(sf);
  SF_INFO back{};
  sf = good ? sf_open(path.c_str(), SFM_READ, &back) : nullptr;
  if (!sf) return "";
  sf_count_t got = sf_readf_short(sf, s.data(), frames);
  sf_close(sf);
  std::string out;
  for (sf_count_t i = 0; i < got * channels; ++i) {
    unsigned short v = static_cast<unsigned short>(s[static_cast<size_t>(i)]);
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
  }
  return out;
}

bool alsa_to_file(const std::string& conf, const std::string& capture) {
  FILE* f = std::fopen(conf.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "pcm.!default {\n type file\n slave { pcm { type null } }\n file \"%s\"\n format \"raw\"\n}\n",
               capture.c_str());
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  return std::fclose(f) == 0;
}
