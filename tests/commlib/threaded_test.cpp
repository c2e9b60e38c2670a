// Producers on worker threads and the application thread taking messages, with capture
// and trace switched on so that every lock is crossed. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

namespace {

constexpr int kObjects = 4;
constexpr uint32_t kPerProducer = 3000;

struct Tally {
  uint32_t produced[2] = {};
  uint32_t dropped = 0;
};

TEST(QueueThreads, ProducersPerObjectAndOneConsumer) {
  lpcap::ScratchDir dir("RECORD=1\nLOGALL=1\n");
  ASSERT_FALSE(dir.path().empty());
  lpcap::TraceFile trace;
  ASSERT_TRUE(trace.ok());

  Connection* objs[kObjects];
  for (int i = 0; i < kObjects; ++i) {
    objs[i] = conn_alloc();
    ASSERT_NE(objs[i], nullptr);
    objs[i]->transport = 1;  // no serial reader pass
    qc::capture_open(objs[i], qc::kRx, "CRX");
  }

  Tally tally[kObjects];
  std::atomic<int> running{kObjects};
  std::vector<std::thread> producers;
  for (int i = 0; i < kObjects; ++i) {
    producers.emplace_back([&, i] {
      Connection* c = objs[i];
      // Like a worker thread: only this thread writes the object's rx_buf.
      for (uint32_t n = 1; n <= kPerProducer; ++n) {
        int ch = int(n % 2);
        uint32_t seq = ++tally[i].produced[ch];
        uint8_t* m = c->rx_buf;
        m[0] = uint8_t(130 + i);
        m[1] = uint8_t(ch);
        m[2] = 12;
        m[3] = 0;
        m[4] = uint8_t(i);
        for (int k = 0; k < 4; ++k) m[8 + k] = uint8_t(seq >> (8 * k));
        if (qc::queue_message(c, 12, ch, ch ? "udpsocket" : "tcpsocket")) ++tally[i].dropped;
        if (n % 64 == 0) std::this_thread::yield();
      }
      running.fetch_sub(1);
    });
  }

  uint32_t received[kObjects][2] = {};
  uint32_t last_seq[kObjects][2] = {};
  bool in_order = true;
  bool own_messages = true;
  uint8_t buf[64];
  for (;;) {
    bool done = running.load() == 0;  // read before the sweep: a last full sweep follows
    int taken = 0;
    for (int i = 0; i < kObjects; ++i) {
      int n;
      while ((n = rx_receive(objs[i], -1, buf, sizeof buf)) > 0) {
        ++taken;
        int ch = buf[1];
        uint32_t seq = qc::le32(buf + 8);
        own_messages &= (n == 12 && buf[0] == 130 + i && buf[4] == i && ch <= 1);
        if (ch > 1) continue;
        // Within a channel, later arrivals carry larger numbers: taken in rising order.
        in_order &= seq > last_seq[i][ch];
        last_seq[i][ch] = seq;
        ++received[i][ch];
      }
    }
    if (done && taken == 0) break;
  }
  for (auto& t : producers) t.join();

  uint32_t total_dropped = 0;
  for (const Tally& t : tally) total_dropped += t.dropped;
  std::printf("%u messages produced, %u dropped on full queues\n", kObjects * kPerProducer,
              total_dropped);
  EXPECT_TRUE(own_messages);
  EXPECT_TRUE(in_order);
  for (int i = 0; i < kObjects; ++i) {
    Connection* c = objs[i];
    EXPECT_EQ(+c->rx_dropped, tally[i].dropped) << "object " << i;
    EXPECT_EQ(received[i][0] + received[i][1] + tally[i].dropped, kPerProducer) << "object " << i;
    EXPECT_EQ(+c->seq_gaps[0], 0u);  // every message passed through queue_message in order
    EXPECT_EQ(+c->seq_gaps[1], 0u);
    EXPECT_EQ(c->queue[0].count + c->queue[1].count, 0);
    qc::capture_close(c);
    conn_free(c);
  }
}

}  // namespace
