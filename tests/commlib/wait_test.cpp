// Waiting for messages without polling over real loopback sockets: conn_wait and the
// readiness handle (a serial port's waits are in its transcript). While the application
// waits, the worker lends it the data socket and takes it back once conn_wait is no
// longer called: those cases run with the library as server and as client against a raw
// TCP peer that writes the stream in pieces of its own choosing, so messages are split
// and joined across reads.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

using Clock = std::chrono::steady_clock;
// Longest a wait that should end at once may take on a loaded machine; the waits that
// must not end are given far more.
constexpr int kPromptMs = 3000, kLongWait = 15000;

long ms_since(Clock::time_point t0) { return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()); }

// Expects conn_wait to give result at once (within kPromptMs).
void expect_wait(Connection* c, int channel, int timeout_ms, int result) {
  const auto t0 = Clock::now();
  EXPECT_EQ(results({conn_wait(c, channel, timeout_ms), ms_since(t0) < kPromptMs}), results({result, 1})) << channel;
}

// Message i of a run: size (8 to 1600 bytes), command, payload and sequence follow from i.
std::vector<uint8_t> nth_message(int i) {
  std::string payload(size_t((i * 7919) % (qc::kMaxMessage - 7)), '\0');
  for (size_t k = 0; k < payload.size(); ++k) payload[k] = char((i * 31 + int(k) * 7) & 0xff);
  return make_msg(224, uint8_t(i), payload, uint32_t(i + 1));
}

// Empty unless buf holds message i exactly.
std::string mismatch(int i, const uint8_t* buf, int n) {
  const std::vector<uint8_t> want = nth_message(i);
  return n == int(want.size()) && std::memcmp(buf, want.data(), want.size()) == 0 ? "" : "message " + std::to_string(i);
}

// The library end as server (a raw client connects) or as client (to a raw listener).
class WaitMode : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(server() || ((listener_ = bound_socket(SOCK_STREAM, port_, true)) >= 0 && listen(listener_, 4) == 0));
    ASSERT_EQ(conn_connect(c_, "ethernet", "127.0.0.1", port_, server()), 0);
    ASSERT_GE(attach(), 0);
  }
  void TearDown() override {
    conn_free(c_);
    for (int s : {peer_, listener_})
      if (s >= 0) close(s);
  }
  bool server() const { return GetParam(); }
  // Connects the raw peer (again, after a drop; the client's worker connects by itself)
  // and waits until the library end is up. Returns the peer's socket, or -1.
  int attach() {
    if (peer_ >= 0) close(peer_);
    pollfd p{listener_, POLLIN, 0};
    peer_ = server() ? raw_tcp_connect(port_) : poll(&p, 1, 10000) == 1 ? accept(listener_, nullptr, nullptr) : -1;
    int one = 1;
    return peer_ >= 0 && setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
           wait_for([&] { return server() ? status_of(c_) == 3 : status_of(c_) != 0; }, 10000) ? peer_ : -1;
  }
  // Sends message i from the peer: it ends a wait with that limit and is taken whole.
  void message_ends_wait(int i, int limit) {
    std::vector<uint8_t> m = nth_message(i);
    EXPECT_TRUE(raw_send_all(peer_, m.data(), m.size()) && conn_wait(c_, 0, limit) == 1);
    EXPECT_EQ(mismatch(i, buf_, rx_receive(c_, 0, buf_, sizeof buf_)), "");
  }
  // Takes every waiting message, checking each against the run; stops at the first wrong one.
  void take(int* got, std::atomic<int>* received, std::string* bad, bool block_ends = false) {
    for (int n; bad->empty() && (n = rx_receive(c_, 0, buf_, sizeof buf_)) > 0;) {
      *bad = mismatch(*got, buf_, n);
      *received = ++*got;
      if (block_ends && *got % 100 == 0) break;  // a new block: the next pass chooses how it reads
    }
  }
  int port_ = free_port_base();
  Connection* c_ = conn_alloc();
  int listener_ = -1, peer_ = -1;
  uint8_t buf_[qc::kMaxMessage];
};

