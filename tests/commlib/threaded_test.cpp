// Producers on worker threads and the application thread taking messages, with capture
// and trace switched on so that every lock is crossed. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

TEST(QueueThreads, ProducersPerObjectAndOneConsumer) {
  constexpr int kObjects = 4;
  constexpr uint32_t kPerProducer = 3000;
  lpcap::ScratchDir dir("RECORD=1\nLOGALL=1\n");
  lpcap::TraceFile trace;
  Connection* objs[kObjects];
  uint32_t produced[kObjects][2] = {}, dropped[kObjects] = {}, received[kObjects][2] = {};
  for (Connection*& c : objs) {
    c = conn_alloc();
    c->transport = 1;  // no serial reader pass
    qc::capture_open(c, qc::kRx, "CRX");
  }
  std::atomic<int> running{kObjects};
  std::vector<std::thread> producers;
  for (int i = 0; i < kObjects; ++i) {
    producers.emplace_back([&, i] {
      Connection* c = objs[i];  // like a worker: only this thread writes rx_buf
      for (uint32_t n = 1; n <= kPerProducer; ++n) {
        int ch = int(n % 2);
        uint32_t seq = ++produced[i][ch];
        uint8_t* m = c->rx_buf;
        const uint8_t head[8] = {uint8_t(130 + i), uint8_t(ch), 12, 0, uint8_t(i), 0, 0, 0};
        std::memcpy(m, head, 8);
        for (int k = 0; k < 4; ++k) m[8 + k] = uint8_t(seq >> (8 * k));
        dropped[i] += qc::queue_message(c, 12, ch, ch ? "udpsocket" : "tcpsocket") != 0;
        if (n % 64 == 0) std::this_thread::yield();
      }
      running.fetch_sub(1);
    });
  }
  uint32_t last_seq[kObjects][2] = {};
  bool in_order = true, own_messages = true;
  uint8_t buf[64];
  for (bool done = false, more = true; !done || more;) {
    done = running.load() == 0;  // read before the sweep: a last full sweep follows
    more = false;
    for (int i = 0; i < kObjects; ++i) {
      for (int n; (n = rx_receive(objs[i], -1, buf, sizeof buf)) > 0; more = true) {
        int ch = buf[1];
        uint32_t seq = qc::le32(buf + 8);
        own_messages &= n == 12 && buf[0] == 130 + i && buf[4] == i && ch <= 1;
        if (ch > 1) continue;
        in_order &= seq > last_seq[i][ch];  // within a channel, taken in rising order
        last_seq[i][ch] = seq;
        ++received[i][ch];
      }
    }
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(own_messages);
  EXPECT_TRUE(in_order);
  for (int i = 0; i < kObjects; ++i) {
    Connection* c = objs[i];
    EXPECT_EQ(+c->rx_dropped, dropped[i]) << i;
    EXPECT_EQ(received[i][0] + received[i][1] + dropped[i], kPerProducer) << i;
    EXPECT_EQ(c->seq_gaps[0] + c->seq_gaps[1], 0u);
    EXPECT_EQ(c->queue[0].count + c->queue[1].count, 0);
    qc::capture_close(c);
    conn_free(c);
  }
}
