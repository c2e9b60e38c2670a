// The application flushes a client while its worker reassembles a stream of 1000-byte
// messages from a real server over loopback. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

constexpr int kLen = 1000;

// Every byte after the type byte stays within 7..127 (the length's low byte aside), so
// a receive that starts inside a message never reads as a message start.
std::vector<uint8_t> numbered(uint32_t n) {
  std::vector<uint8_t> m(kLen);
  m[0] = 0xE5;
  m[1] = 9;
  m[2] = uint8_t(kLen & 0xff);
  m[3] = uint8_t(kLen >> 8);
  for (int i = 4; i < kLen - 4; ++i) m[size_t(i)] = uint8_t(7 + (n + uint32_t(i)) % 121);
  const uint8_t seq[4] = {uint8_t(7 + n % 121), uint8_t(7 + n / 121 % 121),
                            uint8_t(7 + n / 14641 % 121), 7};
  std::memcpy(m.data() + kLen - 4, seq, 4);
  return m;
}

uint32_t number_of(const uint8_t* m) {
  return uint32_t(m[kLen - 4] - 7) + 121u * uint32_t(m[kLen - 3] - 7) +
         14641u * uint32_t(m[kLen - 2] - 7);
}

}  // namespace

TEST(EthFlushRace, FlushWhileStreamBytesArriveKeepsEveryMessageWhole) {
  int port = free_port_base();
  ASSERT_NE(port, 0);
  Connection* s = conn_alloc();
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, 1 | 32), 0);
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, 32), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(c) != 0 && status_of(s) == 3; }, 8000));

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> sent{0};
  std::thread sender([&] {
    for (uint32_t n = 1; !stop.load() && n < 14641u * 121u; ++n) {
      auto m = numbered(n);
      if (conn_send(s, m.data(), kLen) != 0) break;
      sent.store(n);
      if (n % 4 == 0) sleep_ms(1);
    }
  });

  uint8_t buf[qc::kMaxMessage];
  uint32_t last = 0, taken = 0, resets = 0;
  bool whole = true, rising = true;
  auto take_all = [&] {
    int n;
    while ((n = rx_receive(c, 0, buf, sizeof buf)) > 0) {
      uint32_t k = number_of(buf);
      whole &= n == kLen && std::memcmp(buf, numbered(k).data(), kLen) == 0;
      rising &= k > last;  // a stale or repeated message would go back
      last = k;
      ++taken;
    }
  };
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    conn_reset(c);
    ++resets;
    take_all();
    std::this_thread::yield();
  }
  // The stream resynchronises once the flushing stops.
  uint32_t before = taken;
  wait_for([&] { take_all(); return taken > before; }, 5000);
  stop = true;
  sender.join();
  std::printf("%u sent, %u taken, %u flushes\n", sent.load(), taken, resets);
  EXPECT_TRUE(whole);
  EXPECT_TRUE(rising);
  EXPECT_GT(taken, before);
  conn_free(c);
  conn_free(s);
}
