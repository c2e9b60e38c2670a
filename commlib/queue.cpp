// Messages and the two receive queues of a connection.
#include <cstring>

#include "commlib/core.h"
#include "commlib/transport.h"

namespace qc {

namespace {
uint8_t* slot_data(MessageQueue& q, int i) { return q.storage + 8 + kMaxMessage * i; }

// Copies a received message of length bytes into a slot. A datagram may claim more
// than it carried: the slot reads as zeros there, not as an older message's bytes.
void slot_fill(uint8_t* s, const uint8_t* m, int length) {
  std::memcpy(s, m, size_t(length));
  int claimed = le16(m + 2);
  if (claimed > kMaxMessage) claimed = kMaxMessage;
  if (claimed > length) std::memset(s + length, 0, size_t(claimed - length));
}
const uint8_t* slot_data(const MessageQueue& q, int i) { return q.storage + 8 + kMaxMessage * i; }

// Sequence number of a message held in `limit` bytes: the four bytes that end at its
// length field. A message too short to carry one, or claiming more bytes than are
// held, reads as sequence 0.
uint32_t msg_sequence(const uint8_t* m, int limit) {
  int len = le16(m + 2);
  if (len < 8 || len > limit) return 0;
  return le32(m + len - 4);
}

// Messages are polled from the application thread; a serial connection has no reader
// thread, so its bytes are read on the way in.
void poll_serial(Connection* c) {
  if (c->transport == kTransportSerial) serial_poll(c);
}
}  // namespace

int rx_oldest(const MessageQueue& q) {
  int best = -1;
  uint32_t best_seq = 0;
  for (int i = 0; i < kQueueSlots; ++i) {
    if (!q.slot_ref[i]) continue;
    uint32_t seq = msg_sequence(slot_data(q, i), kMaxMessage);
    if (best < 0 || seq < best_seq) {
      best = i;
      best_seq = seq;
    }
  }
  return best;
}

int queue_message(Connection* c, int length, int channel, const char* source) {
  const uint8_t* m = c->rx_buf;
  uint8_t cls = c->type_class[m[0]];
  capture_full(c, kRx, cls, m);

  Guard g(lock_queue());
  int ch = channel ? 1 : 0;
  uint32_t seq = msg_sequence(m, kRxBufSize);
  if (c->last_rx_seq[ch] != 0 && seq != c->last_rx_seq[ch] + 1) ++c->seq_gaps[ch];
  c->last_rx_seq[ch] = seq;
  capture_event(c, kRx, uint16_t(kEvQueuedStream + ch), le32(m), seq, le32(m + 4));

  MessageQueue& q = c->queue[ch];
  // A datagram longer than a slot would lose its sequence number if cut, so it is
  // dropped and counted like a message that found its queue full.
  if (length < 1 || length > kMaxMessage) {
    ++c->rx_dropped;
    capture_event(c, kRx, kEvQueueFullDrop, 0, seq, 0);
    return 1;
  }

  if (cls == kClassLatest && status_of(c) != kStatusDown) {
    for (int i = 0; i < kQueueSlots; ++i) {
      uint8_t* s = slot_data(q, i);
      if (q.slot_ref[i] && std::memcmp(s, m, 4) == 0) {
        capture_event(c, kRx, kEvReplacedLatest, uint32_t(i), msg_sequence(s, kMaxMessage),
                      le32(s + 4));
        slot_fill(s, m, length);
        wait_queues_changed(c);
        return 0;
      }
    }
  }

  if (q.count >= kQueueSlots) {
    ++c->rx_dropped;
    capture_event(c, kRx, kEvQueueFullDrop, 0, seq, 0);
    return 1;
  }

  for (int i = 0; i < kQueueSlots; ++i) {
    if (q.slot_ref[i]) continue;
    q.slot_ref[i] = uint32_t(i + 1);
    slot_fill(slot_data(q, i), m, length);
    ++q.count;
    trace_printf("%c queued %d (count = %d) from %s\n", role_letter(c), i, int(q.count),
                 source ? source : "");
    wait_queues_changed(c);
    return 0;
  }
  // The count said there was room but no slot is free: the references and the count
  // disagree, which only a caller writing the queue directly can cause.
  ++c->rx_dropped;
  capture_event(c, kRx, kEvQueueFullDrop, 0, seq, 0);
  return 1;
}

void queues_clear(Connection* c) {
  for (int ch = 0; ch < 2; ++ch) {
    Guard g(lock_queue());
    c->last_rx_seq[ch] = 0;
    c->queue[ch].count = 0;
    std::memset(c->queue[ch].slot_ref, 0, sizeof c->queue[ch].slot_ref);
    wait_queues_changed(c);
  }
}

}  // namespace qc

