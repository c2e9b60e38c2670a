// The capture decoder against hand-built records (field positions), the program against
// foreign, truncated and corrupt files (messages and exit codes), and the program over
// the files a real loopback session writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/qcomm.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tools/zrcdump/zrc_decode.h"

namespace {

void put(std::vector<uint8_t>& v, size_t at, uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v[at + i] = (x >> (8 * i)) & 0xff;
}

std::vector<uint8_t> event(unsigned code, uint32_t stamp, uint32_t first, uint32_t second, uint32_t third) {
  std::vector<uint8_t> r(40, 0);  // kind 0
  put(r, 2, code, 2);
  put(r, 4, stamp, 4);
  put(r, 8, second, 4);
  put(r, 12, first, 4);
  put(r, 16, third, 4);
  return r;
}

std::vector<uint8_t> text(unsigned code, uint32_t stamp, const std::string& s) {
  std::vector<uint8_t> r(40, 0);
  put(r, 0, 1, 2);
  put(r, 2, code, 2);
  put(r, 4, stamp, 4);
  for (size_t i = 0; i < s.size() && i < 32; ++i) r[8 + i] = static_cast<uint8_t>(s[i]);
  return r;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The decoder's text, then "|result|bytes used".
std::string dump(ZrcResult (*fn)(const uint8_t*, size_t, FILE*, size_t*), const std::vector<uint8_t>& data) {
  char* buf = nullptr;
  size_t len = 0, used = 0;
  FILE* mem = open_memstream(&buf, &len);
  ZrcResult r = fn(data.data(), data.size(), mem, &used);
  std::fclose(mem);
  std::string s(buf, len);
  std::free(buf);
  return s + "|" + std::to_string(r) + "|" + std::to_string(used);
}

TEST(ZrcDecode, RecordsPutEachValueInItsColumn) {
  auto ok = [](size_t n) { return "|" + std::to_string(ZRC_OK) + "|" + std::to_string(n); };
  EXPECT_EQ(dump(zrc_dump_capture, event(93, 123456, 4, 1, 77) + text(100, 42, "5510 127.0.0.1")),
            "    123456 event  93 connect-step-fail    4 1 77\n"
            "        42 text  100 c-udp-local          \"5510 127.0.0.1\"\n" + ok(80));
  // A full text of 32 characters has no terminator; control bytes and quotes are escaped.
  EXPECT_NE(dump(zrc_dump_capture, text(200, 1, std::string(32, 'a'))).find("\"" + std::string(32, 'a') + "\""),
            std::string::npos);
  EXPECT_NE(dump(zrc_dump_capture, text(200, 1, std::string("a\"\x01", 3))).find("\"a\\x22\\x01\""), std::string::npos);
  // Full records: tag, length and the data.
  std::vector<uint8_t> rec(8, 0);
  put(rec, 0, 9, 4);
  put(rec, 4, 11, 2);
  put(rec, 6, 16, 2);
  rec = rec + std::vector<uint8_t>{224, 4, 8, 0, 1, 0, 0, 0};
  EXPECT_EQ(dump(zrc_dump_full, rec), "         9 full  tag=11 len=16 e004080001000000\n" + ok(16));
  rec.resize(12);  // the header says 16
  EXPECT_EQ(dump(zrc_dump_full, rec).substr(0, 2), "|" + std::to_string(ZRC_FOREIGN));
}

TEST(ZrcDecode, ForeignTruncatedAndCorruptCapturesAreTold) {
  std::vector<uint8_t> elf = {0x7f, 'E', 'L', 'F'};
  elf.resize(64, 0);
  EXPECT_EQ(dump(zrc_dump_capture, elf).substr(0, 2), "|" + std::to_string(ZRC_FOREIGN));
  auto bad = event(30, 2, 1, 2, 3);
  put(bad, 0, 7, 2);
  std::string s = dump(zrc_dump_capture, event(30, 1, 1, 2, 3) + bad);
  EXPECT_EQ(s.substr(s.find('|')), "|" + std::to_string(ZRC_CORRUPT) + "|40");
  auto cut = event(30, 1, 1, 2, 3);
  cut.resize(60);
  s = dump(zrc_dump_capture, cut);
  EXPECT_NE(s.find("unqueued"), std::string::npos);
  EXPECT_EQ(s.substr(s.find('|')), "|" + std::to_string(ZRC_TRUNCATED) + "|40");
}

// Runs zrcdump on the files: "exit code|stdout|stderr".
std::string zrcdump(const std::vector<std::string>& files) {
  std::string cmd = ZRCDUMP_EXE;
  for (const auto& f : files) cmd += " '" + f + "'";
  Child c;
  if (!c.start({"sh", "-c", cmd + " 2>&1 >out.txt"})) return "<no start>";
  int rc = c.finish(30000);
  std::string out;
  if (FILE* f = std::fopen("out.txt", "rb")) {
    char b[8192];
    for (size_t n; (n = std::fread(b, 1, sizeof b, f)) > 0;) out.append(b, n);
    std::fclose(f);
  }
  return std::to_string(rc) + "|" + out + "|" + c.output();
}

class ZrcDump : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    qc::log_options_mark_unread();
  }
  void TearDown() override { std::filesystem::current_path(old_); }
  void file(const std::string& name, const std::vector<uint8_t>& data) {
    ASSERT_TRUE(dir_.write(name, std::string(data.begin(), data.end())));
  }
  TempRoot dir_;
  std::filesystem::path old_;
};

