// Waiting for a message without polling: conn_wait blocks on a condition variable that
// every queue change and status change signals (on an ethernet connection that is up it
// reads the socket itself, eth_wait.cpp); conn_wait_handle hands out a readiness object
// (platform seam) kept signalled while a message waits, for event loops.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "commlib/core.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "platform/waitable.h"
#include "serial/ser.h"

namespace qc {

namespace {

// One for all objects: waiters recheck their own object, and the queue lock it pairs
// with is already process-wide.
std::condition_variable_any& queue_cv() {
  static std::condition_variable_any cv;
  return cv;
}
int g_cv_waiters = 0;  // [queue] threads sleeping on queue_cv: nobody to tell otherwise

void notify_waiters() {
  if (g_cv_waiters > 0) queue_cv().notify_all();
}

// While the handle's serial side waits for a pass, the answering side of the line
// handshake must still look at the lines less than 400 ms apart.
constexpr int kHandshakeSliceMs = 100;

// [queue] By readiness handle: the answering side of the line handshake keeps the port's
// input unread while the caller switches, so the handle leaves the port meanwhile (it
// would read as ready on every look). Handles are small numbers; a larger one is never
// marked and simply keeps following.
constexpr uint32_t kHeldSlots = 257;
bool g_port_held[kHeldSlots];

bool port_held(const Connection* c) { return c->wait_handle < kHeldSlots && g_port_held[c->wait_handle]; }

int ready_bits(Connection* c, int channel) {
  if (c->transport == kTransportSerial && c->serial_raw) {
    Guard g(lock_serial_input());
    return c->serial_raw_count ? 1 : 0;
  }
  Guard g(lock_queue());
  return wait_queue_bits(c, channel);
}

void sync_handle(Connection* c) {
  if (!c->wait_handle) return;
  // A reader pass frames one message; whole ones behind it already wait. The reader's
  // buffer is written only by the thread that calls the object's receive side, this one.
  const bool framed = c->transport == kTransportSerial && !port_held(c) && serial_frame_ready(c);
  if (c->queue[0].count || c->queue[1].count || framed) {
    waitable_set(int(c->wait_handle));
  } else {
    waitable_clear(int(c->wait_handle));
  }
}

void follow_port(Connection* c) {
  if (!c->wait_handle) return;
  intptr_t source = c->transport == kTransportSerial && c->serial_port && !port_held(c)
                        ? ser_input_handle(c->serial_port - 1)
                        : -1;
  waitable_follow(int(c->wait_handle), source);
}

using Clock = std::chrono::steady_clock;

// Queues filled by another thread (the ethernet worker), or a serial connection with no
// port to read: sleep until the queues or the status change.
int wait_queues(Connection* c, int channel, const WaitUntil& until) {
  std::unique_lock<std::recursive_mutex> lk(lock_queue());
  for (;;) {
    int bits = wait_queue_bits(c, channel);
    if (bits || c->status_changes != until.changes || wait_left_ms(until) == 0) return bits;
    bool timed_out = false;
    ++g_cv_waiters;
    if (until.forever) {
      queue_cv().wait(lk);
    } else {
      timed_out = queue_cv().wait_until(lk, until.deadline) == std::cv_status::timeout;
    }
    --g_cv_waiters;
    if (timed_out) return wait_queue_bits(c, channel);
  }
}

// A serial connection is read on this thread: wait for the port's input, then frame it
// with a reader pass, as conn_poll does, until something waits or the time is up.
int wait_serial(Connection* c, int channel, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    const int pass = serial_poll(c);
    const int bits = ready_bits(c, channel);
    if (bits || timeout_ms == 0) return bits;
    if (pass < 0) return 0;  // the port failed: waiting on it would spin
    int slice = -1;
    if (timeout_ms > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return 0;
      slice = int(left.count());
    }
    const int port = c->serial_port - 1;
    if (c->serial_option && c->is_server) {
      if (slice < 0 || slice > kHandshakeSliceMs) slice = kHandshakeSliceMs;
      // The caller is switching: its input stays unread until DSR returns.
      if (ser_dsr(port) <= 0) {
        if (ser_wait_event_for(port, SER_EV_DSR, slice) < 0) return 0;
        continue;
      }
    }
    {
      // The pass delivered a message (for the other channel, or one that replaced its
      // queued copy or found the queue full); another may wait whole behind it.
      Guard g(lock_serial_input());
      if (serial_frame_ready(c)) continue;
    }
    if (ser_wait_input(port, slice) < 0) return ready_bits(c, channel);
  }
}

}  // namespace

int wait_left_ms(const WaitUntil& u) {
  if (u.forever) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(u.deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

int wait_queue_bits(const Connection* c, int channel) {
  int bits = 0;
  if (channel <= 0 && c->queue[0].count) bits |= QCOMM_POLL_STREAM;
  if (channel != 0 && c->queue[1].count) bits |= QCOMM_POLL_DATAGRAM;
  return bits;
}

void wait_queues_changed(Connection* c) {
  sync_handle(c);
  notify_waiters();
  if (c->transport == kTransportEthernet) eth_wait_nudge(c);
}

void wait_status_changed(Connection* c) {
  Guard g(lock_queue());
  ++c->status_changes;
  // A change is news for an event loop too: the handle reads as signalled until the
  // application has received what waits (rx_receive answering 0 quiets it).
  if (c->wait_handle) waitable_set(int(c->wait_handle));
  notify_waiters();
  if (c->transport == kTransportEthernet) eth_wait_nudge(c);
}

void wait_port_changed(Connection* c) {
  Guard g(lock_queue());
  follow_port(c);
}

void wait_port_held(Connection* c, bool held) {
  Guard g(lock_queue());
  if (!c->wait_handle || c->wait_handle >= kHeldSlots || g_port_held[c->wait_handle] == held) return;
  g_port_held[c->wait_handle] = held;
  follow_port(c);
  sync_handle(c);
}

void wait_release(Connection* c) {
  Guard g(lock_queue());
  if (port_held(c)) g_port_held[c->wait_handle] = false;
  if (c->wait_handle) waitable_close(int(c->wait_handle));
  c->wait_handle = 0;
}

}  // namespace qc

using namespace qc;

extern "C" {

int conn_wait(Connection* c, int channel, int timeout_ms) {
  if (!conn_is_valid(c)) return 0;
  if (c->transport == kTransportSerial && c->serial_port != 0)
    return wait_serial(c, channel, timeout_ms);
  WaitUntil until;
  until.forever = timeout_ms < 0;
  until.limit_ms = timeout_ms < 0 ? -1 : timeout_ms;
  until.deadline = timeout_ms > 0 ? Clock::now() + std::chrono::milliseconds(timeout_ms)
                                   : Clock::time_point();  // no limit, or already up
  {
    Guard g(lock_queue());
    until.changes = c->status_changes;
  }
  // An ethernet connection that is up is read on this thread: one wake-up per message,
  // as a plain blocking socket has, instead of the worker's and then this thread's.
  if (c->transport == kTransportEthernet) {
    int bits = eth_wait(c, channel, until);
    if (bits >= 0) return bits;
  }
  return wait_queues(c, channel, until);
}

intptr_t conn_wait_handle(Connection* c) {
  if (!conn_is_valid(c)) return -1;
  Guard g(lock_queue());
  if (!c->wait_handle) {
    int h = waitable_create();
    if (h < 0) return -1;
    c->wait_handle = uint32_t(h);
    follow_port(c);
    sync_handle(c);
  }
  return waitable_native(int(c->wait_handle));
}

}  // extern "C"
