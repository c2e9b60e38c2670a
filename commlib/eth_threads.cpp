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

// What the worker and an application thread inside conn_wait share about who reads the
// data socket. `rx` is the receive lock. `lend` is held only to lend the socket or take
// it back and for a hand-back, never across a wait or a receive; an application thread
// that finds the socket lent already passes with two counts and a look.
struct RecvShare {
  std::mutex rx;
  std::mutex lend;
  std::atomic<bool> lent{false};     // set under `lend`: the worker leaves the socket
  std::atomic<int> inside{0};        // application threads inside conn_wait
  std::atomic<uint32_t> entries{0};  // conn_wait calls so far: the worker's sign of use
  uint32_t seen_entries = 0;         // [lend] `entries` when the worker last saw it move,
  uint32_t seen_at = 0;              // [lend] and when that was
  std::atomic<bool> handed_back{false};  // set under `lend`: the application found the end
  int back_socket = 0;                   // [lend] on this socket,
  int back_got = 0;                      // [lend] with this receive result
  std::atomic<bool> blocked{false};  // set under the queue lock: in its socket wait
  int app_wake = 0;   // the application's wake-up handle; fixed while the slot is used
  std::atomic<int> app_timer{0};  // its deadline handle (0: none, or given up on)
  // Set under `lend`: the handle expires no earlier than `timer_at` (steady clock, ns), or
  // 0 when it is not armed; read without the lock, an old value only costs a re-arm.
  std::atomic<int64_t> timer_at{0};
};

struct WorkerSlot {
  std::thread thread;
  int wake = 0;
  bool used = false;
  RecvShare share;
};

constexpr int kWorkerSlots = 32;
WorkerSlot g_workers[kWorkerSlots];
std::mutex g_workers_lock;  // leaf lock: nothing else is taken while it is held

// An application that stops calling conn_wait has its socket taken back once the worker
// has seen no call for this long (so one to two leases after the last call); the
// worker's wait is no longer than this while it lends the socket.
constexpr uint32_t kLeaseMs = 30;

// The share of the object's worker, or null when no worker was started through the table.
RecvShare* share_of(Connection* c) {
  uint32_t h = ETH_LOAD(c, thread);
  if (h < 1 || h > kWorkerSlots) return nullptr;
  return &g_workers[h - 1].share;
}

void share_reset(RecvShare& r, int app_wake, int app_timer) {
  r.lent = false;
  r.inside = 0;
  r.entries = 0;
  r.seen_entries = 0;
  r.seen_at = 0;
  r.handed_back = false;
  r.back_socket = 0;
  r.back_got = 0;
  r.blocked = false;
  r.app_wake = app_wake;
  r.app_timer = app_timer;
  r.timer_at = 0;
}

std::mutex g_peer_lock;  // leaf lock for udp_peer copies

}  // namespace

