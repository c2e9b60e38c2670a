#include "tests/support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

TempRoot::TempRoot() {
  std::string tmpl = (fs::temp_directory_path() / "lproot.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  setenv("QUMEX_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  unsetenv("QUMEX_ROOT");
}

void TempRoot::as_sysroot() const { setenv("QUMEX_SYSROOT", path_.c_str(), 1); }

bool TempRoot::write(const std::string& rel, const std::string& bytes) const {
  mkdir(fs::path(rel).parent_path().string());
  std::ofstream out(fs::path(path_) / rel, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

bool TempRoot::symlink_to(const std::string& rel, const std::string& target) const {
  std::error_code ec;
  mkdir(fs::path(rel).parent_path().string());
  fs::create_symlink(target, fs::path(path_) / rel, ec);
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

void TempRoot::mkdir(const std::string& rel) const {
  std::error_code ec;
  fs::create_directories(fs::path(path_) / rel, ec);
}

void TempRoot::remove(const std::string& rel) const {
  std::error_code ec;
  fs::remove_all(fs::path(path_) / rel, ec);
}

void TempRoot::copy_from(const std::string& src) const {
  fs::path from = src[0] == '/' ? fs::path(src) : fs::path(LP_SOURCE_DIR "/tests/fixtures") / src;
  fs::copy(from, path_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}
