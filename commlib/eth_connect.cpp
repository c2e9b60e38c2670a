// Ethernet set-up and tear-down: eth_connect, eth_disconnect, guarded socket creation
// and the table of worker threads behind the block's 32-bit thread handle.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/sockets.h"

namespace qc {

// ---------------------------------------------------------------- thread table

namespace {

struct WorkerSlot {
  std::thread thread;
  int wake = 0;
  bool used = false;
};

constexpr int kWorkerSlots = 32;
WorkerSlot g_workers[kWorkerSlots];
std::mutex g_workers_lock;  // leaf lock: nothing else is taken while it is held

std::mutex g_peer_lock;  // leaf lock for udp_peer copies

}  // namespace

uint32_t eth_thread_start(EthWorker fn, Connection* c) {
  std::lock_guard<std::mutex> g(g_workers_lock);
  for (int i = 0; i < kWorkerSlots; ++i) {
    WorkerSlot& s = g_workers[i];
    if (s.used) continue;
    int wake = sock_wake_create();
    if (wake < 0) return 0;
    try {
      s.thread = std::thread(fn, c, wake);
    } catch (...) {  // no thread could be made: report it as a failed start
      sock_wake_close(wake);
      return 0;
    }
    s.wake = wake;
    s.used = true;
    return uint32_t(i + 1);
  }
  return 0;
}

void eth_thread_wake(uint32_t handle) {
  std::lock_guard<std::mutex> g(g_workers_lock);
  if (handle < 1 || handle > kWorkerSlots || !g_workers[handle - 1].used) return;
  sock_wake_signal(g_workers[handle - 1].wake);
}

void eth_thread_join(uint32_t handle) {
  if (handle < 1 || handle > kWorkerSlots) return;
  std::thread t;
  int wake = 0;
  {
    std::lock_guard<std::mutex> g(g_workers_lock);
    WorkerSlot& s = g_workers[handle - 1];
    if (!s.used) return;
    t = std::move(s.thread);
    wake = s.wake;
  }
  if (t.joinable()) t.join();  // outside the lock: other workers start and stop meanwhile
  std::lock_guard<std::mutex> g(g_workers_lock);
  WorkerSlot& s = g_workers[handle - 1];
  if (wake > 0) sock_wake_close(wake);
  s.wake = 0;
  s.used = false;
}

void eth_peer_get(Connection* c, NetAddr4* out) {
  std::lock_guard<std::mutex> g(g_peer_lock);
  std::memcpy(out, &c->udp_peer, sizeof *out);
}

void eth_peer_set(Connection* c, const NetAddr4& a) {
  std::lock_guard<std::mutex> g(g_peer_lock);
  std::memcpy(&c->udp_peer, &a, sizeof a);
}

namespace {
thread_local int t_retired = 0;
}

void eth_retire_socket(int s) {
  if (s <= 2) return;
  sock_shutdown(s);
  if (t_retired > 2) sock_close(t_retired);
  t_retired = s;
}

void eth_retire_flush() {
  if (t_retired > 2) sock_close(t_retired);
  t_retired = 0;
}

void eth_sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

void local_name_trace(int s, const char* side, const char* label, char* text, int size, int* port) {
  NetAddr4 a;
  std::memset(&a, 0, sizeof a);
  sock_local_name(s, &a);
  *port = sock_addr_port(&a);
  sock_addr_text(&a, text, size);
  trace_printf("%s %s socket: %d %s\n", side, label, *port, text);
}

}  // namespace

void eth_worker_start(Connection* c, const char* side, uint16_t code) {
  ETH_STORE(c, thread_id, plat_thread_id());
  char text[32];
  int port = 0;
  local_name_trace(int(ETH_LOAD(c, tcp_socket)), side, "tcp", text, sizeof text, &port);
  local_name_trace(int(ETH_LOAD(c, udp_socket)), side, "udp", text, sizeof text, &port);
  char line[64];
  snprintf(line, sizeof line, "%d %.40s", port, text);
  capture_text(c, kRx, code, line);
  ETH_STORE(c, thread_running, 1);
}

// ---------------------------------------------------------------- try_socket