// Writes messages 0..to-1 in pieces of random size (a pause now and then), at most `ahead`
// past what the reader has counted, so that the queue of 96 never overflows while the
// reader pauses.
void write_stream(int s, int to, int ahead, const std::atomic<int>& received, const std::atomic<bool>& stop, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> pending;
  for (int i = 0; (i < to || !pending.empty()) && !stop;) {
    if (i < to && i - received.load() < ahead && pending.size() < gen() % 4000) {
      const std::vector<uint8_t> m = nth_message(i++);
      pending.insert(pending.end(), m.begin(), m.end());
      continue;
    }
    const size_t n = std::min(pending.size(), size_t(1 + gen() % 1500));
    if (n > 0 && !raw_send_all(s, pending.data(), n)) return;
    pending.erase(pending.begin(), pending.begin() + long(n));
    if (n == 0 || gen() % 4 == 0) sleep_ms(1);
  }
}

// The reader alternates: blocks of messages taken with conn_wait (the socket lent to it),
// and blocks taken by polling alone after the worker has taken the socket back.
TEST_P(WaitMode, StreamArrivesWholeAndInOrderWhicheverThreadReads) {
  const int kCount = 1200;
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::thread writer(write_stream, peer_, kCount, 48, std::cref(received), std::cref(stop), 13u);
  int got = 0, lent_blocks = 0, reclaimed_blocks = 0;
  std::string bad;
  for (const auto t0 = Clock::now(); got < kCount && bad.empty() && ms_since(t0) < 90000;) {
    if ((got / 100) % 3 != 2) {
      conn_wait(c_, 0, 2000);
      // Lent until the worker has seen no call for a lease: a look right after the call
      // finds it lent unless this thread stood still that long.
      lent_blocks += qc::eth_socket_lent(c_) && got % 100 == 0;
    } else if (got % 100 == 0 && wait_for([&] { return !qc::eth_socket_lent(c_); }, 10000)) {
      ++reclaimed_blocks;  // from here the worker reads until the next block waits again
    } else {
      sleep_ms(1);
    }
    take(&got, &received, &bad, true);
  }
  stop = true;
  writer.join();
  // Every message, some blocks read with the socket lent and some after the worker took it back.
  EXPECT_EQ(bad + results({got, lent_blocks > 0, reclaimed_blocks > 0}), results({kCount, 1, 1}));
  qc::Guard g(qc::lock_queue());
  EXPECT_EQ(uint32_t(c_->rx_dropped), 0u);  // a copy: the block is packed
}

// The peer closes while the application waits with the socket lent: the wait ends with the
// status change, the end is taken once (one drop, traced once), and the worker goes on
// as before: the server takes the next client, the client connects again.
TEST_P(WaitMode, PeerCloseDuringTheWaitIsDroppedOnceByTheWorker) {
  TraceFile trace;
  EXPECT_EQ(conn_wait(c_, 0, 50), 0);  // lent from here, and while the next wait lasts
  std::thread closer([&] { sleep_ms(200), shutdown(peer_, SHUT_RDWR); });
  expect_wait(c_, 0, kLongWait, 0);
  closer.join();
  EXPECT_TRUE(wait_for([&] { return status_of(c_) == 0; }, 5000));
  ASSERT_GE(attach(), 0) << "no new connection after the drop";
  message_ends_wait(5, kLongWait);
  const std::string text = trace.text(), end = server() ? "S disconnect\n" : "C tcp receive : 0\n";
  size_t first = text.find(end);
  EXPECT_TRUE(first != std::string::npos && first == text.rfind(end)) << text;
}

// The peer's stream ends 100 bytes into a 208-byte message, by conn_disconnect and
// conn_connect, then by the peer dying: the half message goes with its connection
// (counted, recorded), and the next connection's three 58-byte messages come out whole.
TEST_P(WaitMode, HalfMessageOfAnEndedConnectionIsDroppedNotJoinedToTheNext) {
  ScratchDir dir("RECORD=1\nWRITENOW=1\n");
  const std::vector<uint8_t> half = make_msg(224, 1, std::string(200, 'h'), 1);
  for (uint32_t round = 1; round <= 2; ++round) {
    ASSERT_TRUE(raw_send_all(peer_, half.data(), 100));
    ASSERT_TRUE(wait_for([&] {
      qc::Guard g(qc::lock_queue());
      return c_->rx_fill == 100;
    }, 5000));
    if (round == 1) {
      ASSERT_EQ(conn_disconnect(c_) + conn_connect(c_, "ethernet", "127.0.0.1", port_, server()), 0);
    } else {
      shutdown(peer_, SHUT_RDWR);
      ASSERT_TRUE(wait_for([&] { return status_of(c_) == 0; }, 5000));
    }
    ASSERT_GE(attach(), 0);
    for (uint8_t k = 1; k <= 3; ++k) ASSERT_TRUE(raw_send_all(peer_, make_msg(225, k, std::string(50, 'w'), k).data(), 58));
    std::string got;
    for (int n; conn_wait(c_, -1, 1000) && (n = rx_receive(c_, -1, buf_, sizeof buf_)) > 0;)
      got += std::to_string(n) + ":" + std::to_string(buf_[1]) + " ";
    EXPECT_EQ(got + results({conn_get_rx_dropped(c_)}), "58:1 58:2 58:3 " + std::to_string(round));
  }
  const auto records = dir.capture("");
  const auto dropped = events(records, 31);
  ASSERT_EQ(dropped.size(), 1u);  // the first drop came before the capture was opened
  EXPECT_EQ(results({dropped[0]->first & 0xffff, dropped[0]->second, dropped[0]->third}), results({224 | 1 << 8, 100, server()}));
}

