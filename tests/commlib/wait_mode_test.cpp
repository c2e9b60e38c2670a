// conn_wait reading the stream on the waiting thread: the worker lends its data socket to
// a thread inside conn_wait and takes it back once conn_wait is no longer called. Each
// case runs with the library as server and as client, against a raw TCP peer that writes
// the byte stream in pieces of its own choosing, so that messages are split and joined
// across reads, whichever thread does them.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

using Clock = std::chrono::steady_clock;

// Longest a wait that should end at once or on an event may take on a loaded machine;
// the waits that must not end are given far more than this.
constexpr long kPromptMs = 3000;
constexpr int kLongWait = 15000;

long ms_since(Clock::time_point t0) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// Message i of a run: size (8 to 1600 bytes), command, payload and sequence follow from i.
std::vector<uint8_t> nth_message(int i) {
  const int size = 8 + (i * 7919) % (qc::kMaxMessage - 7);
  std::string payload(size_t(size - 8), '\0');
  for (size_t k = 0; k < payload.size(); ++k) payload[k] = char((i * 31 + int(k) * 7) & 0xff);
  return make_msg(224, uint8_t(i), payload, uint32_t(i + 1));
}

// Empty unless buf holds message i exactly.
std::string mismatch(int i, const uint8_t* buf, int n) {
  std::vector<uint8_t> want = nth_message(i);
  if (n != int(want.size())) return "message " + std::to_string(i) + ": " + std::to_string(n) +
                                    " bytes instead of " + std::to_string(want.size());
  if (std::memcmp(buf, want.data(), want.size()) != 0)
    return "message " + std::to_string(i) + ": other bytes";
  return "";
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The wake-up handle that both the worker's and the waiting thread's waits include: any
// number of signals read as one, and a cleared handle wakes nobody until signalled again.
TEST(WaitModeSeam, WakeSignalHoldsUntilClearedAndWorksAgain) {
  const int w = sock_wake_create();
  ASSERT_GT(w, 2);
  SockWaitSet none;
  std::memset(&none, 0, sizeof none);
  int woken = 0;
  EXPECT_EQ(sock_wait(&none, w, 0, &woken), 0);
  EXPECT_EQ(woken, 0);
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k <= round; ++k) ASSERT_EQ(sock_wake_signal(w), 0);
    EXPECT_EQ(sock_wait(&none, w, kLongWait, &woken), 0);
    EXPECT_EQ(woken, 1) << "round " << round;
    EXPECT_EQ(sock_wait(&none, w, 0, &woken), 0);
    EXPECT_EQ(woken, 1) << "a signal stays until it is cleared";
    ASSERT_EQ(sock_wake_clear(w), 0);
    EXPECT_EQ(sock_wait(&none, w, 20, &woken), 0);
    EXPECT_EQ(woken, 0) << "round " << round << ": one clear takes every signal";
  }
  EXPECT_EQ(sock_wake_clear(w), 0) << "clearing a quiet handle";
  EXPECT_EQ(sock_wake_close(w), 0);
}

enum class Role { kServer, kClient };  // what the library end is

class WaitMode : public ::testing::TestWithParam<Role> {
 protected:
  void SetUp() override {
    ASSERT_NE(port_, 0);
    ASSERT_NE(c_, nullptr);
    if (server()) {
      ASSERT_EQ(conn_connect(c_, "ethernet", "127.0.0.1", port_, 1), 0);
    } else {
      listener_ = bound_socket(SOCK_STREAM, port_, true);
      ASSERT_GE(listener_, 0);
      ASSERT_EQ(listen(listener_, 4), 0);
      ASSERT_EQ(conn_connect(c_, "ethernet", "127.0.0.1", port_, 0), 0);
    }
  }
  void TearDown() override {
    conn_free(c_);
    for (int s : {peer_, listener_})
      if (s >= 0) close(s);
  }

  bool server() const { return GetParam() == Role::kServer; }