namespace {

struct SocketAttempt {
  std::atomic<int> result{-1};
  // 0 running, 1 the result is the caller's, 2 the caller gave up (the helper owns it).
  // Exactly one side moves it away from 0, so exactly one side may close the socket.
  std::atomic<int> state{0};
  int kind = 0;
};

void socket_helper(std::shared_ptr<SocketAttempt> a) {
  int s = sock_create(a->kind);
  a->result = s >= 0 ? s : -1;
  int running = 0;
  if (!a->state.compare_exchange_strong(running, 1) && s >= 0) sock_close(s);
}

}  // namespace

int try_socket(int kind) {
  auto a = std::make_shared<SocketAttempt>();
  a->kind = kind;
  uint32_t deadline = clock_ms() + 5000;
  std::thread helper;
  try {
    helper = std::thread(socket_helper, a);
  } catch (...) {
    return -1;
  }
  eth_sleep_ms(5);
  while (a->state.load() == 0 && int32_t(clock_ms() - deadline) < 0) eth_sleep_ms(1);
  int running = 0;
  if (a->state.compare_exchange_strong(running, 2)) {
    // No thread can be killed here: the helper is let go and closes the socket itself
    // should socket() ever return (the shared context outlives us).
    trace_printf("Trysocket timeout %d\n", kind);
    helper.detach();
    return -1;
  }
  helper.join();
  return a->result.load();
}

// ---------------------------------------------------------------- helpers

namespace {

void close_capture_pair(Connection* c) { capture_close(c); }

void fail_event(Connection* c, int step, uint32_t third) {
  capture_event(c, kRx, 93, uint32_t(step), c->is_server, third);
}

// Releases what a previous connect left behind (a running worker, open sockets):
// two workers on one block would fight over its buffers.
void release_previous(Connection* c) {
  if (ETH_LOAD(c, thread) != 0 || ETH_LOAD(c, tcp_socket) != 0 || ETH_LOAD(c, udp_socket) != 0 ||
      ETH_LOAD(c, accepted_socket) != 0)
    eth_disconnect(c);
}

}  // namespace

}  // namespace qc

using namespace qc;