uint32_t eth_thread_start(EthWorker fn, Connection* c) {
  std::lock_guard<std::mutex> g(g_workers_lock);
  for (int i = 0; i < kWorkerSlots; ++i) {
    WorkerSlot& s = g_workers[i];
    if (s.used) continue;
    int wake = sock_wake_create();
    if (wake < 0) return 0;
    int app_wake = sock_wake_create();
    if (app_wake < 0) {
      sock_wake_close(wake);
      return 0;
    }
    // Without a deadline handle the application's waits carry their own limit.
    int app_timer = sock_timer_create();
    share_reset(s.share, app_wake, app_timer > 0 ? app_timer : 0);
    // The worker finds its share through the handle from its first step on.
    ETH_STORE(c, thread, i + 1);
    try {
      s.thread = std::thread(fn, c, wake);
    } catch (...) {  // no thread could be made: report it as a failed start
      ETH_STORE(c, thread, 0);
      if (app_timer > 0) sock_timer_close(app_timer);
      share_reset(s.share, 0, 0);
      sock_wake_close(app_wake);
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
  if (s.share.app_wake > 0) sock_wake_close(s.share.app_wake);
  const int timer = s.share.app_timer;
  if (timer != 0) sock_timer_close(timer < 0 ? -timer : timer);
  share_reset(s.share, 0, 0);
  s.wake = 0;
  s.used = false;
}

// ---------------------------------------------------------------- lending the socket

std::unique_lock<std::mutex> eth_rx_lock(Connection* c) {
  RecvShare* r = share_of(c);
  return r ? std::unique_lock<std::mutex>(r->rx) : std::unique_lock<std::mutex>();
}

int eth_lend_wait_ms(Connection* c) {
  RecvShare* r = share_of(c);
  if (!r || !r->lent) return -1;
  std::lock_guard<std::mutex> g(r->lend);
  if (!r->lent) return -1;
  const uint32_t now = clock_ms();
  uint32_t calls = r->entries;
  if (calls != r->seen_entries || r->inside > 0) {
    r->seen_entries = calls;
    r->seen_at = now;
    return int(kLeaseMs);
  }
  const uint32_t idle = now - r->seen_at;
  if (idle < kLeaseMs) return int(kLeaseMs - idle);
  r->lent = false;
  // A thread entering conn_wait meanwhile may have read `lent` as still set and not come
  // to the lock: it counted itself in before that look, so it shows here.
  calls = r->entries;
  if (calls != r->seen_entries || r->inside > 0) {
    r->lent = true;
    r->seen_entries = calls;
    r->seen_at = now;
    return int(kLeaseMs);
  }
  return -1;
}

bool eth_handback_take(Connection* c, int s, int* got) {
  RecvShare* r = share_of(c);
  if (!r || !r->handed_back) return false;
  std::lock_guard<std::mutex> g(r->lend);
  r->handed_back = false;
  r->lent = false;
  if (s <= 2 || r->back_socket != s) return false;  // that socket was dropped already
  *got = r->back_got;
  return true;
}

int eth_app_enter(Connection* c) {
  RecvShare* r = share_of(c);
  // A hand-back the worker has not taken yet: the socket shows the end until it has.
  if (!r || r->app_wake <= 0 || r->handed_back) return 0;
  ++r->inside;
  ++r->entries;
  if (r->lent) return r->app_wake;  // consecutive waits: no word to the worker
  bool tell_worker;
  {
    std::lock_guard<std::mutex> g(r->lend);
    tell_worker = !r->lent;
    r->lent = true;
  }
  if (tell_worker) eth_thread_wake(ETH_LOAD(c, thread));
  return r->app_wake;
}

void eth_app_leave(Connection* c) {
  RecvShare* r = share_of(c);
  if (r) --r->inside;
}

void eth_handback_note(Connection* c, int s, int got) {
  RecvShare* r = share_of(c);
  if (!r) return;
  std::lock_guard<std::mutex> g(r->lend);
  // The socket stays lent until the worker has taken this: were it back in the worker's
  // wait first, the worker would read the end a second time.
  r->back_socket = s;
  r->back_got = got;
  r->handed_back = true;
}

bool eth_socket_lent(Connection* c) {
  RecvShare* r = share_of(c);
  return r && r->lent;
}

void eth_app_blocked(Connection* c, bool blocked) {
  RecvShare* r = share_of(c);
  if (r) r->blocked = blocked;
}

int eth_app_timer(Connection* c, const WaitUntil& until) {
  RecvShare* r = share_of(c);
  if (!r || until.forever) return 0;
  const int t = r->app_timer;
  if (t <= 0) return 0;
  const int64_t deadline = until.deadline.time_since_epoch() / std::chrono::nanoseconds(1);
  // Armed for this deadline or an earlier one (the usual case: one arming serves many
  // waits); an early expiry only costs a look.
  int64_t at = r->timer_at.load(std::memory_order_acquire);
  if (at != 0 && at <= deadline) return t;
  std::lock_guard<std::mutex> g(r->lend);
  at = r->timer_at.load(std::memory_order_relaxed);
  if (at != 0 && at <= deadline) return t;
  if (sock_timer_arm(t, wait_left_ms(until)) != 0) return 0;
  r->timer_at.store(deadline, std::memory_order_release);
  return t;
}

void eth_app_timer_fired(Connection* c) {
  RecvShare* r = share_of(c);
  const int t = r ? int(r->app_timer) : 0;
  if (t <= 0) return;
  std::lock_guard<std::mutex> g(r->lend);
  const int cleared = sock_timer_clear(t);
  // Another waiter may have taken the expiry already; then its arming stands.
  if (cleared == 1) r->timer_at.store(0, std::memory_order_release);
  // A handle that cannot be quieted would end every wait at once: waits carry their
  // limit from now on (the handle is closed with the slot).
  if (cleared < 0) r->app_timer = -t;
}

void eth_wait_nudge(Connection* c) {
  RecvShare* r = share_of(c);
  if (r && r->blocked && r->app_wake > 0) sock_wake_signal(r->app_wake);
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

void eth_retire_socket(Connection* c, int s) {
  if (s <= 2) return;
  sock_shutdown(s);
  auto lock = eth_rx_lock(c);
  if (t_retired > 2) sock_close(t_retired);
  t_retired = s;
}

void eth_retire_flush(Connection* c) {
  auto lock = eth_rx_lock(c);
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
  std::shared_ptr<SocketAttempt> a;
  std::thread helper;
  try {
    a = std::make_shared<SocketAttempt>();
    a->kind = kind;
    helper = std::thread(socket_helper, a);
  } catch (...) {  // no memory or no thread: no socket, as when socket() fails
    return -1;
  }
  uint32_t deadline = clock_ms() + 5000;
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
