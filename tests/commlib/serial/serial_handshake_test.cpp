// The line-turnaround handshake between a calling and an answering connection on the
// two ends of the simulated cable. The answering side is polled on its own thread, as
// an application's receive loop would, while the calling side blocks in serial_set_mode.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lptest::val;

namespace {

// Samples both ends' DTR and keeps every change, in order.
class LineWatch {
 public:
  explicit LineWatch(int cable) : cable_(cable) {
    for (int end = 0; end < 2; ++end) last_[end] = sim_cable_lines(cable, end);
    t_ = std::thread([this] { run(); });
  }
  ~LineWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (t_.joinable()) t_.join();
  }
  // The changes as "A-" / "A+" / "B-" / "B+" (A calling, B answering); read after stop().
  std::string dtr_story;
  int a_lines_at_first_drop = -1;  // the calling end's output lines then

 private:
  // One more sample after stop() is asked for, so a change made just before (the
  // caller's DTR coming back as serial_set_mode returns) is never missed.
  void run() {
    for (bool last = false; !last;) {
      last = stop_;
      for (int end = 0; end < 2; ++end) {
        const int now = sim_cable_lines(cable_, end);
        if ((now ^ last_[end]) & SIM_LINE_DTR) {
          const bool on = (now & SIM_LINE_DTR) != 0;
          if (end == 0 && !on && a_lines_at_first_drop < 0) a_lines_at_first_drop = now;
          dtr_story += std::string(dtr_story.empty() ? "" : " ") + "AB"[end] + "-+"[on];
        }
        last_[end] = now;
      }
      if (!last) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  int cable_;
  int last_[2];
  std::atomic<bool> stop_{false};
  std::thread t_;
};

// Runs reader passes on the answering connection every few milliseconds (well under the
// 400 ms the answering side allows) and notes what each pass left behind.
class Answerer {
 public:
  explicit Answerer(Connection* c) : c_(c) {
    t_ = std::thread([this] { run(); });
  }
  ~Answerer() { stop(); }
  void stop() {
    stop_ = true;
    if (t_.joinable()) t_.join();
  }
  // Waits until a few passes have run, so the answering side has seen DSR on.
  void settle() const {
    const int from = passes.load();
    for (int i = 0; i < 5000 && passes.load() < from + 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bool saw_dtr_dropped = false;  // read after stop()
  bool saw_break_pending = false;
  std::atomic<int> passes{0};

 private:
  void run() {
    while (!stop_) {
      serial_poll(c_);
      ++passes;
      saw_dtr_dropped |= c_->serial_dtr_dropped != 0;
      saw_break_pending |= c_->serial_reset_pending != 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }
  Connection* c_;
  std::atomic<bool> stop_{false};
  std::thread t_;
};

class Handshake : public lptest::CableTest {
 protected:
  static constexpr int kDtrRts = int(SIM_LINE_DTR | SIM_LINE_RTS);
  void SetUp() override {
    CableTest::SetUp();
    open_both(57600);
    ASSERT_EQ(serial_set_option(a_, 1), 0);
    ASSERT_EQ(serial_set_option(b_, 1), 0);
    EXPECT_EQ(serial_set_option(b_, 1), 1);
  }
  // One switch of the calling side while the answering side is polled; returns the
  // watched DTR story.
  std::string switch_to(int setup) {
    LineWatch watch(cable_);
    Answerer answer(b_);
    answer.settle();
    EXPECT_EQ(serial_set_mode(a_, setup, 0), 0);
    answer.settle();
    answer.stop();
    watch.stop();
    EXPECT_TRUE(answer.saw_dtr_dropped);
    // The break is what arms the answering side: seen on its own while DSR is still
    // low, or at the latest in the pass that switches (which needs it).
    EXPECT_TRUE(answer.saw_break_pending || val(b_->serial_setup_mode) == uint16_t(setup));
    // The calling side announces the framing on RTS before it drops DTR.
    EXPECT_NE(watch.a_lines_at_first_drop, -1);
    EXPECT_EQ(watch.a_lines_at_first_drop & int(SIM_LINE_RTS), setup ? 0 : int(SIM_LINE_RTS));
    return watch.dtr_story;
  }
  // Framing (1 setup, 0 message) and speed of both ends, as "A 1 9600, B 1 9600".
  std::string framing() const {
    auto end = [](const char* name, const Connection* c) {
      return std::string(name) + " " + std::to_string(c->serial_setup_mode) + " " +
             std::to_string(c->serial_baud);
    };
    return end("A", a_) + ", " + end("B", b_);
  }
};

TEST_F(Handshake, SwitchesBothSidesToSetupAndBack) {
  // Message framing -> setup framing at 9600.
  EXPECT_EQ(switch_to(1), "A- B- A+ B+");
  EXPECT_EQ(framing(), "A 1 9600, B 1 9600");
  // RTS low stands for the setup framing.
  for (int end : {0, 1}) EXPECT_EQ(lines(end) & kDtrRts, int(SIM_LINE_DTR)) << end;

  // Both speak pairs now.
  uint8_t m[8];
  ASSERT_EQ(msg_build(a_, m, sizeof m, 0x85, 0x10, nullptr, 0), 8);
  EXPECT_EQ(conn_send(a_, m, 0), 0);
  ASSERT_TRUE(lptest::wait_input(b_, 2));
  uint8_t got[16];
  ASSERT_EQ(rx_receive(b_, 0, got, sizeof got), 8);
  EXPECT_EQ(got[0], 0x85);
  EXPECT_EQ(got[1], 0x10);

  // Setup framing -> message framing at the connect rate.
  EXPECT_EQ(switch_to(0), "A- B- A+ B+");
  EXPECT_EQ(framing(), "A 0 57600, B 0 57600");
  for (int end : {0, 1}) EXPECT_EQ(lines(end) & kDtrRts, kDtrRts) << end;

  const auto big = lptest::message(0x90, 3, 200, 1);
  EXPECT_EQ(conn_send(a_, big.data(), int(big.size())), 0);
  ASSERT_TRUE(lptest::wait_input(b_, int(big.size())));
  uint8_t back[300];
  ASSERT_EQ(rx_receive(b_, 0, back, sizeof back), int(big.size()));
  EXPECT_EQ(std::memcmp(back, big.data(), big.size()), 0);
}

TEST_F(Handshake, FailsWhenDsrNeverDrops) {
  // The answering side takes no part: it keeps DTR up whatever the caller does.
  serial_set_option(b_, 0);
  LineWatch watch(cable_);
  Answerer answer(b_);
  answer.settle();
  const uint32_t start = qc::clock_ms();
  EXPECT_EQ(serial_set_mode(a_, 1, 0), 0);
  const uint32_t took = qc::clock_ms() - start;
  answer.stop();
  watch.stop();
  EXPECT_GE(took, qc::kHandshakeWaitMs);  // the whole first wait ran out
  EXPECT_EQ(watch.dtr_story, "A- A+");
  // Nothing switched on the answering side; the caller records the framing it asked
  // for all the same.
  EXPECT_EQ(framing(), "A 1 9600, B 0 57600");
}

TEST_F(Handshake, AnsweringSideGivesUpAfterALongDsrDropAndReadsNothingMeanwhile) {
  Answerer answer(b_);
  answer.settle();
  // The peer lowers DTR and never sends the break; what it sends meanwhile stays in
  // the port, since the answering side is waiting for a switch.
  ASSERT_NE(conn_dtr(a_, 0), 0);
  const std::vector<uint8_t> bytes = lptest::message(0x85, 1, 4, 1);
  ASSERT_EQ(serial_write(a_, bytes.data(), int(bytes.size())), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  answer.stop();
  EXPECT_TRUE(answer.saw_dtr_dropped);
  EXPECT_EQ(val(b_->serial_dtr_dropped), 0);
  EXPECT_EQ(lines(1) & SIM_LINE_DTR, int(SIM_LINE_DTR));  // given back after 400 ms
  EXPECT_EQ(val(b_->serial_setup_mode), 0);
  EXPECT_EQ(ser_in_count(kComB - 1), int(bytes.size()));
  EXPECT_EQ(val(b_->serial_raw_count), 0);
  // DSR back: the pass reads again.
  ASSERT_NE(conn_dtr(a_, 1), 0);
  EXPECT_EQ(serial_poll(b_), 1);
}

TEST_F(Handshake, WithoutTheOptionOrWithoutDsrTheCallerSwitchesAtOnce) {
  serial_set_option(a_, 0);
  LineWatch plain(cable_);
  EXPECT_EQ(serial_set_mode(a_, 1, 4800), 0);
  EXPECT_EQ(lines(0) & SIM_LINE_RTS, 0);
  EXPECT_EQ(val(a_->serial_baud), 4800u);
  EXPECT_EQ(serial_set_mode(a_, 0, 0), 0);
  EXPECT_EQ(lines(0) & SIM_LINE_RTS, int(SIM_LINE_RTS));
  EXPECT_EQ(val(a_->serial_baud), 57600u);
  plain.stop();
  EXPECT_EQ(plain.dtr_story, "");
  serial_set_option(a_, 1);
  serial_close(b_);  // nobody at the other end: DSR is off
  LineWatch watch(cable_);
  EXPECT_EQ(serial_set_mode(a_, 1, 0), 0);
  watch.stop();
  EXPECT_EQ(watch.dtr_story, "");
  EXPECT_EQ(val(a_->serial_setup_mode), 1);
}

}  // namespace
