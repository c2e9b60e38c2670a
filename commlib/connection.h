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
constexpr uintptr_t kObjectAlign = 4;  // a caller's block must start on this boundary

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

// Who may touch what. There are two kinds of thread: the application's (every entry
// point; several application threads may use different objects at once) and one ethernet
// worker per connected object (eth_client_thread or eth_server_thread). Serial
// connections have no thread of their own: their reader pass runs inside the receive-side
// entry points. Each field below is marked:
//   [app]     written by the application thread only; a worker reads it, and it is set
//             before the worker starts (eth_connect) or while none runs
//   [worker]  written by the worker only while it runs (the application: before and after)
//   [atomic]  both sides, always through ETH_LOAD / ETH_STORE (commlib/eth_internal.h);
//             ETH_STORE of `status` also wakes conn_wait
//   [queue]   under lock_queue(); [serial] under lock_serial_input(); [capture] under
//             lock_capture(); [peer] under the peer lock (eth_peer_get / eth_peer_set)
//
// The synchronisation objects, outermost first; a thread holding one may only take those
// listed after it:
//   1. lock_registry()      recursive: the registry of live objects (registry.cpp). Held
//                           to register, look up and unregister, never across a worker's
//                           join (conn_disconnect and conn_free take it only to validate
//                           and to unregister).
//   2. lock_serial_input()  recursive: a serial reader pass and the serial fields it keeps.
//   2a. the receive lock    one per worker (eth_rx_lock, eth_threads.cpp): a stream
//                           receive (room, read, append) and the worker's closing of
//                           retired sockets. An application thread inside conn_wait reads
//                           the data socket itself while the worker lends it (eth_wait.cpp),
//                           so either thread may hold it.
//   3. lock_queue()         recursive: both receive queues, rx_buf/rx_fill, rx_dropped and
//                           conn_wait's state. conn_wait sleeps on one process-wide
//                           condition variable paired with this lock (wait.cpp); the
//                           readiness handle of conn_wait_handle is set and cleared
//                           under it.
//   4. lock_capture()       recursive: capture slots and the log options.
//   5. lock_trace()         recursive: the trace stream.
//   Leaf locks, taken with none of the above needed and nothing taken inside them:
//   the worker table lock (eth_threads.cpp: thread table and wake-up handles), the peer
//   lock (udp_peer copies) and each worker's lending lock (held only while the data
//   socket is lent or taken back, or a stream's end is handed back to the worker). Each worker's retire list (eth_threads.cpp) is thread-local
//   and needs no lock.
//
// The serial handshake borrows two ethernet fields, never in use on a serial link:
// beacon_time holds when the answering side last saw DSR on (0: not since it gave the
// line back), beacon_count the framing the caller asks for (1 message, 0 setup).

// Global name so that the public C header's opaque `struct Connection` is this type.
struct Connection {
  uint16_t transport;  // [app] 0 serial/modem, 1 ethernet
  uint8_t user_buffer;     // [app] the block is the caller's (conn_init_buffer)
  uint8_t server_started;  // [app] a server worker has started once on this block
  uint32_t last_rx_seq[2];  // [queue]
  uint32_t seq_gaps[2];     // [queue]
  uint32_t tx_seq_stream;    // [app] sequence numbers of sent messages
  uint32_t tx_seq_datagram;  // [app]
  uint32_t tx_capture_slot;  // [capture]
  uint32_t rx_capture_slot;  // [capture]
  uint32_t tcp_socket;  // [atomic]
  uint32_t udp_socket;  // [atomic]
  uint32_t tcp_port;  // [app]
  uint32_t udp_port;  // [app]
  uint32_t is_server;  // [app]
  uint16_t loopback;   // [app]
  uint8_t no_beacon;   // [app]
  uint8_t udp_only;    // [app]
  char host[64];       // [app] the address connected to
  uint32_t thread;  // [atomic] platform thread table handle, 0 = none
  uint32_t thread_running;  // [atomic]
  uint32_t thread_id;       // [atomic]
  int16_t status;         // [atomic] (serial: [app])
  int16_t connect_state;  // [atomic]
  uint16_t run;           // [atomic] cleared by the application to stop the worker
  int16_t listen_state;   // [atomic]
  uint8_t type_class[256];  // [app]
  qc::NetAddr4 tcp_peer;  // [app] then [worker]: the server's worker stores its client's
  qc::NetAddr4 udp_peer;  // [peer]
  uint32_t accepted_socket;  // [atomic]
  uint32_t accepted_valid;   // [atomic]
  qc::MessageQueue queue[2];  // [queue] [0] stream, [1] datagram
  uint8_t rx_buf[qc::kRxBufSize];  // [queue]; the serial reader builds its messages
                                   // here under [serial]
  int32_t rx_fill;                 // [queue]
  // The serial fields: [app] where the application configures the link, [serial] where
  // the reader pass keeps its state.
  uint16_t serial_setup_mode;    // [app] [serial] (the handshake's answering side switches it)
  uint16_t serial_option;        // [app]
  uint16_t serial_reader_state;  // [serial]
  uint16_t serial_port;  // [app] COM number, 0 = closed
  uint16_t serial_raw;      // [app]
  uint16_t serial_hw_flow;  // [app]
  uint32_t serial_baud;     // [app] [serial]
  uint16_t serial_history[64];  // unused
  uint16_t serial_history_pos;  // unused
  uint16_t serial_frame_fill;   // [serial]
  uint8_t serial_unused[qc::kSerialBuf];
  uint8_t serial_frame_buf[qc::kSerialBuf];  // [serial]
  uint8_t serial_raw_buf[qc::kSerialBuf];    // [serial]
  uint16_t serial_raw_count;     // [serial]
  uint16_t serial_overflow_len;  // [serial]
  uint32_t rx_dropped;  // [queue]; the serial reader's own losses under [serial]
  uint32_t serial_error_time;  // [serial]
  uint32_t serial_data_time;   // [serial]
  uint8_t serial_frame_type;     // [serial]
  uint8_t serial_dtr_dropped;    // [serial]
  uint8_t serial_reset_pending;  // [serial]
  int16_t beacon_count;  // [worker] (server); serial: borrowed by the handshake [serial]
  uint32_t beacon_time;  // [worker] (server); serial: borrowed by the handshake [serial]
  uint32_t serial_setup_baud;  // [app]
  uint32_t serial_user_baud;   // [app]
  char local_hostname[100];  // [app] at connect
  uint8_t local_ip[4];       // [app] at connect
  // Waiting for messages (commlib/wait.cpp).
  uint32_t wait_handle;     // [queue] readiness object of conn_wait_handle, 0 = none yet
  uint32_t status_changes;  // [queue] counts changes of `status` that waiters were told of
  uint8_t reserved[8];      // the block's size is fixed; these bytes are spare
};
#pragma pack(pop)

static_assert(sizeof(qc::NetAddr4) == 16, "NetAddr4 must match sockaddr_in");
static_assert(sizeof(qc::MessageQueue) == 153998, "queue layout");
static_assert(sizeof(Connection) == qc::kObjectSize, "connection block size");
static_assert(offsetof(Connection, status) == 136, "status offset");
static_assert(offsetof(Connection, serial_raw) == 310056, "serial_raw offset");
static_assert(offsetof(Connection, rx_dropped) == 322206, "rx_dropped offset");
