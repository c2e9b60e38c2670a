// The connection object: one fixed, byte-packed block per link, the same size on
// 32- and 64-bit builds so that a caller-supplied block of conn_object_size() bytes
// always holds it. Pointer-sized things are stored as 32-bit numbers:
//   - a queue slot reference is 0 when free, else the slot number plus one;
//   - the thread handle is a number issued by the platform thread table (0 = none);
//   - sockets are the system's descriptors (never 0..2, see the socket seam).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/sock_addr.h"

namespace qc {
constexpr int kMaxMessage = 1600;      // largest message, one queue slot
constexpr int kRxBufSize = 1608;       // receive buffer of the worker / serial reader
constexpr int kQueueSlots = 96;
constexpr uint32_t kQueueStorage = 8 + kQueueSlots * kMaxMessage;  // 153608
constexpr int kSerialBuf = 4002;
constexpr int kSerialLimit = 4000;
constexpr uint32_t kObjectSize = 322355;

// The socket seam's IPv4 address, stored as is in the block.
using NetAddr4 = ::SockAddr4;

#pragma pack(push, 1)

struct MessageQueue {
  uint32_t slot_ref[kQueueSlots];  // 0 free, else slot index + 1
  uint32_t capacity;               // kQueueStorage after initialisation
  uint16_t count;                  // occupied slots
  uint8_t storage[kQueueStorage];  // slot i at 8 + 1600*i
};

}  // namespace qc

// Global name so that the public C header's opaque `struct Connection` is this type.
struct Connection {
  uint16_t transport;  // 0 serial/modem, 1 ethernet
  uint8_t user_buffer;
  uint8_t server_started;
  uint32_t last_rx_seq[2];
  uint32_t seq_gaps[2];
  uint32_t tx_seq_stream;
  uint32_t tx_seq_datagram;
  uint32_t tx_capture_slot;
  uint32_t rx_capture_slot;
  uint32_t tcp_socket;
  uint32_t udp_socket;
  uint32_t tcp_port;
  uint32_t udp_port;
  uint32_t is_server;
  uint16_t loopback;
  uint8_t no_beacon;
  uint8_t udp_only;
  char host[64];
  uint32_t thread;  // platform thread table handle, 0 = none
  uint32_t thread_running;
  uint32_t thread_id;
  int16_t status;
  int16_t connect_state;
  uint16_t run;
  int16_t listen_state;
  uint8_t type_class[256];
  qc::NetAddr4 tcp_peer;
  qc::NetAddr4 udp_peer;
  uint32_t accepted_socket;
  uint32_t accepted_valid;
  qc::MessageQueue queue[2];  // [0] stream, [1] datagram
  uint8_t rx_buf[qc::kRxBufSize];
  int32_t rx_fill;
  uint16_t serial_setup_mode;
  uint16_t serial_option;
  uint16_t serial_reader_state;
  uint16_t serial_port;  // COM number, 0 = closed
  uint16_t serial_raw;
  uint16_t serial_hw_flow;
  uint32_t serial_baud;
  uint16_t serial_history[64];
  uint16_t serial_history_pos;
  uint16_t serial_frame_fill;
  uint8_t serial_unused[qc::kSerialBuf];
  uint8_t serial_frame_buf[qc::kSerialBuf];
  uint8_t serial_raw_buf[qc::kSerialBuf];
  uint16_t serial_raw_count;
  uint16_t serial_overflow_len;
  uint32_t rx_dropped;
  uint32_t serial_error_time;
  uint32_t serial_data_time;
  uint8_t serial_frame_type;
  uint8_t serial_dtr_dropped;
  uint8_t serial_reset_pending;
  int16_t beacon_count;
  uint32_t beacon_time;
  uint32_t serial_setup_baud;
  uint32_t serial_user_baud;
  char local_hostname[100];
  uint8_t local_ip[4];
  uint8_t reserved[16];  // the block's size is fixed; these bytes are spare
};
#pragma pack(pop)

static_assert(sizeof(qc::NetAddr4) == 16, "NetAddr4 must match sockaddr_in");
static_assert(sizeof(qc::MessageQueue) == 153998, "queue layout");
static_assert(sizeof(Connection) == qc::kObjectSize, "connection block size");
static_assert(offsetof(Connection, status) == 136, "status offset");
static_assert(offsetof(Connection, serial_raw) == 310056, "serial_raw offset");
static_assert(offsetof(Connection, rx_dropped) == 322206, "rx_dropped offset");
