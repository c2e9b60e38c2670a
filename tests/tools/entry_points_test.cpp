// The housekeeping entry points, poll/reset (also against a queueing worker), trace and
// event records, and the index twins.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "commlib/core.h"
#include "commlib/qcomm.h"
#include "platform/sockets.h"
#include "tests/support/golden.h"
#include "tests/support/temp_root.h"

namespace fs = std::filesystem;

namespace {

// Puts a message of the given type and sequence into a channel's queue.
int queue(Connection* c, int channel, uint8_t type, uint32_t seq) {
  uint8_t m[12] = {type, 1, 12, 0, 0xaa, 0xbb, 0xcc, 0xdd};
  std::memcpy(m + 8, &seq, 4);
  std::memcpy(c->rx_buf, m, sizeof m);
  return qc::queue_message(c, sizeof m, channel, "test");
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
    old_ = fs::current_path();
    fs::current_path(dir_.path());
    qc::log_options_mark_unread();
  }
  void TearDown() override {
    trace_open(nullptr);
    conn_slot(0, 0);
    lib_cleanup();
    fs::current_path(old_);
  }
  TempRoot dir_;
  fs::path old_;
};

// The entry points as a transcript (tests/golden/tools_entry_points.txt): "slot", "alloc"
// and "buffer" pick the object (a registered one, or a block of ours that is not),
// "set" writes one of its fields, "queue" puts a message of a type and sequence into a
// channel, "state" shows the queues; the other words are entry points, an "_at" twin
// called with the index first, the others on the object picked ("send": whether an
// ethernet object without its stream says it is not connected).
TEST_F(EntryPoints, Transcript) {
  Connection* c = nullptr;
  alignas(8) static uint8_t block[QCOMM_OBJECT_SIZE];
  const uint8_t msg[8] = {0x82, 0, 0x34, 0x12, 0, 0, 0, 0}, ping[8] = {0x82, 0, 8, 0, 1, 0, 0, 0};
  const uint8_t settings[] = {0x99, 0, 16, 0, 0, 0, 4, 0, 'x', '=', '1', '\n', 0, 0, 0, 0};
  EXPECT_TRUE(script_match("tools_entry_points.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    auto n = [&](size_t k) { return k < a.size() ? std::atoi(a[k].c_str()) : 0; };
    const int i = n(0);
    uint8_t buf[32];
    std::memset(buf, 0x5a, sizeof buf);
    int r = 0;
    if (w == "slot") {
      c = reinterpret_cast<Connection*>(conn_slot(i, 1));
      r = conn_is_valid(c) * 10 + (conn_at(i) == c);
    }
    if (w == "alloc") r = conn_is_valid(c = conn_alloc());
    if (w == "buffer") r = (c = conn_init_buffer(block, sizeof block)) != nullptr;
    if (w == "free") conn_free(c);
    if (w == "slot_free" || w == "clear_slots") r = int(conn_slot(i, w == "slot_free" ? -1 : 0));
    if (w == "set" && a[0] == "transport") c->transport = uint16_t(n(1));
    if (w == "set" && a[0] == "status") c->status = int16_t(n(1));
    if (w == "set" && a[0] == "rx_fill") c->rx_fill = n(1);
    if (w == "set" && a[0] == "serial_raw") {
      c->serial_raw = uint16_t(n(1));
      c->serial_raw_count = uint16_t(n(2));
    }
    if (w == "queue") r = queue(c, i, uint8_t(n(1)), uint32_t(n(2)));
    if (w == "state") {
      uint32_t refs = 0;
      for (int k = 0; k < 2 * qc::kQueueSlots; ++k) refs += c->queue[k / qc::kQueueSlots].slot_ref[k % qc::kQueueSlots];
      char s[160];
      std::snprintf(s, sizeof s, "fill=%d count=%d/%d last=%u/%u refs=%u gaps=%u class=%d/%d/%d tx=%u\n", c->rx_fill,
                    c->queue[0].count, c->queue[1].count, c->last_rx_seq[0], c->last_rx_seq[1], refs, c->seq_gaps[0],
                    c->type_class[0], c->type_class[152], c->type_class[200], c->tx_seq_stream);
      return std::string(s);
    }
    if (w == "reset_at") conn_reset_at(i);
    if (w == "set_class_at") conn_set_class_at(i, uint8_t(n(1)), n(2), uint8_t(n(3)));
    if (w == "at") r = conn_at(i) != nullptr;
    if (w == "connect_at") r = conn_connect_at(i, "ethernet", "127.0.0.1", 20000 + getpid() % 20000, 1);  // not 5510: a game program may run here
    if (w == "is_invalid_at") r = conn_is_invalid_at(i, n(1));
    if (w == "disconnect_at") r = conn_disconnect_at(i);
    if (w == "poll_at") r = conn_poll_at(i, n(1));
    if (w == "rx_status_at") r = rx_status_at(i, n(1));
    if (w == "rx_receive_at") r = rx_receive_at(i, n(1), buf, sizeof buf) * 1000 + buf[0];
    if (w == "msg_build_at") r = msg_build_at(i, buf, sizeof buf, 0x82, 5, "ab", a.size() > 1 ? 2 : 0) * 1000 + buf[0];
    if (w == "msg_length_at") r = msg_length_at(i, msg);  // the object is not needed
    if (w == "send_at") r = conn_send_at(i, msg, 8);
    if (w == "line_errors_at") r = conn_line_errors_at(i, 4);
    if (w == "lines_at") r = conn_dsr_at(i) + conn_carrier_at(i) + conn_cts_at(i) + conn_ring_at(i);
    if (w == "controls_at") r = conn_dtr_at(i, 2) + conn_rts_at(i, 2) + conn_break_at(i, -1);
    if (w == "poll") r = conn_poll(c, i);
    if (w == "send") r = conn_send(c, ping, 8) - QCOMM_SYSTEM_ERROR_BASE == sock_err_not_connected_code();
    if (w == "reset") conn_reset(c);
    if (w == "receive") r = rx_receive(c, i, buf, sizeof buf) * 1000 + buf[0];
    if (w == "invalid") r = conn_is_invalid(c, 0) * 10 + conn_is_invalid(nullptr, 0);
    if (w == "log_event") r = conn_log_event(c, 1, 1, 1, 1) * 10 + conn_log_event(nullptr, 1, 1, 1, 1);
    if (w == "cleanup") r = a.empty() ? lib_cleanup() : qcomm_cleanup();
    if (w == "put") r = settings_put(a[0].c_str(), a.size() > 1 ? a[1].c_str() : nullptr);
    if (w == "parse") r = settings_parse(settings, sizeof settings);
    if (w == "get") return std::string(settings_get(a[0].c_str()) ? settings_get(a[0].c_str()) : "(null)") + "\n";
    if (w == "changed") return std::string(settings_next_changed() ? "more" : "none") + "\n";
    return std::to_string(r) + "\n";
  }));
}

