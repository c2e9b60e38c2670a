// The line-turnaround handshake between a calling and an answering connection on the
// two ends of the simulated cable. The answering side is polled on its own thread, as
// an application's receive loop would, while the calling side blocks in serial_set_mode.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"

using lpcap::Seq;

namespace {

// On its own thread: samples both ends' DTR every 200 us and keeps every change, in
// order; given the answering connection, also runs its reader passes every few
// milliseconds (well under the 400 ms that side allows) and notes what they left behind.
class Peer {
 public:
  Peer(int cable, Connection* answer) : cable_(cable), c_(answer) {
    for (int end = 0; end < 2; ++end) last_[end] = sim_cable_lines(cable, end);
    t_ = std::thread([this] { run(); });
  }
  ~Peer() { stop(); }
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
  // Read after stop(): the DTR changes as "A-" / "A+" / "B-" / "B+" (A calling, B
  // answering), the calling end's output lines at its first drop, what the passes saw.
  std::string dtr_story;
  int a_lines_at_first_drop = -1;
  bool saw_dtr_dropped = false, saw_break_pending = false;
  std::atomic<int> passes{0};

 private:
  // One more sample after stop() is asked for, so a change made just before (the
  // caller's DTR coming back as serial_set_mode returns) is never missed.
  void run() {
    for (int i = 0, last = 0; !last; ++i) {
      last = stop_;
      for (int end = 0; end < 2; ++end) {
        const int now = sim_cable_lines(cable_, end);
        const bool on = (now & SIM_LINE_DTR) != 0;
        if ((now ^ last_[end]) & SIM_LINE_DTR) {
          if (end == 0 && !on && a_lines_at_first_drop < 0) a_lines_at_first_drop = now;
          dtr_story += std::string(dtr_story.empty() ? "" : " ") + "AB"[end] + "-+"[on];
        }
        last_[end] = now;
      }
      if (c_ && i % 15 == 0) {
        serial_poll(c_);
        ++passes;
        saw_dtr_dropped |= c_->serial_dtr_dropped != 0;
        saw_break_pending |= c_->serial_reset_pending != 0;
      }
      if (!last) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  int cable_, last_[2];
  Connection* c_;
  std::atomic<bool> stop_{false};
  std::thread t_;
};

class Handshake : public lptest::CableTest {
 protected:
  void SetUp() override {
    CableTest::SetUp();
    open_both(57600);
    ASSERT_EQ((Seq() << serial_set_option(a_, 1) << serial_set_option(b_, 1)
                     << serial_set_option(b_, 1)).s,
              "0 0 1");
  }
  // One switch of the calling side while the answering side is polled; returns the
  // watched DTR story.
  std::string switch_to(int setup) {
    Peer peer(cable_, b_);
    peer.settle();
    EXPECT_EQ(serial_set_mode(a_, setup, 0), 0);
    peer.settle();
    peer.stop();
    EXPECT_TRUE(peer.saw_dtr_dropped);
    // The break is what arms the answering side: seen on its own while DSR is still
    // low, or at the latest in the pass that switches (which needs it).
    EXPECT_TRUE(peer.saw_break_pending || b_->serial_setup_mode == setup);
    // The calling side announces the framing on RTS before it drops DTR.
    EXPECT_NE(peer.a_lines_at_first_drop, -1);
    EXPECT_EQ(peer.a_lines_at_first_drop & int(SIM_LINE_RTS), setup ? 0 : int(SIM_LINE_RTS));
    return peer.dtr_story;
  }
  // Framing (1 setup, 0 message) and speed of both ends, then their DTR and RTS lines.
  std::string framing() {
    return (Seq() << a_->serial_setup_mode << a_->serial_baud << b_->serial_setup_mode
                  << b_->serial_baud << (lines(0) & kDtrRts) << (lines(1) & kDtrRts)).s;
  }
  // One message from the calling side arrives whole at the answering side.
  void carries(const std::vector<uint8_t>& m, size_t wire) {
    EXPECT_EQ(conn_send(a_, m.data(), 0), 0);  // the length from the message
    ASSERT_TRUE(lptest::wait_input(b_, int(wire)));
    std::vector<uint8_t> got(400);
    got.resize(size_t(rx_receive(b_, 0, got.data(), int(got.size()))));
    EXPECT_EQ(got, m);
  }
  static constexpr int kDtrRts = int(SIM_LINE_DTR | SIM_LINE_RTS);
};

TEST_F(Handshake, SwitchesBothSidesToSetupAndBack) {
  // Message framing -> setup framing at 9600; RTS low stands for the setup framing.
  EXPECT_EQ(switch_to(1), "A- B- A+ B+");
  EXPECT_EQ(framing(), "1 9600 1 9600 1 1");
  carries(lptest::message(0x85, 0x10, 0, 0, 0), 2);  // both speak pairs now
  // Setup framing -> message framing at the connect rate.
  EXPECT_EQ(switch_to(0), "A- B- A+ B+");
  EXPECT_EQ(framing(), "0 57600 0 57600 3 3");
  const auto big = lptest::message(0x90, 3, 200, 1);
  carries(big, big.size());
}

TEST_F(Handshake, FailsWhenDsrNeverDrops) {
  // The answering side takes no part: it keeps DTR up whatever the caller does.
  serial_set_option(b_, 0);
  Peer peer(cable_, b_);
  peer.settle();
  const uint32_t start = qc::clock_ms();
  EXPECT_EQ(serial_set_mode(a_, 1, 0), 0);
  EXPECT_GE(qc::clock_ms() - start, qc::kHandshakeWaitMs);  // the whole first wait ran out
  peer.stop();
  EXPECT_EQ(peer.dtr_story, "A- A+");
  // Nothing switched on the answering side; the caller records the framing it asked
  // for all the same.
  EXPECT_EQ(framing().substr(0, 14), "1 9600 0 57600");
}

}  // namespace
