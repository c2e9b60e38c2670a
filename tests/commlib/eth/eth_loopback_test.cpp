// Server and client connection objects over loopback TCP and UDP, raw peers standing in
// for the other side, and the socket seam's own promises.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Sends on from and expects the same type, command and payload on to's channel only.
void expect_delivery(Connection* from, Connection* to, uint8_t type, int channel, const std::string& text) {
  ASSERT_EQ(send_built(from, type, 7, text), 0);
  uint8_t buf[qc::kMaxMessage];
  const int n = receive_wait(to, channel, buf, sizeof buf, 5000);
  EXPECT_EQ((Seq() << n << buf[0] << buf[1] << std::string(reinterpret_cast<char*>(buf) + 4, size_t(std::max(n - 8, 0)))).s,
            (Seq() << long(text.size() + 8) << type << 7 << text).s) << "channel " << channel;
  EXPECT_EQ(rx_receive(to, 1 - channel, buf, sizeof buf), 0) << "nothing on the other channel";
}

TEST(EthLoopback, ClientFirstThenServerEchoesOnBothChannelsAndCaptures) {
  const int port = free_port_base();
  Connection* server = conn_alloc();
  Connection* client = conn_alloc();
  std::shared_ptr<void> release(nullptr, [&](void*) { conn_free(client), conn_free(server); });
  ScratchDir dir("RECORD=1\n");
  ASSERT_NE(port, 0);
  ASSERT_EQ(conn_connect(client, "ethernet", "127.0.0.1", port, 0), 0);
  sleep_ms(1200);  // keeps trying until the server arrives
  EXPECT_EQ(results({status_of(client), ETH_LOAD(client, connect_state) > 0, ETH_LOAD(client, thread_running)}), "0 1 1");
  ASSERT_EQ(conn_connect(server, "ethernet", "127.0.0.1", port, 1), 0);
  EXPECT_EQ(results({ETH_LOAD(server, listen_state), server->tcp_port}), results({0, port}));
  ASSERT_TRUE(wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, 8000));
  const int st = status_of(client);
  EXPECT_TRUE(st == 1 || st == 2 || st == 4) << st;
  EXPECT_EQ(ETH_LOAD(server, connect_state), -3);
  expect_delivery(client, server, 224, 0, "echo request");
  expect_delivery(server, client, 224, 0, "echo answer");
  // Class 1 types travel by UDP while the TCP connection is up; the class decides.
  expect_delivery(client, server, 160, 1, "datagram up");
  expect_delivery(server, client, 175, 1, "datagram down");
  conn_set_class(client, 200, 200, 1);
  expect_delivery(client, server, 200, 1, "reclassed");
  // A second client replaces the first: the server closes the first one's stream.
  const int second = raw_tcp_connect(port);
  EXPECT_TRUE(second >= 0 && wait_for([&] { return status_of(client) == 0; }, 5000));
  close(second);
  conn_disconnect(client);
  conn_disconnect(server);
  EXPECT_EQ(dir.files(), (std::set<std::string>{"ZRCLOG.INI", "zrcCRX10.bin", "zrcCTX20.bin", "zrcSRX30.bin", "zrcSTX40.bin"}));
  // Connect records the TCP socket (50) before the worker's text record (100); then the
  // connection (104 or 126), the message got (108, 19 bytes), queued (0) and sent (42).
  const auto rx = dir.capture("CRX"), tx = dir.capture("CTX");
  const auto got = events(rx, 108), queued = events(rx, 0), sent = events(tx, 42);
  ASSERT_TRUE(rx.size() >= 2 && !got.empty() && !queued.empty() && !sent.empty());
  EXPECT_EQ(results({rx[0].kind, rx[0].code, rx[0].first, rx[0].second, rx[1].kind, rx[1].code}), "0 50 9 0 1 100");
  EXPECT_EQ(rx[1].text, std::to_string(port) + " 0.0.0.0");
  EXPECT_EQ(results({events(rx, 104).size() + events(rx, 126).size() > 0, got[0]->first, queued[0]->first & 0xffff,
                     events(rx, 91).size() * events(rx, 51).size() * events(rx, 53).size() > 0, sent[0]->first, sent[0]->second}),
            results({1, 19, 224 | 7 << 8, 1, 224 | 7 << 8 | 20 << 16, 1}));
}

