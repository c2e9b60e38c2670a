// Waiting for messages without polling: conn_wait and the readiness handle, over real
// loopback sockets (library server and client) and pseudo-terminals.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "tests/commlib/eth/eth_test_util.h"
#include "tests/commlib/serial/serial_test_util.h"

using namespace ethtest;

namespace {

using Clock = std::chrono::steady_clock;

// Longest a wait that should end at once or on an event may take on a loaded machine;
// the waits that must not end are given far more than this.
constexpr long kPromptMs = 3000;
constexpr int kLongWait = 15000;

// Expects conn_wait to give result within [min_ms, max_ms).
void expect_wait(Connection* c, int channel, int timeout_ms, int result, long min_ms = 0,
                 long max_ms = kPromptMs) {
  auto t0 = Clock::now();
  EXPECT_EQ(conn_wait(c, channel, timeout_ms), result) << "channel " << channel;
  long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
  EXPECT_GE(ms, min_ms);
  EXPECT_LT(ms, max_ms);
}

bool readable(intptr_t h, int timeout_ms) {
  pollfd p{int(h), POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

int open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

class WaitEth : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, 1), 0);
    ASSERT_EQ(conn_connect(client, "ethernet", "127.0.0.1", port, 0), 0);
    ASSERT_TRUE(wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, 8000));
  }
  void TearDown() override {
    conn_free(client);
    conn_free(server);
  }
  int port = free_port_base();
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  uint8_t buf[64];
};

TEST_F(WaitEth, QueuedArrivingAndTimedOut) {
  struct Case {
    uint8_t type;  // 224 travels on the stream, 160 as a datagram
    int channel, expect;
  } cases[] = {{224, -1, 1}, {224, 0, 1}, {160, 1, 2}, {160, -1, 2}};
  for (const Case& k : cases) {
    ASSERT_EQ(send_built(client, k.type, 1, "x"), 0);
    ASSERT_TRUE(wait_for([&] { return conn_poll(server, -1) != 0; }, 5000));
    expect_wait(server, k.channel, kLongWait, k.expect);
    EXPECT_GT(rx_receive(server, k.channel, buf, sizeof buf), 0);
  }
  expect_wait(server, -1, 0, 0);
  expect_wait(server, -1, 300, 0, 290, 300 + kPromptMs);
  std::thread sender([&] {
    sleep_ms(150);
    send_built(client, 160, 1, "datagram");  // not for a stream-only wait
    sleep_ms(150);
    send_built(client, 224, 2, "stream");
  });
  expect_wait(server, 0, kLongWait, 1, 250);
  sender.join();
  EXPECT_EQ(conn_poll(server, -1), 3);
}

TEST_F(WaitEth, HandleReadableWhileMessagesWaitAndOnStatusChange) {
  intptr_t h = conn_wait_handle(server);
  ASSERT_GE(h, 0);
  EXPECT_EQ(conn_wait_handle(server), h) << "one handle for the object's life";
  EXPECT_FALSE(readable(h, 0));
  ASSERT_EQ(results({send_built(client, 224, 1, "one"), send_built(client, 160, 1, "two")}), "0 0");
  EXPECT_TRUE(readable(h, kPromptMs));
  ASSERT_TRUE(wait_for([&] { return conn_poll(server, -1) == 3; }, 5000));
  // Readable while the datagram still waits, not once both are taken.
  EXPECT_EQ(results({rx_receive(server, -1, buf, sizeof buf) > 0, readable(h, 0),
                     rx_receive(server, -1, buf, sizeof buf) > 0, rx_receive(server, -1, buf, sizeof buf),
                     readable(h, 0)}),
            "1 1 1 0 0");
  // A message queued before the handle was made counts too.
  ASSERT_EQ(send_built(server, 224, 1, "back"), 0);
  ASSERT_TRUE(wait_for([&] { return conn_poll(client, 0) != 0; }, 5000));
  intptr_t hc = conn_wait_handle(client);
  EXPECT_EQ(results({readable(hc, 0), rx_receive(client, -1, buf, sizeof buf) > 0, readable(hc, 0),
                     conn_wait_handle(nullptr)}),
            "1 1 0 -1");
  // The client's worker sees the stream end: the wait ends and the handle tells.
  std::thread closer([&] {
    sleep_ms(200);
    conn_disconnect(server);
  });
  expect_wait(client, -1, kLongWait, 0);
  closer.join();
  EXPECT_EQ(results({status_of(client), readable(hc, 0), rx_receive(client, -1, buf, sizeof buf),
                     readable(hc, 0)}),
            "0 1 0 0");
}

