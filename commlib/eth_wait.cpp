// conn_wait on an ethernet connection that is up: the application thread waits on the
// data socket itself and runs the stream receive when it turns readable, so a message
// costs one wake-up instead of the worker's and then the waiter's. The worker keeps
// everything else (datagrams, accepting, reconnecting, dropping the connection) and
// signals this thread's wake-up handle when it queues something or the status changes.
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/sockets.h"

namespace qc {

namespace {

// The select records of the worker's pass, for this thread's wait on the one socket.
void note(Connection* c, const EthSide& side, int n, bool before) {
  const SelectBits rd = {c->is_server != 0, c->is_server == 0, false};
  eth_select_note(c, side, n, before, false, rd, SelectBits{false, false, false});
}

}  // namespace

int eth_wait(Connection* c, int channel, const WaitUntil& until) {
  if (!ETH_LOAD(c, thread_running) || eth_data_socket(c) <= 2) return -1;
  const int wake = eth_app_enter(c);
  if (wake <= 0) return -1;
  const EthSide& side = c->is_server ? kEthServerSide : kEthClientSide;
  int result = -1;
  int failures = 0;
  bool first = true;  // the deadline was set from the clock a moment ago
  for (;;) {
    const int s = eth_data_socket(c);
    int left;
    {
      Guard g(lock_queue());
      const int bits = wait_queue_bits(c, channel);
      if (bits || c->status_changes != until.changes) {
        result = bits;
        break;
      }
      if (s <= 2) break;  // dropped without a status change yet: the queue wait follows it
      left = first ? until.limit_ms : wait_left_ms(until);
      first = false;
      // Set under the queue lock, where the worker queues: it either queued before the
      // look above or sees this and signals.
      eth_app_blocked(c, true);
    }
    if (left != 0) note(c, side, 0, true);
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = s;
    // A limit on the wait itself would arm and cancel a timer per message: the deadline
    // handle, armed once for many waits, keeps the limit instead.
    int limit = left;
    if (left > 0) {
      set.fd[1] = eth_app_timer(c, until);
      if (set.fd[1] > 0) limit = -1;
    }
    int woken = 0;
    int n = sock_wait(&set, wake, limit, &woken);
    eth_app_blocked(c, false);
    if (woken) sock_wake_clear(wake);
    if (n > 0 && set.readable[1]) {
      eth_app_timer_fired(c);
      --n;
    }
    if (n < 0) {
      // An interrupted wait is only repeated; one that keeps failing leaves the socket
      // to the worker (its lease runs out) and the queue wait takes over.
      if (++failures < 3) continue;
      break;
    }
    failures = 0;
    if (set.readable[0]) {
      note(c, side, n, false);
      int got = 0;
      if (eth_stream_receive_current(c, side, s, &got) > 0) {
        // The connection's state has one owner: the worker drops it, as when it reads
        // the end itself, and the status change then ends the queue wait.
        eth_thread_wake(ETH_LOAD(c, thread));
        break;
      }
      continue;
    }
    if (!woken && left >= 0 && wait_left_ms(until) == 0) {
      Guard g(lock_queue());
      result = wait_queue_bits(c, channel);
      break;
    }
  }
  eth_app_leave(c);
  return result;
}

}  // namespace qc