  // Connects the raw peer (again, after a drop) and waits until the library end is up.
  // Returns the peer's socket, or -1.
  int attach() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
    if (server()) {
      peer_ = raw_tcp_connect(port_);
    } else {
      // The client's worker connects (again) by itself.
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 10000) == 1) peer_ = accept(listener_, nullptr, nullptr);
    }
    if (peer_ < 0) return -1;
    int one = 1;
    setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int up = server() ? qc::kStatusAccepted : -1;
    if (!wait_for([&] { return up < 0 ? status_of(c_) != 0 : status_of(c_) == up; }, 10000))
      return -1;
    return peer_;
  }

  // Where datagrams to the library end go.
  int udp_port() const { return server() ? port_ + 1 : port_; }

  int port_ = free_port_base();
  Connection* c_ = conn_alloc();
  int listener_ = -1;
  int peer_ = -1;
};

// Writes messages from..to-1 in pieces of random size, at most `ahead` messages past
// what the reader has counted in `received`, so that the queue of 96 never overflows
// while the reader pauses. Stops early when `stop` is set.
void write_stream(int s, int from, int to, int ahead, const std::atomic<int>& received,
                  const std::atomic<bool>& stop, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> piece(1, 1500), batch(1, 4000), pause(0, 3);
  std::vector<uint8_t> pending;
  int limit = batch(gen);
  auto flush = [&] {
    size_t at = 0;
    while (at < pending.size() && !stop) {
      size_t n = std::min(pending.size() - at, size_t(piece(gen)));
      if (!raw_send_all(s, pending.data() + at, n)) return;
      at += n;
      if (pause(gen) == 0) sleep_ms(1);
    }
    pending.clear();
  };
  for (int i = from; i < to && !stop;) {
    if (i - received.load() >= ahead) {
      flush();
      sleep_ms(1);
      continue;
    }
    std::vector<uint8_t> m = nth_message(i++);
    pending.insert(pending.end(), m.begin(), m.end());
    if (int(pending.size()) >= limit || i == to) {
      flush();
      limit = batch(gen);
    }
  }
}

