// zrcdump over the files that a real session writes: a server and a client on loopback
// with capture and full capture on, exchanging stream and datagram messages. Every file
// must decode whole, and each side's files must show what that side did.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kServer = 1;

struct Dump {
  int code = -1;
  std::string out;
};

Dump zrcdump(const std::string& file) {
  Dump d;
  std::string cmd = std::string(ZRCDUMP_EXE) + " '" + file + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return d;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) d.out.append(buf, n);
  int st = pclose(p);
  d.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return d;
}

bool has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// The hex form zrcdump prints for a message's type, command and length bytes.
std::string head_hex(uint8_t type, uint8_t cmd, size_t len) {
  char b[16];
  std::snprintf(b, sizeof b, "%02x%02x%02x%02x", type, cmd, unsigned(len & 0xff), unsigned(len >> 8));
  return b;
}

}  // namespace

TEST(ZrcDumpSession, EveryCaptureOfALoopbackSessionDecodes) {
  ScratchDir dir("RECORD=1\nLOGALL=1\n");
  ASSERT_FALSE(dir.path().empty());
  int port = free_port_base();
  ASSERT_NE(port, 0);
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  ASSERT_NE(server, nullptr);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, kServer), 0);
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

  // One file per role and direction, and a FULL companion beside each.
  std::map<std::string, std::string> by_tag;  // "SRX" -> file name
  for (const std::string& f : dir.files()) {
    if (f.rfind("zrc", 0) != 0 || f.size() < 6) continue;
    std::string tag = f.substr(3, 3);
    if (f.size() > 4 && f.compare(f.size() - 4, 4, "FULL") == 0) continue;
    by_tag[tag] = f;
  }
  for (const char* tag : {"SRX", "STX", "CRX", "CTX"}) {
    ASSERT_EQ(by_tag.count(tag), 1u) << tag;
    struct stat st;
    EXPECT_EQ(stat((by_tag[tag] + "FULL").c_str(), &st), 0) << tag << " FULL";
  }

  std::map<std::string, Dump> rec, full;
  for (const auto& [tag, file] : by_tag) {
    rec[tag] = zrcdump(dir.path() + "/" + file);
    full[tag] = zrcdump(dir.path() + "/" + file + "FULL");
    EXPECT_EQ(rec[tag].code, 0) << file << "\n" << rec[tag].out;
    EXPECT_EQ(full[tag].code, 0) << file << "FULL\n" << full[tag].out;
    // No record of the library is unknown to the decoder.
    EXPECT_FALSE(has(rec[tag].out, " ? ")) << file << "\n" << rec[tag].out;
  }

  // The client made its socket, connected and took the server's answer off the stream.
  EXPECT_TRUE(has(rec["CRX"].out, "socket-made")) << rec["CRX"].out;
  EXPECT_TRUE(has(rec["CRX"].out, "c-connected") || has(rec["CRX"].out, "c-connect-done"))
      << rec["CRX"].out;
  EXPECT_TRUE(has(rec["CRX"].out, "c-tcp-receive")) << rec["CRX"].out;
  EXPECT_TRUE(has(rec["CRX"].out, "queued-stream")) << rec["CRX"].out;
  // The server accepted it, and queued the stream message and the datagram.
  EXPECT_TRUE(has(rec["SRX"].out, "s-accepted")) << rec["SRX"].out;
  EXPECT_TRUE(has(rec["SRX"].out, "s-tcp-receive")) << rec["SRX"].out;
  EXPECT_TRUE(has(rec["SRX"].out, "s-udp-receive")) << rec["SRX"].out;
  EXPECT_TRUE(has(rec["SRX"].out, "queued-datagram")) << rec["SRX"].out;
  // Each side's sends.
  EXPECT_TRUE(has(rec["CTX"].out, "sent-stream")) << rec["CTX"].out;
  EXPECT_TRUE(has(rec["CTX"].out, "sent-datagram")) << rec["CTX"].out;
  EXPECT_TRUE(has(rec["STX"].out, "sent-stream")) << rec["STX"].out;

  // Full captures hold the messages themselves: sent ones tagged by role and socket,
  // received ones by the type's class.
  auto hex = [](const std::string& s) {
    std::string h;
    char b[3];
    for (unsigned char ch : s) {
      std::snprintf(b, sizeof b, "%02x", ch);
      h += b;
    }
    return h;
  };
  std::string ping_full = head_hex(224, 4, ping.size() + 8) + hex(ping);
  std::string pong_full = head_hex(224, 5, pong.size() + 8) + hex(pong);
  std::string dgram_full = head_hex(160, 1, dgram.size() + 8) + hex(dgram);
  EXPECT_TRUE(has(full["CTX"].out, "tag=11 len=29 " + ping_full)) << full["CTX"].out;
  EXPECT_TRUE(has(full["CTX"].out, "tag=13 len=24 " + dgram_full)) << full["CTX"].out;
  EXPECT_TRUE(has(full["STX"].out, "tag=12 len=20 " + pong_full)) << full["STX"].out;
  EXPECT_TRUE(has(full["SRX"].out, "tag=0 len=29 " + ping_full)) << full["SRX"].out;
  EXPECT_TRUE(has(full["SRX"].out, "tag=1 len=24 " + dgram_full)) << full["SRX"].out;
  EXPECT_TRUE(has(full["CRX"].out, "tag=0 len=20 " + pong_full)) << full["CRX"].out;
}