TEST_F(EntryPoints, TraceOpenKeepsOnlyTheLatestFile) {
  trace_open("first.txt");
  ASSERT_NE(qc::trace_stream(), nullptr);
  Connection* c = conn_alloc();  // traces its creation
  trace_open("second.txt");
  EXPECT_EQ(open_count("first.txt") * 10 + open_count("second.txt"), 1);
  EXPECT_NE(dir_.read("first.txt").find("Alloc object : "), std::string::npos);
  qc::trace_printf("line %d\n", 2);
  trace_open(nullptr);
  EXPECT_EQ(qc::trace_stream(), nullptr);
  EXPECT_EQ(open_count("second.txt"), 0);
  conn_free(c);  // no stream: nothing is written anywhere
  EXPECT_EQ(dir_.read("second.txt"), "line 2\n");
  // Opening again truncates; a path that cannot be opened leaves no stream.
  trace_open("second.txt");
  EXPECT_EQ(dir_.read("second.txt"), "");
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
  std::string r = dir_.read("zrcCRX10.bin");
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
      queued += queue(c, int(seq & 1), uint8_t(seq & 1 ? 0xa0 : 0x90), seq) == 0;
      if (seq % 64 == 0) std::this_thread::yield();
    }
  });
  int seen = 0;
  uint8_t buf[32];
  // At least 20000 passes, longer if the worker was slow to get going (loaded machine).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 20000 || (seen != 3 && std::chrono::steady_clock::now() < give_up); ++i) {
    seen |= conn_poll(c, -1);
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
