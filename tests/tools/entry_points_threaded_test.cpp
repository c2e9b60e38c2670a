// conn_poll and conn_reset on the application thread while a worker queues messages,
// as the ethernet worker does; run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "commlib/core.h"
#include "commlib/qcomm.h"

TEST(EntryPointsThreaded, PollAndResetWhileAWorkerQueues) {
  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  c->transport = 1;
  std::atomic<bool> stop{false};
  std::atomic<int> queued{0};
  std::thread worker([&] {
    for (uint32_t seq = 1; !stop.load(); ++seq) {
      uint8_t m[12] = {uint8_t(seq & 1 ? 0xa0 : 0x90), 0, 12, 0};
      std::memcpy(m + 8, &seq, 4);
      std::memcpy(c->rx_buf, m, sizeof m);
      if (qc::queue_message(c, sizeof m, int(seq & 1), "worker") == 0) ++queued;
      if (seq % 64 == 0) std::this_thread::yield();
    }
  });
  int seen = 0;
  uint8_t buf[32];
  // At least 20000 passes, longer if the worker was slow to get going (loaded machine).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 20000 || (seen != 3 && std::chrono::steady_clock::now() < give_up); ++i) {
    int bits = conn_poll(c, -1);
    EXPECT_EQ(bits & ~3, 0);
    if (bits) seen |= bits;
    if (i % 100 == 0) conn_reset(c);
    rx_receive(c, -1, buf, sizeof buf);
  }
  stop = true;
  worker.join();
  EXPECT_GT(queued.load(), 0);
  EXPECT_EQ(seen, 3);  // both queues were seen holding messages at some point
  conn_reset(c);
  EXPECT_EQ(conn_poll(c, -1), 0);
  conn_free(c);
}