TEST_F(ZrcDump, ExitCodesAndMessages) {
  file("good.bin", event(0, 5, 1, 2, 3));
  file("foreign.bin", {'h', 'e', 'l', 'l', 'o', '\n'});
  auto partial = event(1, 5, 1, 2, 3);
  partial.resize(50);
  file("cut.bin", partial);
  file("empty.binFULL", {});
  EXPECT_EQ(zrcdump({"good.bin"}), "0|         5 event   0 queued-stream        1 2 3\n|");
  const struct { std::vector<std::string> files; const char *code, *piece; } cases[] = {
      {{"foreign.bin"}, "1|", "not a capture file"},
      {{"cut.bin"}, "2|", "queued-datagram"},
      {{"cut.bin"}, "2|", "truncated after 40 bytes (10 bytes left over)"},
      {{"empty.binFULL"}, "1|", "not a full capture file"},
      {{"/nonexistent/zrcX.bin"}, "1|", "No such file"},
      {{"good.bin", "foreign.bin"}, "1|", "== good.bin"}};
  for (const auto& c : cases) {
    std::string got = zrcdump(c.files);
    EXPECT_EQ(got.substr(0, 2), c.code) << got;
    EXPECT_NE(got.find(c.piece), std::string::npos) << got;
  }
}

// Sends a built message, then waits for the peer's copy on the channel; its length.
int exchange(Connection* from, Connection* to, int channel, uint8_t type, uint8_t cmd, const std::string& payload) {
  uint8_t buf[qc::kMaxMessage];
  int n = msg_build(from, buf, sizeof buf, type, cmd, payload.data(), int(payload.size()));
  if (n == 0 || conn_send(from, buf, 0) != 0) return -1;
  for (int i = 0; i < 1000; ++i, usleep(5000))
    if ((n = rx_receive(to, channel, buf, sizeof buf)) > 0) return n;
  return 0;
}

// A server and a client on loopback with capture and full capture on, exchanging stream
// and datagram messages: every file decodes whole and shows what its side did.
TEST_F(ZrcDump, EveryCaptureOfALoopbackSessionDecodes) {
  file("ZRCLOG.INI", {'R', 'E', 'C', 'O', 'R', 'D', '=', '1', '\n', 'L', 'O', 'G', 'A', 'L', 'L', '=', '1', '\n'});
  // A private network (when it may) makes any port ours; otherwise one of our own choosing.
  const int port = private_network() ? 5510 : 20000 + getpid() % 20000;
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, 1), 0);
  ASSERT_EQ(conn_connect(client, "ethernet", "127.0.0.1", port, 0), 0);
  for (int i = 0; i < 1600 && !(ETH_LOAD(client, status) != 0 && ETH_LOAD(server, status) == 3); ++i) usleep(5000);
  const std::string ping = "ping over tcp", pong = "pong", dgram = "datagram";
  ASSERT_EQ(exchange(client, server, 0, 224, 4, ping), int(ping.size()) + 8);
  ASSERT_EQ(exchange(server, client, 0, 224, 5, pong), int(pong.size()) + 8);
  ASSERT_EQ(exchange(client, server, 1, 160, 1, dgram), int(dgram.size()) + 8);  // 160: a datagram by default
  for (Connection* c : {client, server}) {
    conn_disconnect(c);
    conn_free(c);
  }
  // One file per role and direction, and a FULL companion beside each.
  std::map<std::string, std::string> rec, full;  // "SRX" -> the dump
  for (const auto& e : std::filesystem::directory_iterator(".")) {
    std::string f = e.path().filename().string();
    if (f.rfind("zrc", 0) != 0 || f.size() < 6 || f.compare(f.size() - 4, 4, "FULL") == 0) continue;
    rec[f.substr(3, 3)] = zrcdump({f});
    full[f.substr(3, 3)] = zrcdump({f + "FULL"});
  }
  ASSERT_EQ(rec.size(), 4u);
  for (const auto& [tag, out] : rec) {
    EXPECT_EQ(out.substr(0, 2) + full[tag].substr(0, 2), "0|0|") << tag << "\n" << out << full[tag];
    EXPECT_EQ(out.find(" ? "), std::string::npos) << tag << "\n" << out;  // no record unknown to the decoder
  }
  // What each side did, and (in the full captures) the messages themselves: sent ones
  // tagged by role and socket, received ones by the type's class.
  auto hex = [](uint8_t type, uint8_t cmd, const std::string& payload) {
    std::string h;
    char b[3];
    for (unsigned char ch : std::string{char(type), char(cmd), char(payload.size() + 8), 0} + payload) {
      std::snprintf(b, sizeof b, "%02x", ch);
      h += b;
    }
    return h;
  };
  const struct { std::map<std::string, std::string>& dumps; const char* tag; std::string piece; } seen[] = {
      {rec, "CRX", "socket-made"}, {rec, "CRX", "c-tcp-receive"}, {rec, "CRX", "queued-stream"},
      {rec, "SRX", "s-accepted"}, {rec, "SRX", "s-tcp-receive"}, {rec, "SRX", "s-udp-receive"},
      {rec, "SRX", "queued-datagram"}, {rec, "CTX", "sent-stream"}, {rec, "CTX", "sent-datagram"},
      {rec, "STX", "sent-stream"}, {rec, "CRX", "c-connect"},
      {full, "CTX", "tag=11 len=29 " + hex(224, 4, ping)}, {full, "CTX", "tag=13 len=24 " + hex(160, 1, dgram)},
      {full, "STX", "tag=12 len=20 " + hex(224, 5, pong)}, {full, "SRX", "tag=0 len=29 " + hex(224, 4, ping)},
      {full, "SRX", "tag=1 len=24 " + hex(160, 1, dgram)}, {full, "CRX", "tag=0 len=20 " + hex(224, 5, pong)}};
  for (const auto& w : seen) EXPECT_NE(w.dumps[w.tag].find(w.piece), std::string::npos) << w.tag << " lacks " << w.piece << ":\n" << w.dumps[w.tag];
}

}  // namespace
