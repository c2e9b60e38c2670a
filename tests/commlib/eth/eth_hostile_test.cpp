// A server object under hostile traffic, and the resource soak.
#include <gtest/gtest.h>

#include <random>

#include "tests/commlib/eth/eth_test_util.h"

using namespace ethtest;

namespace {

// utime + stime of a thread of this process, in clock ticks.
long thread_cpu_ticks(uint32_t tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%u/stat", tid);
  FILE* f = std::fopen(path, "r");
  if (!f) return -1;
  char line[1024];
  size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = 0;
  const char* p = std::strrchr(line, ')');  // the name may hold blanks
  if (!p) return -1;
  unsigned long utime = 0, stime = 0;
  // Fields after the name: state(3) ... utime(14) stime(15).
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
    return -1;
  return long(utime + stime);
}

int count_entries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

void drain(Connection* c) {
  uint8_t buf[qc::kMaxMessage];
  while (rx_receive(c, -1, buf, sizeof buf) > 0) {
  }
}

void tcp_blast(int port, const std::vector<uint8_t>& bytes) {
  int s = raw_tcp_connect(port);
  if (s < 0) return;
  raw_send_all(s, bytes.data(), bytes.size());
  sleep_ms(50);  // let the server take the bytes before the close
  close(s);
}

std::vector<uint8_t> header(uint8_t type, uint16_t length, size_t total) {
  std::vector<uint8_t> m(total, 0x5a);
  m[0] = type;
  m[1] = 1;
  m[2] = uint8_t(length);
  m[3] = uint8_t(length >> 8);
  return m;
}

void good_client_echo(int port, Connection* server) {
  Connection* c = conn_alloc();
  ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, 32), 0);
  ASSERT_TRUE(wait_for([&] { return status_of(c) != 0 && status_of(server) == 3; }, 10000));
  drain(server);
  ASSERT_EQ(send_built(c, 224, 4, "still alive?"), 0);
  uint8_t buf[qc::kMaxMessage];
  int n = receive_wait(server, 0, buf, sizeof buf, 5000);
  ASSERT_EQ(n, 20);
  ASSERT_EQ(conn_send(server, buf, n), 0);
  n = receive_wait(c, 0, buf, sizeof buf, 5000);
  EXPECT_EQ(n, 20);
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

  // Stream garbage: random bytes, impossible lengths, a low first byte, half a message.
  for (int i = 0; i < 5; ++i) tcp_blast(port, random_bytes(65536));
  for (uint16_t len : {0, 7, 1609, 65535}) tcp_blast(port, header(0xE0, len, 4000));
  tcp_blast(port, header(0x20, 16, 16));
  tcp_blast(port, header(0xE0, 100, 50));
  // A held half message must not be completed by the next client's bytes.
  tcp_blast(port, header(0xE0, 1600, 900));
  for (int i = 0; i < 200; ++i) {
    int c = raw_tcp_connect(port);
    if (c >= 0) close(c);
  }

  // Datagrams: 10,000 of every size, oversize ones included, plus forged beacons and pokes.
  int u = raw_udp(0);
  ASSERT_GE(u, 0);
  int sent = 0;
  for (int i = 0; i < 10000; ++i) {
    size_t n = i % 50 == 0 ? 1609 + size_t(gen() % 6000) : size_t(gen() % 1700);
    auto d = random_bytes(n);
    if (i % 97 == 0) d = header(237, 72, 72);       // a forged beacon
    if (i % 89 == 0) d = header(239, 8, 8);         // a poke
    if (i % 83 == 0) d = header(0xE1, 1601, 1601);  // over a slot
    sent += raw_sendto(u, port + 1, d.data(), d.size());
    if (i % 500 == 0) drain(s);
  }
  close(u);
  EXPECT_GT(sent, 9000);
  sleep_ms(500);
  EXPECT_EQ(ETH_LOAD(s, thread_running), 1u);
  EXPECT_GT(conn_get_rx_dropped(s), 100u) << "oversize ones";
  drain(s);

  // Idle afterwards: the worker must not spin.
  long before = thread_cpu_ticks(tid);
  sleep_ms(2000);
  long after = thread_cpu_ticks(tid);
  ASSERT_GE(before, 0);
  long hz = sysconf(_SC_CLK_TCK);
  std::printf("server worker CPU: %.2f s during the attack, %.2f s in 2 s idle\n",
              double(before) / hz, double(after - before) / hz);
  EXPECT_LT(after - before, hz / 2);
  EXPECT_LT(before, 30 * hz);

  good_client_echo(port, s);
  conn_free(s);
}

TEST(EthHostile, SoakReleasesDescriptorsAndThreads) {
  {  // a first cycle, so that lazily started helpers (a sanitizer's thread) are counted
    Connection* w = conn_alloc();
    ASSERT_EQ(conn_connect(w, "ethernet", "127.0.0.1", free_port_base(), 32), 0);
    conn_free(w);
  }
  const int fds = count_entries("/proc/self/fd");
  const int tasks = count_entries("/proc/self/task");
  int port = free_port_base();
  ASSERT_NE(port, 0);
  uint8_t buf[64];
  for (int i = 0; i < 1000; ++i) {
    Connection* c = conn_alloc();
    ASSERT_NE(c, nullptr);
    int flags = i % 2;  // servers and clients in turn
    ASSERT_EQ(conn_connect(c, "ethernet", "127.0.0.1", port, flags | 32), 0) << i;
    if (i % 100 == 99) {  // now and then a real session
      Connection* peer = conn_alloc();
      ASSERT_EQ(conn_connect(peer, "ethernet", "127.0.0.1", port, (1 - flags) | 32), 0);
      Connection* client = flags ? peer : c;
      Connection* server = flags ? c : peer;
      ASSERT_TRUE(wait_for([&] { return status_of(client) != 0 && status_of(server) == 3; }, 8000));
      ASSERT_EQ(send_built(client, 224, 4, "soak"), 0);
      EXPECT_EQ(receive_wait(server, 0, buf, sizeof buf, 5000), 12);
      conn_free(peer);
    }
    ASSERT_EQ(conn_disconnect(c), 0);
    conn_free(c);
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_TRUE(wait_for([&] { return count_entries("/proc/self/task") == tasks; }, 2000));
  std::printf("descriptors %d -> %d, threads %d -> %d\n", fds, count_entries("/proc/self/fd"), tasks,
              count_entries("/proc/self/task"));
}
