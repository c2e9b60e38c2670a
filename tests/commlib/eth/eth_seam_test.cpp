// The socket seam's own promises: handles above 2, error meanings, waking a wait.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

TEST(EthSeam, HandlesNeverTakeTheStandardNumbersAndCloseOnExec) {
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);  // the lowest free number is now 0
  int s = sock_create(kSockDatagram);
  int w = sock_wake_create();
  dup2(saved, 0);
  close(saved);
  ASSERT_GE(s, 3);
  ASSERT_GE(w, 3);
  EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(w, F_GETFD) & FD_CLOEXEC);
  sock_close(s);
  sock_wake_close(w);
}

TEST(EthSeam, ErrorsKeepTheirNumbersAndMeanings) {
  for (int e : {EINPROGRESS, EALREADY, EWOULDBLOCK}) EXPECT_TRUE(sock_err_would_block(e)) << e;
  EXPECT_FALSE(sock_err_would_block(ECONNREFUSED));
  EXPECT_TRUE(sock_err_invalid(EINVAL));
  EXPECT_TRUE(sock_err_already_connected(EISCONN));
  EXPECT_TRUE(sock_err_net_down(ENETDOWN));
  int s = sock_create(kSockStream);
  ASSERT_GE(s, 3);
  uint8_t ip[4] = {127, 0, 0, 1};
  qc::NetAddr4 a;
  sock_addr_make(&a, ip, uint16_t(free_port_base()));  // nobody listens there
  int r = sock_connect(s, &a);
  EXPECT_EQ(r, -ECONNREFUSED);
  EXPECT_EQ(sock_send(s, "x", 1), -EPIPE) << "no signal, the error comes back";
  sock_close(s);
  char text[32];
  sock_addr_text(&a, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
}

TEST(EthSeam, WakeEndsAWaitAtOnceAndStaysSignalled) {
  int w = sock_wake_create();
  int u = sock_create(kSockDatagram);
  ASSERT_GE(w, 3);
  ASSERT_GE(u, 3);
  SockWaitSet set;
  std::memset(&set, 0, sizeof set);
  set.fd[0] = u;
  int woken = -1;
  EXPECT_EQ(sock_wait(&set, w, 50, &woken), 0);
  EXPECT_EQ(woken, 0);
  std::thread t([&] {
    sleep_ms(50);
    sock_wake_signal(w);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sock_wait(&set, w, 10000, &woken), 0);
  EXPECT_EQ(woken, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  t.join();
  EXPECT_EQ(sock_wait(&set, w, 10000, &woken), 0);
  EXPECT_EQ(woken, 1) << "a stop request is not consumed by the first wait";
  sock_close(u);
  sock_wake_close(w);
}

TEST(EthSeam, OversizeDatagramsReportTheirRealLength) {
  int a = sock_create(kSockDatagram), b = sock_create(kSockDatagram);
  ASSERT_EQ(sock_bind_any(b, 0), 0);
  qc::NetAddr4 to;
  ASSERT_EQ(sock_local_name(b, &to), 0);
  uint8_t ip[4] = {127, 0, 0, 1};
  sock_addr_make(&to, ip, sock_addr_port(&to));
  std::vector<uint8_t> big(3000, 0xEE);
  ASSERT_EQ(sock_sendto(a, big.data(), int(big.size()), &to), 3000);
  uint8_t buf[qc::kRxBufSize];
  int full = 0;
  SockWaitSet set;
  std::memset(&set, 0, sizeof set);
  set.fd[0] = b;
  int woken = 0;
  ASSERT_EQ(sock_wait(&set, 0, 2000, &woken), 1);
  EXPECT_EQ(sock_recvfrom(b, buf, sizeof buf, nullptr, &full), qc::kRxBufSize);
  EXPECT_EQ(full, 3000);
  sock_close(a);
  sock_close(b);
}