extern "C" int eth_connect(Connection* c, const char* address, int tcp_port, int udp_port) {
  if (!conn_is_valid(c)) return 1;
  if (!address) address = "";
  release_previous(c);

  if (sock_hostname(c->local_hostname, sizeof c->local_hostname) != 0) c->local_hostname[0] = 0;
  uint8_t ip[4];
  if (sock_local_ipv4(ip) == 0) std::memcpy(c->local_ip, ip, 4);

  capture_open(c, kRx, c->is_server ? "SRX" : "CRX");
  capture_open(c, kTx, c->is_server ? "STX" : "CTX");
  trace_printf("%c connect request\n", role_letter(c));

  int p = tcp_port != 0 ? tcp_port : kDefaultPort;
  int u = udp_port != 0 ? udp_port : p;
  c->tcp_port = uint32_t(p);
  c->udp_port = uint32_t(u);

  const char* use = c->loopback ? "127.0.0.1" : address;
  trace_printf("Connect data T%d U%d %s\n", p, u, use);

  uint8_t addrs[1][4];
  int found = 0;
  int rc = sock_lookup(use, addrs, 1, &found);
  // The whole address is looked up; only the kept copy is cut. A reconnect passes
  // host itself, which is then already in place.
  if (use != c->host) snprintf(c->host, sizeof c->host, "%s", use);
  if (rc != 0) {
    fail_event(c, 1, 0);
    close_capture_pair(c);
    return rc;
  }
  NetAddr4 tcp_peer, udp_peer;
  sock_addr_make(&tcp_peer, addrs[0], uint16_t(c->is_server ? p + 1 : p));
  sock_addr_make(&udp_peer, addrs[0], uint16_t(c->is_server ? p : p + 1));
  std::memcpy(&c->tcp_peer, &tcp_peer, sizeof tcp_peer);
  eth_peer_set(c, udp_peer);

  int us = try_socket(kSockDatagram);
  if (us < 0) {
    fail_event(c, 2, 0);
    close_capture_pair(c);
    return 2;
  }
  ETH_STORE(c, udp_socket, us);
  sock_set_reuseaddr(us);
  if (sock_bind_any(us, uint16_t(c->is_server ? u + 1 : u)) != 0) {
    fail_event(c, 3, 0);
    close_capture_pair(c);
    return 3;
  }

  int ts = try_socket(kSockStream);
  if (ts < 0) {
    fail_event(c, 4, 0);
    close_capture_pair(c);
    return 4;
  }
  ETH_STORE(c, tcp_socket, ts);
  capture_event(c, kRx, 50, 9, c->is_server, uint32_t(ts));
  sock_set_reuseaddr(ts);
  sock_set_nodelay(ts);

  if (c->is_server) {
    if (sock_bind_any(ts, uint16_t(p)) != 0) {
      fail_event(c, 5, 0);
      close_capture_pair(c);
      return 5;
    }
    NetAddr4 bound;
    if (sock_local_name(ts, &bound) == 0) std::memcpy(&c->tcp_peer, &bound, sizeof bound);
  }

  trace_printf("%c thread started\n", role_letter(c));
  ETH_STORE(c, run, 1);
  if (c->is_server) {
    ETH_STORE(c, listen_state, -1);
    uint32_t h = eth_thread_start(eth_server_thread, c);
    if (h == 0) {
      // No worker: nothing would ever listen. Reported like a start that timed out.
      ETH_STORE(c, run, 0);
      ETH_STORE(c, listen_state, -9);
      return 9;
    }
    ETH_STORE(c, thread, h);
    std::this_thread::yield();
    uint32_t limit = c->server_started ? 1000 : 5000;
    uint32_t start = clock_ms();
    while (ETH_LOAD(c, listen_state) != 0 && clock_ms() - start < limit) eth_sleep_ms(1);
    c->server_started = 1;
    if (ETH_LOAD(c, listen_state) != 0) {
      ETH_STORE(c, listen_state, -9);
      return 9;
    }
  } else {
    uint32_t h = eth_thread_start(eth_client_thread, c);
    if (h == 0) {
      // No worker thread: fail like a socket step, so the caller sees a set-up error.
      ETH_STORE(c, run, 0);
      fail_event(c, 4, 0);
      close_capture_pair(c);
      return 4;
    }
    ETH_STORE(c, thread, h);
  }
  return 0;
}

extern "C" int eth_disconnect(Connection* c) {
  if (!conn_is_valid(c)) return 1;
  capture_event(c, kRx, 91, uint32_t(ETH_LOAD(c, status)), ETH_LOAD(c, thread_running),
                ETH_LOAD(c, accepted_socket));
  ETH_STORE(c, run, 0);
  uint32_t h = ETH_LOAD(c, thread);
  eth_thread_wake(h);
  uint32_t start = clock_ms();
  // The wake-up stops the worker within microseconds: look often, not once a millisecond.
  while (ETH_LOAD(c, thread_running) && clock_ms() - start < 600)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  trace_printf("%c disconnect (%d)\n", role_letter(c), int(ETH_LOAD(c, thread_running)));
  // There is no safe way to kill a thread. The worker blocks only in the wait (which
  // the wake-up ends) and in short calls, so joining is bounded; past the 600 ms it
  // is still joined rather than abandoned, because it must never touch a block the
  // caller may free as soon as we return.
  eth_thread_join(h);
  ETH_STORE(c, thread, 0);
  ETH_STORE(c, thread_running, 0);

  int ts = int(ETH_LOAD(c, tcp_socket));
  if (ts > 2) sock_close(ts);
  capture_event(c, kRx, 51, 6, c->is_server, uint32_t(ts));
  ETH_STORE(c, tcp_socket, 0);
  int us = int(ETH_LOAD(c, udp_socket));
  if (us > 2) sock_close(us);
  capture_event(c, kRx, 53, 5, c->is_server, ETH_LOAD(c, accepted_socket));
  ETH_STORE(c, udp_socket, 0);
  int as = int(ETH_LOAD(c, accepted_socket));
  if (as > 2) sock_close(as);
  ETH_STORE(c, accepted_socket, 0);
  ETH_STORE(c, accepted_valid, 0);
  close_capture_pair(c);
  return 0;
}
