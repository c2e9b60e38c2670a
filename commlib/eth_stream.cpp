// Receive side of the ethernet transport shared by both workers: stream reassembly in
// rx_buf and datagram hand-over to the datagram queue.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/events.h"
#include "commlib/states.h"
#include "platform/ascii.h"
#include "platform/sockets.h"

namespace qc {

namespace {

constexpr int kMinMessage = 8;

void stream_event(Connection* c, uint16_t code, int n) {
  capture_event(c, kRx, code, le32(c->rx_buf), uint32_t(n), uint32_t(c->rx_fill));
}

// A length the buffer can complete. Anything else can never become a message: the
// whole buffer is dropped and the stream resynchronises on the next receive (a zero
// length would otherwise make no progress, an oversized one would never complete).
bool plausible_length(const Connection* c) {
  int len = le16(c->rx_buf + 2);
  return len >= kMinMessage && len <= kRxBufSize;
}

}  // namespace

int eth_stream_room(Connection* c) {
  Guard g(lock_queue());
  int room = kRxBufSize - c->rx_fill;
  return room > 0 ? room : 0;
}

void eth_stream_append(Connection* c, const uint8_t* data, int n, const StreamEvents& ev) {
  if (n < 1) return;
  Guard g(lock_queue());
  // The room only grows between eth_stream_room and here (a flush empties the buffer),
  // so this cut never applies to a worker; it keeps the copy inside rx_buf regardless.
  int fill = c->rx_fill >= 0 && c->rx_fill <= kRxBufSize ? c->rx_fill : 0;
  if (n > kRxBufSize - fill) n = kRxBufSize - fill;
  std::memcpy(c->rx_buf + fill, data, size_t(n));
  c->rx_fill = fill;
  eth_stream_input(c, n, ev);
}

void eth_stream_drop_partial(Connection* c) {
  Guard g(lock_queue());
  if (c->rx_fill > 0 && c->rx_fill <= kRxBufSize) {
    capture_event(c, kRx, kEvPartialDropped, le32(c->rx_buf), uint32_t(c->rx_fill), c->is_server);
    ++c->rx_dropped;
  }
  c->rx_fill = 0;
}

void eth_stream_input(Connection* c, int n, const StreamEvents& ev) {
  if (n < 1) return;
  Guard g(lock_queue());
  if (c->rx_fill < 0 || c->rx_fill + n > kRxBufSize) {  // cannot be the buffer's bytes
    c->rx_fill = 0;
    stream_event(c, ev.discarded, n);
    return;
  }
  if (c->rx_fill + n < kMinMessage) {
    c->rx_fill += n;
    stream_event(c, ev.kept_short, n);
    return;
  }
  // The type byte is checked once per receive, on what the buffer starts with; the
  // messages that follow it in the same receive are taken by their lengths alone.
  if (c->rx_buf[0] < 128 || !plausible_length(c)) {
    c->rx_fill = 0;
    stream_event(c, ev.discarded, n);
    return;
  }
  c->rx_fill += n;
  while (c->rx_fill > 0) {
    if (c->rx_fill < kMinMessage) break;  // the next header is not complete yet
    if (!plausible_length(c)) {
      c->rx_fill = 0;
      stream_event(c, ev.discarded, n);
      break;
    }
    int len = le16(c->rx_buf + 2);
    if (c->rx_fill < len) break;
    queue_message(c, len, 0, "tcpsocket");
    if (c->rx_fill > len) {
      std::memmove(c->rx_buf, c->rx_buf + len, size_t(c->rx_fill - len));
      c->rx_fill -= len;
      stream_event(c, ev.moved, n);
    } else {
      c->rx_fill = 0;
    }
  }
  if (c->rx_fill != 0) stream_event(c, ev.held, 0);
}

int eth_queue_datagram(Connection* c, const uint8_t* data, int count, int full_length) {
  if (count < 1) return 1;
  if (count > kRxBufSize) count = kRxBufSize;
  // A datagram is queued with the count received, whatever its length field says;
  // one longer than a slot (or cut by the receive buffer) reaches queue_message with
  // its real length, which drops it and counts it in rx_dropped.
  int length = full_length > count ? full_length : count;
  // queue_message takes the message from the start of rx_buf, where a stream message
  // may be held half-received: set those bytes aside and put them back afterwards.
  // The queue lock keeps a flush from emptying the buffer in between.
  Guard g(lock_queue());
  uint8_t held[kRxBufSize];
  int fill = c->rx_fill;
  if (fill < 0 || fill > kRxBufSize) fill = 0;
  if (fill > 0) std::memcpy(held, c->rx_buf, size_t(fill));
  std::memcpy(c->rx_buf, data, size_t(count));
  // Past what arrived the buffer reads as zeros, so a length field that claims more
  // shows nothing that this datagram did not carry.
  std::memset(c->rx_buf + count, 0, size_t(kRxBufSize - count));
  int r = queue_message(c, length, 1, "udpsocket");
  if (fill > 0) std::memcpy(c->rx_buf, held, size_t(fill));
  return r;
}

namespace {

// A name lookup can take seconds (a resolver that does not answer), far longer than a
// worker may be away from its sockets and its stop flag. It runs on a helper thread of
// its own; the worker waits a little for the answer and otherwise goes on, and a lookup
// still running when its worker ends finishes on its own, touching nothing but itself.
struct NameLookup {
  std::atomic<bool> done{false};
  char name[65] = {};
  int found = 0;
  uint8_t addrs[8][4] = {};
};

constexpr uint32_t kLookupWaitMs = 200;
constexpr int kLookupImpossible = -2;

// The worker's lookup: one in flight at a time, its answer used once.
thread_local std::shared_ptr<NameLookup> t_lookup;

void run_lookup(std::shared_ptr<NameLookup> l) {
  if (sock_lookup(l->name, l->addrs, 8, &l->found) != 0) l->found = 0;
  l->done.store(true);
}

// Puts the addresses of name into out and returns their number, -1 when they are not
// known within the wait (or the worker is being stopped), or kLookupImpossible when the
// lookup could not even be started.
int lookup_bounded(Connection* c, const char* name, uint8_t (*out)[4]) {
  if (t_lookup && t_lookup->done.load() && std::strcmp(t_lookup->name, name) != 0)
    t_lookup.reset();  // an answer for another name nobody waits for any more
  if (!t_lookup) {
    try {
      auto l = std::make_shared<NameLookup>();
      std::snprintf(l->name, sizeof l->name, "%s", name);
      std::thread(run_lookup, l).detach();
      t_lookup = l;
    } catch (...) {  // no memory or no thread: the name stays unknown this time
      return kLookupImpossible;
    }
  }
  // A different name while one is still being looked up waits for a later beacon.
  if (std::strcmp(t_lookup->name, name) != 0) return -1;
  // A worker being stopped (running, run cleared) stops waiting at once.
  auto stopping = [c] { return ETH_LOAD(c, thread_running) && !ETH_LOAD(c, run); };
  uint32_t start = clock_ms();
  while (!t_lookup->done.load() && !stopping() && clock_ms() - start < kLookupWaitMs)
    eth_sleep_ms(1);
  if (!t_lookup->done.load()) return -1;
  int found = t_lookup->found;
  std::memcpy(out, t_lookup->addrs, sizeof t_lookup->addrs);
  t_lookup.reset();  // the next beacon asks again
  return found;
}

}  // namespace

int eth_beacon_matches(Connection* c, const uint8_t* data, int count) {
  if (count <= 4) return 0;
  char name[65];
  int max = count - 4 < 64 ? count - 4 : 64;
  int i = 0;
  for (; i < max && data[4 + i]; ++i) name[i] = char(data[4 + i]);
  name[i] = 0;
  if (name[0] == 0) return 0;
  char host[65];
  std::memcpy(host, c->host, 64);
  host[64] = 0;
  if (ascii_same_nocase(name, host)) return 1;
  uint8_t addrs[8][4];
  int found = lookup_bounded(c, name, addrs);  // no answer in time: not our server
  if (found == kLookupImpossible) return -1;
  for (int k = 0; k < found; ++k)
    if (std::memcmp(addrs[k], c->tcp_peer.addr, 4) == 0) return 1;
  return 0;
}

void eth_client_datagram(Connection* c, const uint8_t* data, int count, int full_length,
                         int* attempt) {
  if (count < 1) return;
  int status = ETH_LOAD(c, status);
  if (data[0] == kTypePoke) {
    if (status == kStatusDown) ETH_STORE(c, connect_state, kConnectPoked);
  } else if (data[0] == kTypeBeacon) {
    if (status == kStatusDown && !c->no_beacon) {
      int match = eth_beacon_matches(c, data, count);
      if (match > 0) {
        ETH_STORE(c, connect_state, kConnectPoked);
        capture_event(c, kRx, kEvClientBeaconMatch, uint32_t(count), 0, 0);
      } else if (match == 0) {  // another server's: the application sees it
        eth_queue_datagram(c, data, count, full_length);
      }  // unknown (the name could not be looked up): the next beacon asks again
    }
  } else {
    eth_queue_datagram(c, data, count, full_length);
  }
  if (ETH_LOAD(c, status) == kStatusDown) *attempt = 1;
}

void eth_server_datagram(Connection* c, const uint8_t* data, int count, int full_length,
                         int* accept_now) {
  if (count < 1) return;
  if (data[0] == kTypePoke) {
    if (ETH_LOAD(c, status) == kStatusDown) *accept_now = 1;
    capture_event(c, kRx, kEvServerPoke, uint32_t(count), 0, 0);
    return;
  }
  eth_queue_datagram(c, data, count, full_length);
}

}  // namespace qc
