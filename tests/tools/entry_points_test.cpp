// The housekeeping entry points, poll/reset (also against a queueing worker), trace and
// event records, and the index twins.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/qcomm.h"

namespace fs = std::filesystem;

namespace {

// Puts a message of the given type and sequence into a channel's queue.
int queue(Connection* c, int channel, uint8_t type, uint32_t seq) {
  uint8_t m[12] = {type, 1, 12, 0, 0xaa, 0xbb, 0xcc, 0xdd};
  std::memcpy(m + 8, &seq, 4);
  std::memcpy(c->rx_buf, m, sizeof m);
  return qc::queue_message(c, sizeof m, channel, "test");
}

std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// How many of this process's descriptors refer to the file.
int open_count(const fs::path& file) {
  int n = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    n += fs::read_symlink(e.path(), ec) == fs::absolute(file) && !ec;
  }
  return n;
}

// Each test runs in a scratch folder of its own (trace, options and capture files).
class EntryPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qc::live_object_count(), 0);
    std::string tmpl = (fs::temp_directory_path() / "lp_entry_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    old_ = fs::current_path();
    fs::current_path(dir_);
    qc::log_options_mark_unread();
  }
  void TearDown() override {
    trace_open(nullptr);
    conn_slot(0, 0);
    lib_cleanup();
    fs::current_path(old_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_, old_;
};

// Every twin refuses an index that names no object: 7 (reachable only through
// conn_slot), -1, and an empty entry; the twins reach the object in entry 2.
TEST_F(EntryPoints, IndexTwins) {
  auto* seventh = reinterpret_cast<Connection*>(conn_slot(7, 1));
  ASSERT_EQ(conn_is_valid(seventh), 1);
  ASSERT_EQ(queue(seventh, 0, 0x90, 1), 0);
  seventh->transport = 1;
  seventh->status = 3;
  const uint8_t msg[8] = {0x82, 0, 0x34, 0x12, 0, 0, 0, 0};
  uint8_t buf[32];
  std::memset(buf, 0x5a, sizeof buf);
  for (int index : {7, -1, 3}) {
    SCOPED_TRACE(index);
    conn_reset_at(index);
    conn_set_class_at(index, 0, 255, 4);
    const struct { const char* name; int got, want; } calls[] = {
        {"at", conn_at(index) != nullptr, 0},
        {"connect", conn_connect_at(index, "ethernet", "127.0.0.1", 5510, 1), 0},
        {"is_invalid", conn_is_invalid_at(index, 0), 1},
        {"disconnect", conn_disconnect_at(index), 0},
        {"poll", conn_poll_at(index, -1), 0},
        {"rx_status", rx_status_at(index, 0), 0},
        {"rx_receive", rx_receive_at(index, -1, buf, sizeof buf), 0},
        {"msg_build", msg_build_at(index, buf, sizeof buf, 0x82, 0, nullptr, 0), 0},
        {"untouched", buf[0], 0x5a},
        {"msg_length", msg_length_at(index, msg), 0x1234},  // the object is not needed
        {"send", conn_send_at(index, msg, 8), 0}, {"line_errors", conn_line_errors_at(index, 4), 0},
        {"dsr", conn_dsr_at(index), 0}, {"carrier", conn_carrier_at(index), 0},
        {"cts", conn_cts_at(index), 0}, {"ring", conn_ring_at(index), 0},
        {"dtr", conn_dtr_at(index, 2), 0}, {"rts", conn_rts_at(index, 2), 0},
        {"break", conn_break_at(index, -1), 0},
    };
    for (const auto& k : calls) EXPECT_EQ(k.got, k.want) << k.name;
  }
  EXPECT_EQ(seventh->type_class[0] + seventh->type_class[200], 0);
  EXPECT_EQ(conn_poll(seventh, 0), 1);

  auto* c = reinterpret_cast<Connection*>(conn_slot(2, 1));
  ASSERT_EQ(conn_at(2), c);
  c->transport = 1;
  conn_set_class_at(2, 150, 152, 2);
  EXPECT_EQ(c->type_class[152], 2);
  EXPECT_EQ(msg_build_at(2, buf, sizeof buf, 0x82, 5, "ab", 2) * 10 + int(c->tx_seq_stream), 101);
  queue(c, 1, 0xa0, 7);
  const int got[] = {conn_is_invalid_at(2, 99), conn_poll_at(2, 1), rx_status_at(2, 0),
                     rx_receive_at(2, 1, buf, sizeof buf), buf[0], conn_poll_at(2, -1)};
  EXPECT_EQ(std::vector<int>(got, got + 6), std::vector<int>({0, 2, 1, 12, 0xa0, 0}));
  queue(c, 0, 0x90, 8);
  conn_reset_at(2);
  EXPECT_EQ(conn_poll_at(2, -1), 0);
}

TEST_F(EntryPoints, PollByChannelAndResetOfBothQueues) {
  Connection* c = conn_alloc();
  c->transport = 1;
  EXPECT_EQ(conn_poll(c, -1), 0);
  queue(c, 1, 0xa0, 9);
  EXPECT_EQ(conn_poll(c, -1) * 100 + conn_poll(c, 0) * 10 + conn_poll(c, 5), 202);
  queue(c, 0, 0x90, 4);
  // A positive channel asks about the datagram queue only.
  EXPECT_EQ(conn_poll(c, -1) * 100 + conn_poll(c, 0) * 10 + conn_poll(c, 1), 312);
  c->rx_fill = 5;
  conn_reset(c);  // both queues and the partial message
  uint32_t left = c->rx_fill;
  for (int ch = 0; ch < 2; ++ch) {
    left += c->queue[ch].count + c->last_rx_seq[ch];
    for (int i = 0; i < qc::kQueueSlots; ++i) left += c->queue[ch].slot_ref[i];
  }
  EXPECT_EQ(left, 0u);
  uint8_t buf[16];
  EXPECT_EQ(rx_receive(c, -1, buf, sizeof buf), 0);
  queue(c, 0, 0x90, 1);  // a fresh sequence after the flush: no gap is counted
  EXPECT_EQ(c->seq_gaps[0], 0u);
  // Serial raw mode answers for the raw bytes alone.
  c->transport = 0;
  c->serial_raw = 1;
  EXPECT_EQ(conn_poll(c, -1), 0);
  c->serial_raw_count = 3;
  EXPECT_EQ(conn_poll(c, -1), 1);
  conn_free(c);
  EXPECT_EQ(conn_poll(c, -1) + conn_is_invalid(c, 0) * 10 + conn_is_invalid(nullptr, 0) * 100, 110);
  EXPECT_EQ(conn_log_event(c, 1, 1, 1, 1) + conn_log_event(nullptr, 1, 1, 1, 1), 0);
  // An object that is not registered is left alone.
  alignas(8) static uint8_t block[QCOMM_OBJECT_SIZE];
  Connection* u = conn_init_buffer(block, sizeof block);
  ASSERT_NE(u, nullptr);
  u->transport = 1;
  queue(u, 0, 0x90, 1);
  conn_free(u);
  u->rx_fill = 3;
  conn_reset(u);
  EXPECT_EQ(u->rx_fill * 10 + u->queue[0].count, 31);
}

TEST_F(EntryPoints, CleanupEmptiesSettingsOnlyWithoutLiveObjects) {
  ASSERT_EQ(settings_put("mode", "2"), 1);
  const uint8_t msg[] = {0x99, 0, 16, 0, 0, 0, 4, 0, 'x', '=', '1', '\n', 0, 0, 0, 0};
  ASSERT_EQ(settings_parse(msg, sizeof msg), 1);
  Connection* c = conn_alloc();
  Connection* d = conn_alloc();
  EXPECT_EQ(lib_cleanup() * 10 + qcomm_cleanup(), 22);
  EXPECT_STREQ(settings_get("mode"), "=2");
  conn_free(d);
  EXPECT_EQ(lib_cleanup(), 1);
  EXPECT_STREQ(settings_get("x="), "1");
  conn_free(c);
  EXPECT_EQ(lib_cleanup(), 0);
  EXPECT_TRUE(!settings_get("mode") && !settings_get("x") && !settings_next_changed());
  settings_put("again", nullptr);
  EXPECT_EQ(qcomm_cleanup(), 0);  // the second name behaves the same
  EXPECT_EQ(settings_get("again"), nullptr);
}

TEST_F(EntryPoints, TraceOpenKeepsOnlyTheLatestFile) {
  trace_open("first.txt");
  ASSERT_NE(qc::trace_stream(), nullptr);
  Connection* c = conn_alloc();  // traces its creation
  trace_open("second.txt");
  EXPECT_EQ(open_count("first.txt") * 10 + open_count("second.txt"), 1);
  EXPECT_NE(read_text("first.txt").find("Alloc object : "), std::string::npos);
  qc::trace_printf("line %d\n", 2);
  trace_open(nullptr);
  EXPECT_EQ(qc::trace_stream(), nullptr);
  EXPECT_EQ(open_count("second.txt"), 0);
  conn_free(c);  // no stream: nothing is written anywhere
  EXPECT_EQ(read_text("second.txt"), "line 2\n");
  // Opening again truncates; a path that cannot be opened leaves no stream.
  trace_open("second.txt");
  EXPECT_EQ(read_text("second.txt"), "");
  trace_open("no-such-dir/trace.txt");
  EXPECT_EQ(qc::trace_stream(), nullptr);
  EXPECT_EQ(open_count("second.txt"), 0);
}

TEST_F(EntryPoints, LogEventRecordsOnTheReceiveSide) {
  std::ofstream("ZRCLOG.INI") << "RECORD=1\n";
  Connection* c = conn_alloc();
  qc::capture_open(c, qc::kRx, "CRX");
  ASSERT_NE(c->rx_capture_slot, 0u);
  EXPECT_EQ(conn_log_event(c, 4321, 11, 22, 33), 1);
  qc::capture_close(c);
  conn_free(c);
  // One event record: kind 0, the code, a time stamp, then second, first and third.
  std::string r = read_text("zrcCRX10.bin");
  ASSERT_EQ(r.size(), 40u);
  uint32_t v[5];
  std::memcpy(v, r.data(), sizeof v);
  EXPECT_EQ(v[0], 4321u << 16);
  EXPECT_EQ(v[2] * 10000 + v[3] * 100 + v[4], 221133u);
}

// As the ethernet worker does: a worker queues while the application thread polls and
// resets (run under ThreadSanitizer too).
TEST_F(EntryPoints, PollAndResetWhileAWorkerQueues) {
  Connection* c = conn_alloc();
  c->transport = 1;
  std::atomic<bool> stop{false};
  std::atomic<int> queued{0};
  std::thread worker([&] {
    for (uint32_t seq = 1; !stop.load(); ++seq) {
      uint8_t m[12] = {uint8_t(seq & 1 ? 0xa0 : 0x90), 0, 12, 0};
      std::memcpy(m + 8, &seq, 4);
      std::memcpy(c->rx_buf, m, sizeof m);
      queued += qc::queue_message(c, sizeof m, int(seq & 1), "worker") == 0;
      if (seq % 64 == 0) std::this_thread::yield();
    }
  });
  int seen = 0;
  uint8_t buf[32];
  // At least 20000 passes, longer if the worker was slow to get going (loaded machine).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 20000 || (seen != 3 && std::chrono::steady_clock::now() < give_up); ++i) {
    int bits = conn_poll(c, -1);
    seen |= bits;
    if (i % 100 == 0) conn_reset(c);
    rx_receive(c, -1, buf, sizeof buf);
  }
  stop = true;
  worker.join();
  EXPECT_GT(queued.load(), 0);
  EXPECT_EQ(seen, 3);  // both queues were seen holding messages, and nothing else
  conn_reset(c);
  EXPECT_EQ(conn_poll(c, -1), 0);
  conn_free(c);
}

}  // namespace