// One arming of the deadline handle serves many waits; each wait still ends at its own
// limit, neither at an earlier wait's nor before its time.
TEST_P(WaitMode, EachWaitEndsAtItsOwnLimit) {
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
// queueing ends a wait that covers datagrams.
TEST_P(WaitMode, DatagramQueuedByTheWorkerEndsALentWait) {
  const int udp = raw_udp(0);
  ASSERT_TRUE(udp >= 0 && conn_wait(c_, 1, 0) == 0);  // nothing yet: at once
  for (int channel : {-1, 1}) {
    EXPECT_EQ(conn_wait(c_, channel, 30), 0);
    const std::vector<uint8_t> d = make_msg(160, uint8_t(channel + 2), "datagram", 1);
    std::thread sender([&] {
      sleep_ms(150);
      raw_sendto(udp, server() ? port_ + 1 : port_, d.data(), d.size());
    });
    expect_wait(c_, channel, kLongWait, 2);
    sender.join();
    // The handle for an event loop: readable while the datagram waits, quiet once read.
    pollfd p{int(conn_wait_handle(c_)), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(results({rx_receive(c_, 1, buf_, sizeof buf_), buf_[1], poll(&p, 1, 0)}), results({16, channel + 2, 0}));
  }
  close(udp);
}

// One thread receives on a lent socket while another makes, uses (lending their sockets
// too) and frees other connections, whose workers take and give back thread table
// entries meanwhile; the freed ones leave no descriptor behind.
TEST_P(WaitMode, WaitOnOneWhileAnotherThreadFreesOthers) {
  const int kCount = 400;
  ASSERT_GE(conn_wait_handle(c_), 0);
  const int fds = count_entries("/proc/self/fd");
  std::atomic<int> received{0}, exchanged{0};
  std::atomic<bool> stop{false}, churned{false};
  std::thread writer(write_stream, peer_, kCount, 48, std::cref(received), std::cref(stop), 21u);
  std::thread churn([&] {
    for (int round = 0; round < 6 && !stop; ++round) {
      const int p = free_port_base();
      Connection* s = conn_alloc();
      Connection* k = conn_alloc();
      uint8_t b[64];
      exchanged += p != 0 && conn_connect(s, "ethernet", "127.0.0.1", p, 1) == 0 &&
                   conn_connect(k, "ethernet", "127.0.0.1", p, 0) == 0 &&
                   wait_for([&] { return status_of(k) != 0 && status_of(s) == 3; }, 8000) &&
                   send_built(k, 224, uint8_t(round), "ping") == 0 && conn_wait(s, 0, kLongWait) == 1 &&
                   rx_receive(s, 0, b, sizeof b) == 12 && b[1] == uint8_t(round);
      conn_free(k);
      conn_free(s);
    }
    churned = true;
  });
  int got = 0;
  std::string bad;
  for (const auto t0 = Clock::now(); (got < kCount || !churned) && bad.empty() && ms_since(t0) < 90000;) {
    conn_wait(c_, 0, 200);
    take(&got, &received, &bad);
  }
  stop = true;
  writer.join();
  churn.join();
  EXPECT_EQ(bad + results({got, exchanged, count_entries("/proc/self/fd")}), results({kCount, 6, fds}));
}

INSTANTIATE_TEST_SUITE_P(Roles, WaitMode, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Server" : "Client"; });

}  // namespace
