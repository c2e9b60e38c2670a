// A server worker whose listen fails: another socket took the port between the bind and
// the listen. The worker runs on its own thread over real loopback sockets.
#include <gtest/gtest.h>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

int count_of(const std::string& text, const char* what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(EthFailedListen, ServerStillBeaconsAndServesDatagramsWithoutSpinning) {
  int port = free_port_base();
  ASSERT_NE(port, 0);
  lpcap::TraceFile trace;
  ASSERT_TRUE(trace.ok());
  Connection* c = conn_alloc();
  c->transport = 1;
  c->is_server = 1;
  c->tcp_port = uint32_t(port);
  // Both bound with SO_REUSEADDR; the other one listens first, so the block's cannot.
  int other = bound_socket(SOCK_STREAM, port, true);
  int listener = sock_create(kSockStream);
  ASSERT_GE(other, 0);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(sock_set_reuseaddr(listener), 0);
  ASSERT_EQ(sock_bind_any(listener, uint16_t(port)), 0);
  ASSERT_EQ(listen(other, 4), 0);
  int udp = sock_create(kSockDatagram);
  ASSERT_EQ(sock_bind_any(udp, uint16_t(port + 1)), 0);
  int peer = raw_udp(port);  // where beacons and datagrams to the client go
  ASSERT_GE(peer, 0);
  const uint8_t lo[4] = {127, 0, 0, 1};
  qc::NetAddr4 to;
  sock_addr_make(&to, lo, uint16_t(port));
  qc::eth_peer_set(c, to);
  ETH_STORE(c, tcp_socket, listener);
  ETH_STORE(c, udp_socket, udp);
  ETH_STORE(c, run, 1);
  int wake = sock_wake_create();
  std::thread worker(qc::eth_server_thread, c, wake);

  auto d = make_msg(161, 1, "served", 1);
  ASSERT_TRUE(raw_sendto(peer, port + 1, d.data(), d.size()));
  uint8_t buf[qc::kMaxMessage];
  EXPECT_EQ(receive_wait(c, 1, buf, sizeof buf, 2000), int(d.size()));
  int beacons = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
  while (std::chrono::steady_clock::now() < end)
    if (recv(peer, buf, sizeof buf, 0) == 72 && buf[0] == 237) ++beacons;

  ETH_STORE(c, run, 0);
  sock_wake_signal(wake);
  worker.join();
  std::string text = trace.text();
  EXPECT_EQ(count_of(text, "S listen error"), 1);
  EXPECT_EQ(count_of(text, "S accept error"), 0) << "accept only when the socket is ready";
  EXPECT_GE(beacons, 1);
  for (int s : {other, listener, udp, peer, wake}) close(s);
  ETH_STORE(c, tcp_socket, 0);
  ETH_STORE(c, udp_socket, 0);
  conn_free(c);
}
