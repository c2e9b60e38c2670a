// The capture decoder against hand-built records (field positions), the program against
// foreign, truncated and corrupt files (messages and exit codes), and the program over
// the files a real loopback session writes.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/qcomm.h"
#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

// Runs zrcdump on the files: "exit N", its standard output, then its standard error.
std::string zrcdump(const std::vector<std::string>& files) {
  std::string cmd = ZRCDUMP_EXE;
  for (const auto& f : files) cmd += " '" + f + "'";
  Child out, err;
  if (!out.start({"sh", "-c", cmd + " 2>/dev/null"}) || !err.start({"sh", "-c", cmd + " 2>&1 >/dev/null"}))
    return "<no start>";
  int rc = out.finish(30000);
  err.finish(30000);
  return "exit " + std::to_string(rc) + "\n" + out.output() + "stderr: " + err.output();
}

class ZrcDump : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    qc::log_options_mark_unread();
  }
  void TearDown() override { std::filesystem::current_path(old_); }
  TempRoot dir_;
  std::filesystem::path old_;
};

// Hand-built capture and full capture files through the program, as a transcript
// (tests/golden/tools_zrcdump.txt): "event" and "text" add a 40-byte record (kind, code,
// time stamp, then second, first and third, or 32 bytes of text), "bytes" adds raw bytes,
// "dump" runs the program.
TEST_F(ZrcDump, Transcript) {
  EXPECT_TRUE(script_match("tools_zrcdump.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    std::string f = w == "dump" ? "" : dir_.read(a[0]), rec(40, '\0');
    auto put = [&](size_t at, size_t arg, int bytes) {
      for (int i = 0; i < bytes; ++i) rec[at + i] = static_cast<char>((std::stoul(a[arg]) >> (8 * i)) & 0xff);
    };
    if (w == "event" || w == "text") {
      rec[0] = w == "text";
      put(2, 1, 2);
      put(4, 2, 4);
      if (w == "text") rec.replace(8, std::min<size_t>(a[3].size(), 32), a[3].substr(0, 32));
      if (w == "event") put(12, 3, 4), put(8, 4, 4), put(16, 5, 4);
      dir_.write(a[0], f + rec);
    }
    if (w == "bytes") dir_.write(a[0], f + a[1]);
    return w == "dump" ? zrcdump(a) : "";
  }));
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
  ASSERT_TRUE(dir_.write("ZRCLOG.INI", "RECORD=1\nLOGALL=1\n"));
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
  // One file per role and direction, and a FULL companion beside each: each decodes whole
  // and shows what its side did and (the full captures) the messages themselves, sent ones
  // tagged by role and socket, received ones by the type's class.
  auto hex = [](uint8_t type, uint8_t cmd, const std::string& payload) {
    std::string h;
    char b[3];
    for (unsigned char ch : std::string{char(type), char(cmd), char(payload.size() + 8), 0} + payload)
      h += std::string(b, std::snprintf(b, sizeof b, "%02x", ch));
    return h;
  };
  const std::map<std::string, std::vector<std::string>> seen = {
      {"CRX", {"socket-made", "c-tcp-receive", "queued-stream", "c-connect"}},
      {"SRX", {"s-accepted", "s-tcp-receive", "s-udp-receive", "queued-datagram"}},
      {"CTX", {"sent-stream", "sent-datagram"}}, {"STX", {"sent-stream"}},
      {"CTXFULL", {"tag=11 len=29 " + hex(224, 4, ping), "tag=13 len=24 " + hex(160, 1, dgram)}},
      {"STXFULL", {"tag=12 len=20 " + hex(224, 5, pong)}}, {"CRXFULL", {"tag=0 len=20 " + hex(224, 5, pong)}},
      {"SRXFULL", {"tag=0 len=29 " + hex(224, 4, ping), "tag=1 len=24 " + hex(160, 1, dgram)}}};
  std::map<std::string, std::string> files;  // "SRX" -> its capture file
  for (const auto& e : std::filesystem::directory_iterator("."))
    if (std::string f = e.path().filename().string(); f.rfind("zrc", 0) == 0 && f.back() == 'n')
      files[f.substr(3, 3)] = f;
  ASSERT_EQ(files.size(), 4u);
  for (const auto& [tag, pieces] : seen) {
    std::string out = zrcdump({files[tag.substr(0, 3)] + tag.substr(3)});
    EXPECT_EQ(out.substr(0, 7), "exit 0\n") << tag << "\n" << out;
    EXPECT_EQ(out.find(" ? "), std::string::npos) << tag << "\n" << out;  // no record unknown to the decoder
    for (const auto& piece : pieces)
      EXPECT_NE(out.find(piece), std::string::npos) << tag << " lacks " << piece << ":\n" << out;
  }
}

}  // namespace
