// The decoder against hand-built records (field positions), and the program against
// foreign, truncated and corrupt files (messages and exit codes) and over the files that
// a real loopback session writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/commlib/eth/eth_test_util.h"
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
  std::vector<uint8_t> r(40, 0);  // kind 0
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

// Writes data to name in the current (scratch) directory.
std::string write_file(const std::string& name, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(name.c_str(), "wb");
  EXPECT_NE(f, nullptr) << name;
  if (!f) return name;
  if (!data.empty()) {
    EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  }
  EXPECT_EQ(std::fclose(f), 0);
  return name;
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
  lpcap::ScratchDir dir(nullptr);
  ASSERT_FALSE(dir.path().empty());
  std::string good = write_file("good.bin", event(0, 5, 1, 2, 3));
  std::string foreign = write_file("foreign.bin", {'h', 'e', 'l', 'l', 'o', '\n'});
  std::vector<uint8_t> partial = event(1, 5, 1, 2, 3);
  partial.resize(50);
  std::string truncated = write_file("cut.bin", partial);
  std::string empty_full = write_file("empty.binFULL", {});

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
}

// A server and a client on loopback with capture and full capture on, exchanging
// stream and datagram messages: every file decodes whole and shows what its side did.
TEST(ZrcDumpSession, EveryCaptureOfALoopbackSessionDecodes) {
  using namespace ethtest;
  ScratchDir dir("RECORD=1\nLOGALL=1\n");
  ASSERT_FALSE(dir.path().empty());
  int port = free_port_base();
  ASSERT_NE(port, 0);
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  ASSERT_NE(server, nullptr);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, 1), 0);  // 1: the server
  ASSERT_EQ(conn_connect(client, "ethernet", "127.0.0.1", port, 0), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, 8000));

  uint8_t buf[qc::kMaxMessage];
  const std::string ping = "ping over tcp", pong = "pong", dgram = "datagram";
  ASSERT_EQ(send_built(client, 224, 4, ping), 0);
  ASSERT_EQ(receive_wait(server, 0, buf, sizeof buf, 5000), int(ping.size()) + 8);
  ASSERT_EQ(send_built(server, 224, 5, pong), 0);
  ASSERT_EQ(receive_wait(client, 0, buf, sizeof buf, 5000), int(pong.size()) + 8);
  ASSERT_EQ(send_built(client, 160, 1, dgram), 0);  // type 160: a datagram by default
  ASSERT_EQ(receive_wait(server, 1, buf, sizeof buf, 5000), int(dgram.size()) + 8);
  conn_disconnect(client);
  conn_disconnect(server);
  conn_free(client);
  conn_free(server);

  // One file per role and direction, and a FULL companion beside each (the program
  // fails on a missing one).
  std::map<std::string, std::string> by_tag;  // "SRX" -> file name
  for (const std::string& f : dir.files()) {
    if (f.rfind("zrc", 0) != 0 || f.size() < 6) continue;
    std::string tag = f.substr(3, 3);
    if (f.size() > 4 && f.compare(f.size() - 4, 4, "FULL") == 0) continue;
    by_tag[tag] = f;
  }
  for (const char* tag : {"SRX", "STX", "CRX", "CTX"}) ASSERT_EQ(by_tag.count(tag), 1u) << tag;

  std::map<std::string, ToolRun> rec, full;
  for (const auto& [tag, file] : by_tag) {
    rec[tag] = run_zrcdump({dir.path() + "/" + file});
    full[tag] = run_zrcdump({dir.path() + "/" + file + "FULL"});
    EXPECT_EQ(rec[tag].code, 0) << file << "\n" << rec[tag].out << rec[tag].err;
    EXPECT_EQ(full[tag].code, 0) << file << "FULL\n" << full[tag].out << full[tag].err;
    // No record of the library is unknown to the decoder.
    EXPECT_EQ(rec[tag].out.find(" ? "), std::string::npos) << file << "\n" << rec[tag].out;
  }
  // What each side did, and (in the full captures) the messages themselves: sent ones
  // tagged by role and socket, received ones by the type's class.
  auto msg = [](uint8_t type, uint8_t cmd, const std::string& payload) {
    std::string h;
    char b[3];
    for (unsigned char ch : std::string{char(type), char(cmd), char(payload.size() + 8), 0} + payload) {
      std::snprintf(b, sizeof b, "%02x", ch);
      h += b;
    }
    return h;
  };
  const std::string ping_full = msg(224, 4, ping), pong_full = msg(224, 5, pong),
                    dgram_full = msg(160, 1, dgram);
  const struct {
    std::map<std::string, ToolRun>& dumps;
    const char* tag;
    std::string piece;
  } seen[] = {
      {rec, "CRX", "socket-made"},     {rec, "CRX", "c-tcp-receive"},   {rec, "CRX", "queued-stream"},
      {rec, "SRX", "s-accepted"},      {rec, "SRX", "s-tcp-receive"},   {rec, "SRX", "s-udp-receive"},
      {rec, "SRX", "queued-datagram"}, {rec, "CTX", "sent-stream"},     {rec, "CTX", "sent-datagram"},
      {rec, "STX", "sent-stream"},
      {full, "CTX", "tag=11 len=29 " + ping_full}, {full, "CTX", "tag=13 len=24 " + dgram_full},
      {full, "STX", "tag=12 len=20 " + pong_full}, {full, "SRX", "tag=0 len=29 " + ping_full},
      {full, "SRX", "tag=1 len=24 " + dgram_full}, {full, "CRX", "tag=0 len=20 " + pong_full},
  };
  for (const auto& w : seen) {
    const std::string& out = w.dumps[w.tag].out;
    EXPECT_NE(out.find(w.piece), std::string::npos) << w.tag << " lacks " << w.piece << " in:\n" << out;
  }
  const std::string& crx = rec["CRX"].out;
  EXPECT_TRUE(crx.find("c-connected") != std::string::npos || crx.find("c-connect-done") != std::string::npos)
      << crx;
}
