// Driver work that involves threads: background writes, event waits and the one-shot
// watch, and the cable driven from two threads.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "ser_test_util.h"

namespace {

using namespace std::chrono_literals;

using SerPtyThreads = PtyPortTest<true>;

TEST_F(SerPtyThreads, BackgroundWritesRunRefuseASecondAndStopAtClose) {
  // Far more than a pseudo-terminal buffers, so the write still runs while nobody reads.
  std::vector<unsigned char> big(1 << 20), got(big.size());
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + 3);
  BackgroundWrites bg;
  ASSERT_EQ(ser_write(0, big.data(), static_cast<int>(big.size())), 0);
  char c;  // a second write is refused, reads go on while the writer works
  EXPECT_EQ(results({ser_write(0, "x", 1), ser_read(0, &c, 1)}), "-100 0");
  ASSERT_EQ(read_full(master_, got.data(), static_cast<int>(got.size()), 10000), int(big.size()));
  EXPECT_TRUE(got == big);
  int r = -100;  // once the writer has ended the next one is taken
  ASSERT_TRUE(eventually([&] { return (r = ser_write(0, big.data(), int(big.size()))) != -100; }));
  EXPECT_EQ(r, 0);
  // Nobody reads now: the writer must stop by itself when the port closes.
  EXPECT_EQ(results({ser_close(0), ser_write(0, big.data(), 1)}), "1 -3");
  big.assign(big.size(), 0);  // the writer no longer reads the buffer
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
}

TEST_F(SerPtyThreads, WaitEventWakesOnIncomingBytes) {
  std::atomic<int32_t> events{-1};
  std::thread waiter([&] { events = ser_wait_event(0, SER_EV_RXCHAR | SER_EV_DSR); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.load(), -1);  // nothing has happened yet
  ASSERT_EQ(write(master_, "a", 1), 1);
  waiter.join();
  EXPECT_EQ(events.load(), static_cast<int32_t>(SER_EV_RXCHAR));
}

// A watch's notify: closes its own port, or counts its calls and re-arms once if asked.
struct Notes {
  std::mutex mu;
  std::condition_variable cv;
  int calls = 0;
  uint16_t message = 0;
  bool rearm = false;
  std::atomic<int> close_delay_us{-1};
  std::atomic<int32_t> close_result{0};
  std::atomic<bool> closed{false};  // set last: the test may end right after it

  static void notify(void* cookie, uint16_t message) {
    Notes* n = static_cast<Notes*>(cookie);
    if (n->close_delay_us >= 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(n->close_delay_us));
      n->close_result = ser_close(1);
      n->closed = true;
      return;
    }
    bool rearm;
    {
      std::lock_guard<std::mutex> lock(n->mu);
      ++n->calls;
      n->message = message;
      rearm = n->rearm;
      n->rearm = false;
    }
    if (rearm) ser_watch(1, &Notes::notify, n, static_cast<uint16_t>(message + 1), SER_EV_CTS);
    n->cv.notify_all();
  }
  bool wait_calls(int want) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, 10s, [&] { return calls >= want; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu);
    return calls;
  }
};

struct SerCableThreads : CableTest {
  void SetUp() override {
    CableTest::SetUp();
    if (!HasFatalFailure()) open_both();
  }
};

TEST_F(SerCableThreads, WaitEventWakesOnLineChanges) {
  // The waiter only sees changes made after it started waiting, and on a busy machine
  // it may start late: keep making the change until it answers (bounded).
  auto until_answered = [](std::atomic<int32_t>& ev, auto change) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ev.load() == -1 && std::chrono::steady_clock::now() < deadline) {
      change();
      std::this_thread::sleep_for(20ms);
    }
  };
  std::atomic<int32_t> events{-1};
  std::thread waiter([&] { events = ser_wait_event(1, SER_EV_DSR | SER_EV_BREAK); });
  ser_rts(0, 'S');  // CTS is not in the mask
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(events.load(), -1);
  until_answered(events, [] { ser_dtr(0, 'C'), ser_dtr(0, 'S'); });
  waiter.join();
  EXPECT_EQ(events.load(), static_cast<int32_t>(SER_EV_DSR));
  events = -1;
  std::thread waiter2([&] { events = ser_wait_event(1, SER_EV_BREAK | SER_EV_ERR); });
  until_answered(events, [] { ser_break(0, 'A'), ser_break(0, 'C'); });
  waiter2.join();
  EXPECT_EQ(events.load(), static_cast<int32_t>(SER_EV_BREAK));
  EXPECT_EQ(ser_break(1, 'D'), 0x10);  // waiting did not consume the error
  ser_write(0, "z", 1);  // already waiting bytes answer at once
  EXPECT_EQ(ser_wait_event(1, SER_EV_RXCHAR | SER_EV_ERR), static_cast<int32_t>(SER_EV_RXCHAR));
}

