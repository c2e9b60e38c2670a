#include "app/version_text.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/version_block.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::string_literals;

std::string text_of(const std::string& block) {
  char out[VERSION_TEXT_SIZE];
  version_text_from_block(block.data(), block.size(), out, sizeof out);
  return out;
}

TEST(VersionText, PrivateAndSpecialBuildRules) {
  // A last entry without its zero byte ends at the end of the block.
  const struct { std::string block, text; } cases[] = {
      {"PrivateBuild=1.3\0"s, "PB=1.3"},
      {"PrivateBuild=1.3\0SpecialBuild=beta\0"s, "PB=1.3    SB=beta"},
      {"SpecialBuild=beta\0PrivateBuild=1.3\0"s, "PB=1.3    SB=beta"},
      {"SpecialBuild=beta\0"s, "SB=beta"}, {""s, "Unk"}, {"\0\0\0"s, "Unk"},
      {"PrivateBuild\0PrivateBuildX=1\0"s, "Unk"}, {"PrivateBuild=\0"s, "PB="}, {"PrivateBuild=2.0"s, "PB=2.0"},
      {"PrivateBuild=" + std::string(500, '9') + "\0SpecialBuild=x\0"s,
       "PB=" + std::string(VERSION_TEXT_SIZE - 4, '9')}};
  for (const auto& c : cases) EXPECT_EQ(text_of(c.block), c.text) << c.block.substr(0, 40);
  char small[5];
  version_text_from_block("PrivateBuild=1.3", 16, small, sizeof small);
  EXPECT_STREQ(small, "PB=1");
}

// ctime's form of a file's time, as the version text ends.
std::string ctime_of(const char* path) {
  struct stat st;
  char when[64];
  if (stat(path, &st) != 0 || !ctime_r(&st.st_mtime, when)) return "no time";
  return when;
}

// The test program carries its own block (PB=9.8.7-test, SB=nightly).
TEST(FileVersionText, ReadsOwnExecutable) {
  char exe[4096];
  ASSERT_EQ(plat_self_exe_path(exe, sizeof exe), 0);
  char text[VERSION_TEXT_SIZE];
  file_version_text(exe, text, sizeof text);
  EXPECT_EQ(std::string(text), "PB=9.8.7-test    SB=nightly  " + ctime_of(exe));
}

TEST(FileVersionText, MissingFileAndFileWithoutBlock) {
  char text[VERSION_TEXT_SIZE];
  file_version_text("/nonexistent/linkprobe", text, sizeof text);
  EXPECT_STREQ(text, "Unk");
  TempRoot root;
  root.write("plain.txt", "not an executable");
  std::string path = root.path() + "/plain.txt";
  file_version_text(path.c_str(), text, sizeof text);
  EXPECT_EQ(std::string(text), "Unk  " + ctime_of(path.c_str()));
  file_version_text(root.path().c_str(), text, sizeof text);  // a directory
  EXPECT_EQ(std::string(text), "Unk  " + ctime_of(root.path().c_str()));
}

std::string self_bytes() {
  char exe[4096];
  if (plat_self_exe_path(exe, sizeof exe) != 0) return "";
  std::ifstream in(exe, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int block_of(const TempRoot& root, const std::string& bytes, std::string* block) {
  root.write("x.elf", bytes);
  std::string path = root.path() + "/x.elf";
  char buf[1024];
  size_t len = 0;
  int rc = plat_version_block(path.c_str(), buf, sizeof buf, &len);
  if (block) block->assign(buf, rc == 0 ? len : 0);
  // The reader over an image in memory must come to the same verdict and block.
  char mem[1024];
  size_t mem_len = 0;
  EXPECT_EQ(plat_version_block_image(bytes.data(), bytes.size(), mem, sizeof mem, &mem_len), rc);
  EXPECT_EQ(std::string(mem, rc == 0 ? mem_len : 0), std::string(buf, rc == 0 ? len : 0));
  return rc;
}

void put(std::string& s, size_t off, uint64_t v, int bytes) {
  for (int i = 0; i < bytes && off + i < s.size(); ++i) s[off + i] = static_cast<char>(v >> (8 * i));
}

// Damaged copies of a real executable: every header field that points somewhere.
TEST(ElfReader, DamagedFilesMeanNoBlock) {
  TempRoot root;
  std::string elf = self_bytes();
  ASSERT_GT(elf.size(), 64u);
  std::string block;
  ASSERT_EQ(block_of(root, elf, &block), 0);
  EXPECT_EQ(block.substr(0, 26), "PrivateBuild=9.8.7-test\0Sp"s);

  for (size_t cut : {0ul, 4ul, 16ul, 52ul, 63ul, elf.size() / 2, elf.size() - 1})
    EXPECT_EQ(block_of(root, elf.substr(0, cut), nullptr), PLAT_VERSION_NO_BLOCK) << "cut at " << cut;
  const struct { size_t off; uint64_t value; int bytes; } patches[] = {
      {40, ~0ull, 8},          // section headers far past the end
      {40, elf.size() - 10, 8},
      {58, 0, 2},              // entry size too small
      {58, 0xffff, 2},         // entry size huge
      {60, 0xffff, 2},         // too many sections
      {62, 0xfffe, 2},         // name table index out of range
      {4, 3, 1},               // unknown class
      {5, 7, 1},               // unknown byte order
      {5, 2, 1},               // the other byte order: nothing sensible, nothing broken
      {0, 0, 1},               // not ELF
  };
  for (const auto& p : patches) {
    std::string bad = elf;
    put(bad, p.off, p.value, p.bytes);
    EXPECT_EQ(block_of(root, bad, nullptr), PLAT_VERSION_NO_BLOCK) << "patch at " << p.off << " = " << p.value;
  }
}

TEST(ElfReader, SectionFieldsOutOfRange) {
  TempRoot root;
  std::string elf = self_bytes();
  ASSERT_GT(elf.size(), 64u);
  uint64_t shoff = 0;
  for (int i = 7; i >= 0; --i) shoff = (shoff << 8) | static_cast<unsigned char>(elf[40 + i]);
  uint64_t ent = static_cast<unsigned char>(elf[58]) | static_cast<unsigned char>(elf[59]) << 8;
  uint64_t n = static_cast<unsigned char>(elf[60]) | static_cast<unsigned char>(elf[61]) << 8;
  ASSERT_EQ(ent, 64u);
  // Damage one field of every section header in turn; each read must end cleanly.
  for (size_t field : {0ul, 24ul, 32ul}) {
    std::string bad = elf;
    for (uint64_t i = 0; i < n; ++i) put(bad, shoff + i * ent + field, 0xfffffff0fffffff0ull, field ? 8 : 4);
    EXPECT_EQ(block_of(root, bad, nullptr), PLAT_VERSION_NO_BLOCK) << field;
  }
  // A block larger than the caller's buffer is cut to it.
  root.write("y.elf", elf);
  char tiny[8];
  size_t len = 99;
  std::string path = root.path() + "/y.elf";
  ASSERT_EQ(plat_version_block(path.c_str(), tiny, sizeof tiny, &len), 0);
  EXPECT_EQ(len, sizeof tiny);
  EXPECT_EQ(std::string(tiny, len), "PrivateB");
  EXPECT_EQ(plat_version_block("/nonexistent", tiny, sizeof tiny, &len), PLAT_VERSION_NO_FILE);
  EXPECT_EQ(len, 0u);
}

}  // namespace
