// Drives the ethernet receive side without sockets: stream chunks into the reassembly
// and datagrams into the client or server handling, in any order and size.
// Input: byte 0 selects the role (bit 0 server) and a connected status (bit 1); then
// records of op (bit 0 datagram, bit 1 drain the queues afterwards), a 16-bit
// little-endian size and that many bytes.
#include <cstdint>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"

namespace {

Connection* object() {
  static Connection* c = conn_alloc();
  return c;
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void drain(Connection* c) {
  uint8_t buf[qc::kMaxMessage];
  int n;
  // A datagram is queued with the count received, so a message may be shorter than a header.
  while ((n = rx_receive(c, -1, buf, sizeof buf)) > 0) check(n <= qc::kMaxMessage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Connection* c = object();
  if (!c || size < 1) return 0;
  c->rx_fill = 0;
  qc::queues_clear(c);
  c->no_beacon = 1;  // beacon matching would ask the resolver
  c->is_server = data[0] & 1;
  ETH_STORE(c, status, (data[0] & 2) ? (c->is_server ? 3 : 1) : 0);
  size_t pos = 1;
  while (pos + 3 <= size) {
    uint8_t op = data[pos];
    size_t len = size_t(data[pos + 1] | data[pos + 2] << 8);
    pos += 3;
    if (len > size - pos) len = size - pos;
    const uint8_t* p = data + pos;
    pos += len;
    if (op & 1) {
      int count = len > size_t(qc::kRxBufSize) ? qc::kRxBufSize : int(len);
      int dummy = 0;
      uint8_t held[qc::kRxBufSize];
      const int fill = c->rx_fill;
      std::memcpy(held, c->rx_buf, size_t(fill));
      if (c->is_server)
        qc::eth_server_datagram(c, p, count, int(len), &dummy);
      else
        qc::eth_client_datagram(c, p, count, int(len), &dummy);
      // A held half stream message survives any datagram.
      check(c->rx_fill == fill && std::memcmp(held, c->rx_buf, size_t(fill)) == 0);
    } else {
      // A receive takes at most the room left, as the workers do.
      size_t off = 0;
      while (off < len) {
        int room = qc::eth_stream_room(c);
        check(room >= 1);
        int n = int(len - off) < room ? int(len - off) : room;
        std::memcpy(c->rx_buf + c->rx_fill, p + off, size_t(n));
        qc::eth_stream_input(c, n, c->is_server ? qc::kServerStreamEvents : qc::kClientStreamEvents);
        check(c->rx_fill >= 0 && c->rx_fill < qc::kRxBufSize);
        off += size_t(n);
      }
    }
    check(c->queue[0].count <= qc::kQueueSlots && c->queue[1].count <= qc::kQueueSlots);
    if (op & 2) drain(c);
  }
  drain(c);
  return 0;
}
