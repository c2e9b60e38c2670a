// The decoder against hand-built records (field positions), and the program against
// foreign, truncated and corrupt files (messages and exit codes).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/zrcdump/zrc_decode.h"

namespace {

void put16(std::vector<uint8_t>& v, size_t at, unsigned x) {
  v[at] = x & 0xff;
  v[at + 1] = (x >> 8) & 0xff;
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = (x >> (8 * i)) & 0xff;
}

std::vector<uint8_t> event(unsigned code, uint32_t stamp, uint32_t first, uint32_t second,
                           uint32_t third) {
  std::vector<uint8_t> r(40, 0);
  put16(r, 0, 0);
  put16(r, 2, code);
  put32(r, 4, stamp);
  put32(r, 8, second);
  put32(r, 12, first);
  put32(r, 16, third);
  return r;
}

std::vector<uint8_t> text(unsigned code, uint32_t stamp, const std::string& s) {
  std::vector<uint8_t> r(40, 0);
  put16(r, 0, 1);
  put16(r, 2, code);
  put32(r, 4, stamp);
  for (size_t i = 0; i < s.size() && i < 32; ++i) r[8 + i] = static_cast<uint8_t>(s[i]);
  return r;
}

std::string dump(ZrcResult (*fn)(const uint8_t*, size_t, FILE*, size_t*),
                 const std::vector<uint8_t>& data, ZrcResult* result, size_t* consumed) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  *result = fn(data.data(), data.size(), mem, consumed);
  std::fclose(mem);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

struct ToolRun {
  int code;
  std::string out, err;
};

ToolRun run_zrcdump(const std::vector<std::string>& files) {
  char dir[] = "/tmp/zrcdumpXXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  std::string cmd = ZRCDUMP_EXE;
  for (const auto& f : files) cmd += " '" + f + "'";
  std::string o = std::string(dir) + "/out", e = std::string(dir) + "/err";
  cmd += " >" + o + " 2>" + e;
  int st = std::system(cmd.c_str());
  auto slurp = [](const std::string& p) {
    std::string s;
    if (FILE* f = std::fopen(p.c_str(), "rb")) {
      char b[4096];
      size_t n;
      while ((n = std::fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
      std::fclose(f);
    }
    return s;
  };
  ToolRun r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(o), slurp(e)};
  std::remove(o.c_str());
  std::remove(e.c_str());
  rmdir(dir);
  return r;
}

std::string write_temp(const std::string& suffix, const std::vector<uint8_t>& data) {
  char path[] = "/tmp/zrcXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::string named = std::string(path) + suffix;
  FILE* f = std::fopen(named.c_str(), "wb");
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  std::remove(path);
  return named;
}

}  // namespace

TEST(ZrcDecode, EventAndTextRecordsPutEachValueInItsColumn) {
  std::vector<uint8_t> file = event(93, 123456, 4, 1, 77);
  auto t = text(100, 42, "5510 127.0.0.1");
  file.insert(file.end(), t.begin(), t.end());
  ZrcResult r;
  size_t used;
  std::string s = dump(zrc_dump_capture, file, &r, &used);
  EXPECT_EQ(r, ZRC_OK);
  EXPECT_EQ(used, 80u);
  EXPECT_EQ(s,
            "    123456 event  93 connect-step-fail    4 1 77\n"
            "        42 text  100 c-udp-local          \"5510 127.0.0.1\"\n");
}

TEST(ZrcDecode, FullTextOf32CharactersHasNoTerminatorAndControlBytesAreEscaped) {
  std::string s32(32, 'a');
  auto t = text(200, 1, s32);
  ZrcResult r;
  size_t used;
  EXPECT_NE(dump(zrc_dump_capture, t, &r, &used).find("\"" + s32 + "\""), std::string::npos);
  auto odd = text(200, 1, std::string("a\"\x01", 3));
  EXPECT_NE(dump(zrc_dump_capture, odd, &r, &used).find("\"a\\x22\\x01\""), std::string::npos);
}

TEST(ZrcDecode, FullRecordsPrintTagLengthAndData) {
  std::vector<uint8_t> rec(16, 0);
  put32(rec, 0, 9);
  put16(rec, 4, 11);
  put16(rec, 6, 16);
  const uint8_t msg[8] = {224, 4, 8, 0, 1, 0, 0, 0};
  for (int i = 0; i < 8; ++i) rec[8 + i] = msg[i];
  ZrcResult r;
  size_t used;
  EXPECT_EQ(dump(zrc_dump_full, rec, &r, &used), "         9 full  tag=11 len=16 e004080001000000\n");
  EXPECT_EQ(r, ZRC_OK);
  rec.resize(12);  // header says 16
  std::string s = dump(zrc_dump_full, rec, &r, &used);
  EXPECT_EQ(r, ZRC_FOREIGN);
  EXPECT_EQ(s, "");
}

TEST(ZrcDecode, ForeignTruncatedAndCorruptCapturesAreTold) {
  ZrcResult r;
  size_t used;
  std::vector<uint8_t> elf = {0x7f, 'E', 'L', 'F'};
  elf.resize(64, 0);
  EXPECT_EQ(dump(zrc_dump_capture, elf, &r, &used), "");
  EXPECT_EQ(r, ZRC_FOREIGN);

  std::vector<uint8_t> two = event(30, 1, 1, 2, 3);
  auto bad = event(30, 2, 1, 2, 3);
  put16(bad, 0, 7);
  two.insert(two.end(), bad.begin(), bad.end());
  dump(zrc_dump_capture, two, &r, &used);
  EXPECT_EQ(r, ZRC_CORRUPT);
  EXPECT_EQ(used, 40u);

  std::vector<uint8_t> cut = event(30, 1, 1, 2, 3);
  cut.resize(60);
  std::string s = dump(zrc_dump_capture, cut, &r, &used);
  EXPECT_EQ(r, ZRC_TRUNCATED);
  EXPECT_EQ(used, 40u);
  EXPECT_NE(s.find("unqueued"), std::string::npos);
}

TEST(ZrcDumpProgram, ExitCodesAndMessages) {
  std::string good = write_temp(".bin", event(0, 5, 1, 2, 3));
  std::string foreign = write_temp(".bin", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  std::vector<uint8_t> partial = event(1, 5, 1, 2, 3);
  partial.resize(50);
  std::string truncated = write_temp(".bin", partial);
  std::string empty_full = write_temp(".binFULL", {});

  ToolRun ok = run_zrcdump({good});
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(ok.out, "         5 event   0 queued-stream        1 2 3\n");

  ToolRun f = run_zrcdump({foreign});
  EXPECT_EQ(f.code, 1);
  EXPECT_NE(f.err.find("not a capture file"), std::string::npos);

  ToolRun t = run_zrcdump({truncated});
  EXPECT_EQ(t.code, 2);
  EXPECT_NE(t.out.find("queued-datagram"), std::string::npos);
  EXPECT_NE(t.err.find("truncated after 40 bytes (10 bytes left over)"), std::string::npos);

  ToolRun e = run_zrcdump({empty_full});
  EXPECT_EQ(e.code, 1);
  EXPECT_NE(e.err.find("not a full capture file"), std::string::npos);

  ToolRun missing = run_zrcdump({"/nonexistent/zrcX.bin"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos);

  ToolRun both = run_zrcdump({good, foreign});
  EXPECT_EQ(both.code, 1);
  EXPECT_NE(both.out.find("== " + good), std::string::npos);

  for (const auto& p : {good, foreign, truncated, empty_full}) std::remove(p.c_str());
}