// One object waits and receives while another thread makes, uses and frees others.
TEST_F(WaitEth, WaitOnOneWhileAnotherThreadFreesOthers) {
  ASSERT_GE(conn_wait_handle(server), 0);
  const int fds = open_fds();
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < 12; ++i) {
      Connection* o = conn_alloc();
      conn_wait_handle(o);
      conn_connect(o, "ethernet", "127.0.0.1", port + 40, 0);  // nobody listens there
      conn_wait(o, -1, 20);
      conn_free(o);
    }
    done = true;
  });
  int got = 0;
  while (!done) {
    send_built(client, 224, 3, "during");
    if (conn_wait(server, 0, 2000) == 1 && rx_receive(server, 0, buf, sizeof buf) > 0) ++got;
  }
  churn.join();
  EXPECT_GT(got, 0);
  EXPECT_EQ(open_fds(), fds) << "freed objects leave no descriptor behind";
  while (rx_receive(server, -1, buf, sizeof buf) > 0) {
  }
  EXPECT_FALSE(readable(conn_wait_handle(server), 0));
  ASSERT_EQ(send_built(client, 224, 4, "after"), 0);
  EXPECT_TRUE(readable(conn_wait_handle(server), kPromptMs));
}

class WaitSerial : public lptest::PtyConnection {
 protected:
  WaitSerial() : PtyConnection(3, 9600) {}
};

TEST_F(WaitSerial, WaitsOnThePortAndFramesAsConnPollDoes) {
  using lptest::message;
  intptr_t h = conn_wait_handle(c_);
  ASSERT_GE(h, 0);
  EXPECT_FALSE(readable(h, 0));
  // Two messages in one write, framed one per pass: the second is held by the reader,
  // not in the port, and the wait must frame it.
  lptest::feed(master_, lptest::cat(message(0xE0, 1, 4, 1), message(0xE0, 2, 4, 2)));
  EXPECT_TRUE(readable(h, kPromptMs)) << "bytes in the port, before any reader pass";
  uint8_t buf[64];
  for (uint8_t command : {1, 2}) {
    expect_wait(c_, 0, kLongWait, 1);
    ASSERT_EQ(rx_receive(c_, 0, buf, sizeof buf), 12);
    EXPECT_EQ(buf[1], command);
  }
  expect_wait(c_, -1, 300, 0, 290, 300 + kPromptMs);
  EXPECT_FALSE(readable(h, 0));
  // A datagram framed first does not end a stream wait; the stream message behind it
  // is framed without new input.
  lptest::feed(master_, lptest::cat(message(0xA0, 5, 4, 4), message(0xE0, 6, 4, 5)));
  expect_wait(c_, 0, kLongWait, 1);
  EXPECT_EQ(conn_poll(c_, -1), 3);
  conn_reset(c_);
  // Arriving in halves during the wait.
  std::vector<uint8_t> m = message(0xE0, 3, 12, 3);
  std::thread writer([&] {
    sleep_ms(150);
    lptest::feed(master_, std::vector<uint8_t>(m.begin(), m.begin() + 7));
    sleep_ms(150);
    lptest::feed(master_, std::vector<uint8_t>(m.begin() + 7, m.end()));
  });
  expect_wait(c_, -1, kLongWait, 1, 250);
  writer.join();
  EXPECT_EQ(rx_receive(c_, -1, buf, sizeof buf), 20);
  // Reopened, the port is followed again; closed, nothing is.
  serial_reopen(c_);
  lptest::feed(master_, message(0xE0, 9, 2, 2));
  EXPECT_TRUE(readable(h, kPromptMs));
  ASSERT_GE(serial_close(c_), 0);
  EXPECT_FALSE(readable(h, 0));
}

}  // namespace