TEST_F(SerCableThreads, WatchNotifiesOncePerCall) {
  Notes notes;
  ASSERT_EQ(ser_watch(1, &Notes::notify, &notes, 1234, SER_EV_CTS), 0);
  ser_rts(0, 'S');
  ASSERT_TRUE(notes.wait_calls(1));
  EXPECT_EQ(notes.message, 1234);
  ser_rts(0, 'C');  // one-shot: a further change is not reported without a new ser_watch
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(notes.count(), 1);
  notes.rearm = true;  // re-armed from inside notify (no watch runs now)
  ASSERT_EQ(ser_watch(1, &Notes::notify, &notes, 10, SER_EV_CTS), 0);
  ser_rts(0, 'S');
  ASSERT_TRUE(notes.wait_calls(2));
  ser_rts(0, 'C');
  ASSERT_TRUE(notes.wait_calls(3));
  EXPECT_EQ(notes.message, 11);
  // Stopping a running watch (result 1) or closing the port ends it without notify.
  ASSERT_EQ(ser_watch(1, &Notes::notify, &notes, 20, SER_EV_RING), 0);
  EXPECT_EQ(ser_watch(1, nullptr, nullptr, 0, 0), 1);
  sim_cable_set_ring(cable_, 1, true);
  ASSERT_EQ(ser_watch(1, &Notes::notify, &notes, 30, SER_EV_DSR), 0);
  EXPECT_EQ(ser_close(1), 1);
  ser_dtr(0, 'S');
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(notes.count(), 3);
}

// The answering side echoes from its own thread while the caller writes and reads.
TEST_F(SerCableThreads, AnsweringSideOnAnotherThread) {
  std::atomic<bool> done{false};
  std::thread answer([&] {
    unsigned char buf[256];
    for (int n; !done.load(); std::this_thread::sleep_for(1ms))
      if ((n = ser_read(1, buf, sizeof buf)) > 0) ser_write(1, buf, n);
  });
  std::vector<unsigned char> sent(20000), echoed(sent.size());
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 13);
  // No ASSERT while the answering thread runs: it must be joined.
  EXPECT_EQ(ser_write(0, sent.data(), static_cast<int>(sent.size())), static_cast<int>(sent.size()));
  size_t got = 0;
  EXPECT_TRUE(eventually([&] {
    int n = ser_read(0, echoed.data() + got, static_cast<int>(echoed.size() - got));
    return (got += size_t(n > 0 ? n : 0)) == echoed.size();
  }));
  done = true;
  answer.join();
  EXPECT_TRUE(sent == echoed);
}

// A watch's notify closes its own port while the application closes it, in both orders:
// whoever closes second finds the port closed, and the port is free for the next round.
TEST_F(CableTest, WatchAndApplicationCloseTheSamePortTogether) {
  Notes n;
  uint32_t peer_lines = 0;
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(ser_open(1, 4000, 4000), 0);
    n.closed = false;
    n.close_delay_us = (i % 4) * 100;
    ASSERT_EQ(ser_watch(1, &Notes::notify, &n, 1, SER_EV_DSR), 0);
    sim_cable_set_lines(cable_, 0, peer_lines ^= SIM_LINE_DTR);
    std::this_thread::sleep_for(std::chrono::microseconds((i % 3) * 150));
    const int32_t app = ser_close(1);
    ASSERT_TRUE(app == 1 || (app == -3 && eventually([&] { return n.closed.load(); }))) << app;
    EXPECT_TRUE(!n.closed || n.close_result == (app == -3 ? 1 : -3)) << n.close_result;
  }
}

}  // namespace
