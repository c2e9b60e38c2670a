// A server object under hostile traffic, and the resource soak.
#include <gtest/gtest.h>

#include <random>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

// Time a thread of this process has run, in ms (-1: unknown).
long thread_cpu_ms(uint32_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%u/schedstat", tid);
  FILE* f = std::fopen(path, "r");
  unsigned long long ns = 0;
  const bool ok = f && std::fscanf(f, "%llu", &ns) == 1;
  return f && std::fclose(f) == 0 && ok ? long(ns / 1000000) : -1;
}

void drain(Connection* c) {
  for (uint8_t buf[qc::kMaxMessage]; rx_receive(c, -1, buf, sizeof buf) > 0;) continue;
}

// A message head claiming length, padded to total bytes.
std::vector<uint8_t> header(uint8_t type, uint16_t length, size_t total) {
  std::vector<uint8_t> m(total, 0x5a);
  m[0] = type, m[1] = 1, m[2] = uint8_t(length), m[3] = uint8_t(length >> 8);
  return m;
}

// A library client connects to server, which echoes one stream message back.
void expect_session(int port, Connection* server, int flags) {
  Connection* c = conn_alloc();
  uint8_t buf[qc::kMaxMessage];
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, flags), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(c) != 0 && status_of(server) == 3; }, 10000));
  drain(server);
  ASSERT_EQ(send_built(c, 224, 4, "still alive?"), 0);
  const int n = receive_wait(server, 0, buf, sizeof buf, 5000);
  ASSERT_EQ(results({n, conn_send(server, buf, n), receive_wait(c, 0, buf, sizeof buf, 5000)}), "20 0 20");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 4), 12), "still alive?");
  conn_free(c);
}

}  // namespace

TEST(EthHostile, ServerSurvivesGarbageAndStillServes) {
  int port = free_port_base();
  Connection* s = conn_alloc();
  ASSERT_EQ(conn_connect(s, "ethernet", "127.0.0.1", port, 1), 0);
  ASSERT_TRUE(wait_for([&] { return ETH_LOAD(s, thread_id) != 0; }, 2000));
  const uint32_t tid = ETH_LOAD(s, thread_id);
  std::mt19937 gen(1234);
  auto random_bytes = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(gen());
    return v;
  };
  // Stream garbage: random bytes, impossible lengths, a low first byte, half a message
  // (a held half message must not be completed by the next client's bytes), and
  // connections that say nothing.
  std::vector<std::vector<uint8_t>> blasts = {header(0x20, 16, 16), header(0xE0, 100, 50), header(0xE0, 1600, 900)};
  for (uint16_t len : {0, 7, 1609, 65535}) blasts.insert(blasts.begin(), header(0xE0, len, 4000));
  for (int i = 0; i < 5; ++i) blasts.insert(blasts.begin(), random_bytes(65536));
  blasts.resize(blasts.size() + 200);
  for (const auto& bytes : blasts) {
    const int t = raw_tcp_connect(port);
    if (t >= 0 && raw_send_all(t, bytes.data(), bytes.size()) && !bytes.empty()) sleep_ms(50);  // let the server take them before the close
    if (t >= 0) close(t);
  }
  // Datagrams: 10,000 of every size, oversize ones included, plus forged beacons, pokes
  // and messages over a slot.
  int u = raw_udp(0), sent = 0;
  ASSERT_GE(u, 0);
  for (int i = 0; i < 10000; ++i) {
    auto d = i % 97 == 0   ? header(237, 72, 72)
             : i % 89 == 0 ? header(239, 8, 8)
             : i % 83 == 0 ? header(0xE1, 1601, 1601)
                           : random_bytes(i % 50 == 0 ? 1609 + size_t(gen() % 6000) : size_t(gen() % 1700));
    sent += raw_sendto(u, port + 1, d.data(), d.size());
    if (i % 500 == 0) drain(s);
  }
  close(u);
  sleep_ms(500);
  EXPECT_EQ(results({sent > 9000, ETH_LOAD(s, thread_running), conn_get_rx_dropped(s) > 100u}), "1 1 1") << "oversize ones dropped";
  drain(s);
  // Idle afterwards: the worker must not spin.
  const long before = thread_cpu_ms(tid), idle = (sleep_ms(2000), thread_cpu_ms(tid) - before);
  EXPECT_TRUE(before >= 0 && idle < 500 && before < 30000) << before << " ms during the attack, " << idle << " ms in 2 s idle";
  expect_session(port, s, 32);
  conn_free(s);
}

TEST(EthHostile, SoakReleasesDescriptorsAndThreads) {
  {  // a first cycle, so that lazily started helpers (a sanitizer's thread) are counted
    Connection* w = conn_alloc();
    ASSERT_EQ(conn_connect(w, "ethernet", "127.0.0.1", free_port_base(), 32), 0);
    conn_free(w);
  }
  const int fds = count_entries("/proc/self/fd"), tasks = count_entries("/proc/self/task");
  int port = free_port_base();
  ASSERT_NE(port, 0);
  for (int i = 0; i < 1000; ++i) {
    Connection* c = conn_alloc();
    ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, (i % 2) | 32), 0) << i;  // servers and clients in turn
    if (i % 200 == 199) expect_session(port, c, 32);  // now and then a real session
    ASSERT_EQ(conn_disconnect(c), 0);
    conn_free(c);
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_TRUE(wait_for([&] { return count_entries("/proc/self/task") == tasks; }, 2000));
}
