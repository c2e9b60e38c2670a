// A watch callback closing its own port while the application closes the same port, in
// both orders, with real threads.
#include <atomic>

#include "ser_test_util.h"

namespace {

struct CloseFromNotify {
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::atomic<int32_t> result{0};
  int delay_us = 0;
  static void notify(void* cookie, uint16_t) {
    CloseFromNotify* c = static_cast<CloseFromNotify*>(cookie);
    c->started = true;
    std::this_thread::sleep_for(std::chrono::microseconds(c->delay_us));
    c->result = ser_close(1);
    c->done = true;
  }
};

TEST_F(CableTest, WatchAndApplicationCloseTheSamePortTogether) {
  uint32_t peer_lines = 0;
  int watch_first = 0, application_first = 0;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(ser_open(1, 4000, 4000), 0) << "round " << i;  // the last round released it
    CloseFromNotify c;
    c.delay_us = (i % 4) * 100;
    ASSERT_EQ(ser_watch(1, &CloseFromNotify::notify, &c, 1, SER_EV_DSR), 0);
    peer_lines ^= SIM_LINE_DTR;
    sim_cable_set_lines(cable_, 0, peer_lines);
    std::this_thread::sleep_for(std::chrono::microseconds((i % 3) * 150));
    const int32_t app = ser_close(1);
    // Whoever closed second found the port closed; the one who closed it first owned it.
    if (app == -3) {
      ASSERT_TRUE(eventually([&] { return c.done.load(); })) << "round " << i;
      EXPECT_EQ(c.result.load(), 1) << "round " << i;
      ++watch_first;
    } else {
      EXPECT_EQ(app, 1) << "round " << i;
      if (c.done) {
        EXPECT_EQ(c.result.load(), -3) << "round " << i;
        ++application_first;
      }
    }
  }
  std::printf("watch closed first %d, application first %d\n", watch_first, application_first);
}

}  // namespace