// The reader alternates: blocks of messages taken with conn_wait (the socket lent to it),
// and blocks taken by polling alone after the worker has taken the socket back.
TEST_P(WaitMode, StreamArrivesWholeAndInOrderWhicheverThreadReads) {
  const int peer = attach();
  ASSERT_GE(peer, 0);
  constexpr int kCount = 1200;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::thread writer(write_stream, peer, 0, kCount, 48, std::cref(received), std::cref(stop), 13u);

  uint8_t buf[qc::kMaxMessage];
  int got = 0, lent_blocks = 0, reclaimed_blocks = 0;
  std::string bad;
  const auto t0 = Clock::now();
  while (got < kCount && bad.empty() && ms_since(t0) < 90000) {
    const int block = got / 100;
    const bool waiting = block % 3 != 2;
    if (waiting) {
      conn_wait(c_, 0, 2000);
      // Lent until the worker has seen no call for a lease: a look right after the call
      // finds it lent unless this thread stood still that long.
      if (qc::eth_socket_lent(c_) && got % 100 == 0) ++lent_blocks;
    } else if (got % 100 == 0 && wait_for([&] { return !qc::eth_socket_lent(c_); }, 10000)) {
      ++reclaimed_blocks;  // from here the worker reads until the next block waits again
    } else {
      sleep_ms(1);
    }
    int n;
    while (bad.empty() && (n = rx_receive(c_, 0, buf, sizeof buf)) > 0) {
      bad = mismatch(got, buf, n);
      received = ++got;
      if (got % 100 == 0) break;  // a new block: the next pass chooses how it reads
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(bad, "");
  EXPECT_EQ(got, kCount);
  EXPECT_GT(lent_blocks, 0) << "conn_wait never had the socket lent";
  EXPECT_GT(reclaimed_blocks, 0) << "the worker never took the socket back";
  qc::Guard g(qc::lock_queue());
  EXPECT_EQ(uint32_t(c_->rx_dropped), 0u);  // a copy: the block is packed
}

// The peer closes while the application waits with the socket lent: the wait ends with the
// status change, the end is taken once (one drop, traced once), and the worker goes on
// as before: the server takes the next client, the client connects again.
TEST_P(WaitMode, PeerCloseDuringTheWaitIsDroppedOnceByTheWorker) {
  TraceFile trace;
  ASSERT_TRUE(trace.ok());
  int peer = attach();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(conn_wait(c_, 0, 50), 0);  // lent from here, and while the next wait lasts
  std::thread closer([&] {
    sleep_ms(200);
    shutdown(peer, SHUT_RDWR);
  });
  const auto t0 = Clock::now();
  const int r = conn_wait(c_, 0, kLongWait);
  const long ms = ms_since(t0);
  closer.join();
  EXPECT_EQ(r, 0);
  EXPECT_LT(ms, kPromptMs);
  EXPECT_TRUE(wait_for([&] { return status_of(c_) == 0; }, 5000));

  peer = attach();
  ASSERT_GE(peer, 0) << "no new connection after the drop";
  std::vector<uint8_t> m = nth_message(5);
  ASSERT_TRUE(raw_send_all(peer, m.data(), m.size()));
  EXPECT_EQ(conn_wait(c_, 0, kLongWait), 1);
  uint8_t buf[qc::kMaxMessage];
  const int n = rx_receive(c_, 0, buf, sizeof buf);
  EXPECT_EQ(mismatch(5, buf, n), "");

  const std::string text = trace.text();
  if (server()) {
    EXPECT_EQ(count_of(text, "S disconnect\n"), 1) << text;
  } else {
    EXPECT_EQ(count_of(text, "C tcp receive : 0\n"), 1) << text;
  }
}

// After the last conn_wait the worker takes the socket back: an application that only
// polls still gets its messages, and the peer's close is still noticed.
TEST_P(WaitMode, AfterTheLastWaitTheWorkerReceivesAgain) {
  const int peer = attach();
  ASSERT_GE(peer, 0);
  std::vector<uint8_t> first = nth_message(0);
  ASSERT_TRUE(raw_send_all(peer, first.data(), first.size()));
  EXPECT_EQ(conn_wait(c_, 0, kLongWait), 1);
  uint8_t buf[qc::kMaxMessage];
  EXPECT_EQ(mismatch(0, buf, rx_receive(c_, 0, buf, sizeof buf)), "");
  ASSERT_TRUE(wait_for([&] { return !qc::eth_socket_lent(c_); }, 10000));

  std::atomic<int> received{1};
  std::atomic<bool> stop{false};
  std::thread writer(write_stream, peer, 1, 61, 40, std::cref(received), std::cref(stop), 7u);
  int got = 1;
  std::string bad;
  const auto t0 = Clock::now();
  while (got < 61 && bad.empty() && ms_since(t0) < 30000) {
    if (conn_poll(c_, 0) == 0) {
      sleep_ms(2);
      continue;
    }
    const int n = rx_receive(c_, 0, buf, sizeof buf);
    bad = mismatch(got, buf, n);
    received = ++got;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(bad, "");
  EXPECT_EQ(got, 61);
  EXPECT_FALSE(qc::eth_socket_lent(c_));

  shutdown(peer, SHUT_RDWR);
  EXPECT_TRUE(wait_for([&] { return status_of(c_) == 0; }, 5000));
}

// One arming of the deadline handle serves many waits; each wait still ends at its own
// limit, neither at an earlier wait's nor before its time.
TEST_P(WaitMode, EachWaitEndsAtItsOwnLimit) {
  const int peer = attach();
  ASSERT_GE(peer, 0);
  uint8_t buf[qc::kMaxMessage];
  auto message_ends_wait = [&](int i, int limit) {
    std::vector<uint8_t> m = nth_message(i);
    ASSERT_TRUE(raw_send_all(peer, m.data(), m.size()));
    EXPECT_EQ(conn_wait(c_, 0, limit), 1);
    EXPECT_EQ(mismatch(i, buf, rx_receive(c_, 0, buf, sizeof buf)), "");
  };
  auto quiet_wait_ms = [&](int limit) {
    const auto t0 = Clock::now();
    EXPECT_EQ(conn_wait(c_, 0, limit), 0);
    return ms_since(t0);
  };
  message_ends_wait(0, 3000);  // leaves the handle armed three seconds ahead
  const long shorter = quiet_wait_ms(100);
  EXPECT_GE(shorter, 99);
  EXPECT_LT(shorter, 2000) << "a shorter wait kept the earlier, later deadline";
  message_ends_wait(1, 300);  // armed 0.3 s ahead: early for the next wait
  EXPECT_GE(quiet_wait_ms(900), 899) << "an earlier deadline ended a longer wait";
}

// A datagram is read and queued by the worker even while the stream socket is lent: its
// queueing ends a wait that covers datagrams, and only such a wait.
TEST_P(WaitMode, DatagramQueuedByTheWorkerEndsALentWait) {
  ASSERT_GE(attach(), 0);
  const int udp = raw_udp(0);
  ASSERT_GE(udp, 0);
  for (int channel : {-1, 1}) {
    EXPECT_EQ(conn_wait(c_, channel, 30), 0);
    std::thread sender([&] {
      sleep_ms(150);
      std::vector<uint8_t> d = make_msg(160, uint8_t(channel + 2), "datagram", 1);
      raw_sendto(udp, udp_port(), d.data(), d.size());
    });
    const auto t0 = Clock::now();
    const int r = conn_wait(c_, channel, kLongWait);
    const long ms = ms_since(t0);
    sender.join();
    EXPECT_EQ(r, 2) << "channel " << channel;
    EXPECT_LT(ms, kPromptMs) << "channel " << channel;
    uint8_t buf[64];
    EXPECT_EQ(rx_receive(c_, 1, buf, sizeof buf), 16);
    EXPECT_EQ(buf[1], uint8_t(channel + 2));
  }
  close(udp);
}

// One thread receives on a lent socket while another makes, uses (lending their sockets
// too) and frees other connections, whose workers take and give back thread table
// entries meanwhile.
TEST_P(WaitMode, WaitOnOneWhileAnotherThreadFreesOthers) {
  const int peer = attach();
  ASSERT_GE(peer, 0);
  constexpr int kCount = 400;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::thread writer(write_stream, peer, 0, kCount, 48, std::cref(received), std::cref(stop), 21u);

  std::atomic<int> exchanged{0};
  std::atomic<bool> churned{false};
  std::thread churn([&] {
    for (int round = 0; round < 6 && !stop; ++round) {
      const int p = free_port_base();
      Connection* s = conn_alloc();
      Connection* k = conn_alloc();
      if (p != 0 && conn_connect(s, "ethernet", "127.0.0.1", p, 1) == 0 &&
          conn_connect(k, "ethernet", "127.0.0.1", p, 0) == 0 &&
          wait_for([&] { return status_of(k) != 0 && status_of(s) == 3; }, 8000) &&
          send_built(k, 224, uint8_t(round), "ping") == 0 && conn_wait(s, 0, kLongWait) == 1) {
        uint8_t buf[64];
        if (rx_receive(s, 0, buf, sizeof buf) == 12 && buf[1] == uint8_t(round)) ++exchanged;
      }
      conn_free(k);
      conn_free(s);
    }
    churned = true;
  });

  uint8_t buf[qc::kMaxMessage];
  int got = 0;
  std::string bad;
  const auto t0 = Clock::now();
  while ((got < kCount || !churned) && bad.empty() && ms_since(t0) < 90000) {
    conn_wait(c_, 0, 200);
    int n;
    while (bad.empty() && (n = rx_receive(c_, 0, buf, sizeof buf)) > 0) {
      bad = mismatch(got, buf, n);
      received = ++got;
    }
  }
  stop = true;
  writer.join();
  churn.join();
  EXPECT_EQ(bad, "");
  EXPECT_EQ(got, kCount);
  EXPECT_EQ(exchanged, 6);
}

INSTANTIATE_TEST_SUITE_P(Roles, WaitMode, ::testing::Values(Role::kServer, Role::kClient),
                         [](const ::testing::TestParamInfo<Role>& i) {
                           return i.param == Role::kServer ? "Server" : "Client";
                         });

}  // namespace