// Another socket took the port between the bind and the listen: the worker still beacons
// and serves datagrams, says so once and does not spin on accept.
TEST(EthFailedListen, ServerStillBeaconsAndServesDatagrams) {
  const int port = free_port_base();
  lpcap::TraceFile trace;
  Connection* c = conn_alloc();
  c->transport = 1, c->is_server = 1, c->tcp_port = uint32_t(port);
  int other = bound_socket(SOCK_STREAM, port, true), listener = sock_create(kSockStream);
  int udp = sock_create(kSockDatagram), peer = raw_udp(port), wake = sock_wake_create();
  ASSERT_EQ(results({sock_set_reuseaddr(listener), sock_bind_any(listener, uint16_t(port)), listen(other, 4),
                     sock_bind_any(udp, uint16_t(port + 1))}),
            "0 0 0 0");
  const uint8_t lo[4] = {127, 0, 0, 1};
  qc::NetAddr4 to;
  sock_addr_make(&to, lo, uint16_t(port));
  qc::eth_peer_set(c, to);
  ETH_STORE(c, tcp_socket, listener);
  ETH_STORE(c, udp_socket, udp);
  ETH_STORE(c, run, 1);
  std::thread worker(qc::eth_server_thread, c, wake);
  auto d = make_msg(161, 1, "served", 1);
  uint8_t buf[qc::kMaxMessage];
  EXPECT_TRUE(raw_sendto(peer, port + 1, d.data(), d.size()) && receive_wait(c, 1, buf, sizeof buf, 2000) == int(d.size()));
  int beacons = 0;
  for (auto end = Clock::now() + Ms(3500); Clock::now() < end;) beacons += recv(peer, buf, sizeof buf, 0) == 72 && buf[0] == 237;
  ETH_STORE(c, run, 0);
  sock_wake_signal(wake);
  worker.join();
  const std::string text = trace.text();
  EXPECT_TRUE(text.find("S listen error") == text.rfind("S listen error") && text.find("S listen error") != std::string::npos &&
              text.find("S accept error") == std::string::npos && beacons >= 1) << text;
  for (int s : {other, listener, udp, peer, wake}) close(s);
  ETH_STORE(c, tcp_socket, 0);
  ETH_STORE(c, udp_socket, 0);
  conn_free(c);
}

// Handles never take 0..2, even when those are free, and are closed on exec; the error
// classes of the seam.
TEST(EthSeam, HandlesAboveTheStandardOnesAndErrorClasses) {
  const int saved = dup(0);
  close(0);  // the lowest free number is now 0
  const int s = sock_create(kSockDatagram), w = sock_wake_create();
  dup2(saved, 0);
  close(saved);
  EXPECT_TRUE(s >= 3 && w >= 3 && (fcntl(s, F_GETFD) & FD_CLOEXEC) && (fcntl(w, F_GETFD) & FD_CLOEXEC)) << s << " " << w;
  EXPECT_EQ(results({!!sock_err_would_block(EINPROGRESS), !!sock_err_would_block(EALREADY),
                     !!sock_err_would_block(EWOULDBLOCK), !!sock_err_would_block(ECONNREFUSED),
                     !!sock_err_invalid(EINVAL), !!sock_err_already_connected(EISCONN), !!sock_err_net_down(ENETDOWN)}),
            "1 1 1 0 1 1 1");
  sock_close(s);
  EXPECT_EQ(sock_wake_close(w), 0);
}

}  // namespace
