// The worker threads' surroundings: the table behind the block's 32-bit thread handle,
// the udp_peer copies, retirement of sockets a sender may still be using, and guarded
// socket creation.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
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

}  // namespace qc