using namespace qc;

extern "C" {

int msg_build(Connection* c, uint8_t* buf, int size, uint8_t type, uint8_t command,
              const void* payload, int payload_len) {
  if (!conn_is_valid(c)) return 0;
  if (!buf || size <= 0) return 0;
  std::memset(buf, 0, size_t(size));
  // The length field is 16 bits: longer payloads cannot be described.
  if (payload_len < 0 || payload_len > 0xffff - 8 || size < payload_len + 8) return 0;
  int len = payload_len + 8;
  buf[0] = type;
  buf[1] = command;
  put_le16(buf + 2, uint16_t(len));
  if (payload && payload_len > 0) std::memcpy(buf + 4, payload, size_t(payload_len));
  uint32_t seq = c->type_class[type] != kClassStream ? ++c->tx_seq_datagram : ++c->tx_seq_stream;
  put_le32(buf + 4 + payload_len, seq);
  return len;
}

int rx_status(Connection* c, int what) {
  if (!conn_is_valid(c)) return 0;
  poll_serial(c);
  Guard g(lock_queue());
  switch (what) {
    case QCOMM_RX_ANY:
      return (c->queue[0].count || c->queue[1].count) ? 1 : 0;
    case QCOMM_RX_STREAM:
      return c->queue[0].count ? 1 : 0;
    case QCOMM_RX_STREAM_TYPE:
    case QCOMM_RX_STREAM_PAYLOAD: {
      if (!c->queue[0].count) return 0;
      int i = rx_oldest(c->queue[0]);
      if (i < 0) return 0;
      const uint8_t* m = slot_data(c->queue[0], i);
      return what == QCOMM_RX_STREAM_TYPE ? int(m[0]) : int(le16(m + 2)) - QCOMM_MSG_OVERHEAD;
    }
    default:
      return 0;
  }
}

int rx_receive(Connection* c, int channel, void* buf, int size) {
  if (!conn_is_valid(c)) return 0;
  // Nothing is taken that could not be handed over.
  if (!buf || size <= 0) return 0;
  uint8_t* out = static_cast<uint8_t*>(buf);
  if (c->transport == kTransportSerial) {
    serial_poll(c);
    if (c->serial_raw) {
      Guard g(lock_serial_input());
      int have = c->serial_raw_count;
      if (have > kSerialBuf) have = kSerialBuf;
      if (have == 0) {
        capture_event(c, kRx, kEvSerRawEmpty, c->serial_port, 0, 0);
        return 0;
      }
      int n = have < size ? have : size;
      std::memcpy(out, c->serial_raw_buf, size_t(n));
      if (n < have) {
        std::memmove(c->serial_raw_buf, c->serial_raw_buf + n, size_t(have - n));
        c->serial_raw_count = uint16_t(have - n);
      } else {
        c->serial_raw_count = 0;
      }
      uint8_t head[4] = {};
      std::memcpy(head, out, size_t(n < 4 ? n : 4));
      capture_event(c, kRx, kEvSerRawTaken, uint32_t(n), 0, le32(head));
      return n;
    }
  }

  int slot;
  int n;
  {
    Guard g(lock_queue());
    int ch = channel < 0 ? (c->queue[0].count ? 0 : 1) : (channel == 0 ? 0 : 1);
    MessageQueue& q = c->queue[ch];
    slot = q.count ? rx_oldest(q) : -1;
    if (slot < 0) {
      wait_queues_changed(c);  // nothing waits: an event loop's handle goes quiet
      return 0;
    }
    const uint8_t* m = slot_data(q, slot);
    int len = le16(m + 2);
    if (len > kMaxMessage) len = kMaxMessage;
    n = len < size ? len : size;
    std::memcpy(out, m, size_t(n));
    q.slot_ref[slot] = 0;
    --q.count;
    wait_queues_changed(c);
    if (len == 0) {
      capture_event(c, kRx, kEvUnqueued, 0, 0, 0);
    } else {
      capture_event(c, kRx, kEvUnqueued, le32(m), msg_sequence(m, kMaxMessage), le32(m + 4));
    }
  }
  trace_printf("%c unqueued %d\n", role_letter(c), slot);
  return n;
}

}  // extern "C"
