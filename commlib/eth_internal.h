// Internals shared by the ethernet transport files: shared-field access, the worker
// thread table, stream reassembly and datagram handling.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "commlib/connection.h"
#include "commlib/core.h"
#include "commlib/events.h"
#include "commlib/qcomm.h"
#include "commlib/states.h"
#include "platform/sockets.h"

// Fields that the worker thread and the application thread both touch (the stop
// handshake, status, sockets) are read and written as atomics. The block is packed,
// so they are reached through their offsets; each of them is naturally aligned within
// the block, and every block starts on 4 bytes (conn_init_buffer refuses others).
#define ETH_FIELD(c, f) \
  (reinterpret_cast<decltype(Connection::f)*>(reinterpret_cast<char*>(c) + offsetof(Connection, f)))
#define ETH_LOAD(c, f) __atomic_load_n(ETH_FIELD(c, f), __ATOMIC_ACQUIRE)
#define ETH_STORE(c, f, v) \
  qc::eth_store(c, ETH_FIELD(c, f), offsetof(Connection, f), static_cast<decltype(Connection::f)>(v))

static_assert(offsetof(Connection, tcp_socket) % 4 == 0 && offsetof(Connection, udp_socket) % 4 == 0,
              "socket fields aligned");
static_assert(offsetof(Connection, thread) % 4 == 0 && offsetof(Connection, thread_running) % 4 == 0 &&
                  offsetof(Connection, thread_id) % 4 == 0,
              "thread fields aligned");
static_assert(offsetof(Connection, status) % 2 == 0 && offsetof(Connection, connect_state) % 2 == 0 &&
                  offsetof(Connection, run) % 2 == 0 && offsetof(Connection, listen_state) % 2 == 0,
              "state fields aligned");
static_assert(offsetof(Connection, accepted_socket) % 4 == 0 &&
                  offsetof(Connection, accepted_valid) % 4 == 0,
              "accepted fields aligned");

namespace qc {

void wait_status_changed(Connection* c);

// The one place the shared fields are stored: a change of `status` also ends waits on
// the object (conn_wait), whichever worker or call site made it.
template <class T>
inline void eth_store(Connection* c, T* field, size_t offset, T value) {
  T old = __atomic_exchange_n(field, value, __ATOMIC_ACQ_REL);
  if (offset == offsetof(Connection, status) && old != value) wait_status_changed(c);
}

constexpr int kDefaultPort = QCOMM_DEFAULT_PORT;
constexpr int kSelectMs = 500;
constexpr int kBeaconSize = 72;

// ---- worker thread table: the block's 32-bit `thread` is an index into it ----
using EthWorker = void (*)(Connection* c, int wake);
// Starts a worker with its own wake-up handle. Returns the handle (>= 1) or 0.
uint32_t eth_thread_start(EthWorker fn, Connection* c);
void eth_thread_wake(uint32_t handle);
// Waits for the thread to end and releases its table entry and wake-up handle.
void eth_thread_join(uint32_t handle);

// ---- lending the data socket to an application thread inside conn_wait ----
// While the application waits in conn_wait it reads the data socket itself (eth_wait):
// the worker leaves the socket out of its own wait and takes it back once nobody has
// been inside conn_wait for a short lease. Either thread may run a stream receive, so
// it runs under the object's receive lock, as does the worker's closing of the sockets
// it retired (the application checks its socket under that lock before reading).
// All of these do nothing (or answer "not lent") on a block whose worker was not
// started through the thread table.
std::unique_lock<std::mutex> eth_rx_lock(Connection* c);
// Worker, each pass while the data socket is up: -1 when the socket is its own (the
// lease has run out, or it was never lent); else the socket is lent and the pass waits
// at most the milliseconds returned (> 0).
int eth_lend_wait_ms(Connection* c);
// Worker: true when the application found the end of the stream on socket s (the
// current data socket); *got is that receive's result. Either way the socket is the
// worker's again.
bool eth_handback_take(Connection* c, int s, int* got);
// Application, under the receive lock: its receive on s found the end (result: got).
// The worker drops the connection when it takes this, as when it reads the end itself.
void eth_handback_note(Connection* c, int s, int got);
// Application: entering conn_wait lends the socket (waking the worker when it was not
// lent yet). Returns the application's wake-up handle, or 0 when the socket cannot be
// lent (no share, or a hand-back not taken yet); only after a nonzero answer is
// eth_app_leave due.
int eth_app_enter(Connection* c);
void eth_app_leave(Connection* c);
// Whether the data socket is lent at this moment; for tests and tools.
bool eth_socket_lent(Connection* c);
// The application is (or no longer is) blocked in its socket wait. Set under the queue
// lock, where eth_wait_nudge looks; cleared anywhere (a signal that comes late only
// makes the next wait look once more).
void eth_app_blocked(Connection* c, bool blocked);
// The deadline handle for a wait until `until`, armed to expire no earlier than that and no
// later than the earliest deadline of the waits on it; 0 when the wait must carry its limit.
int eth_app_timer(Connection* c, const WaitUntil& until);
// The deadline handle read as ready: quiet it so the next wait can arm it again.
void eth_app_timer_fired(Connection* c);

// Client and server worker bodies.
void eth_client_thread(Connection* c, int wake);
void eth_server_thread(Connection* c, int wake);

// ---- receive side, free of sockets so that it can be driven directly ----
struct StreamEvents {
  uint16_t kept_short;  // fewer than 8 bytes held
  uint16_t discarded;   // not a message start: everything dropped
  uint16_t moved;       // bytes of the next message moved to the front
  uint16_t held;        // an incomplete message stays held
};
constexpr StreamEvents kClientStreamEvents = {kEvClientStreamShort, kEvClientStreamDiscard,
                                               kEvClientStreamMore, kEvClientPartialHeld};
constexpr StreamEvents kServerStreamEvents = {kEvServerStreamShort, kEvServerStreamDiscard,
                                               kEvServerStreamMore, kEvServerPartialHeld};

// rx_buf and rx_fill are shared with the application's flush (conn_reset), so they are
// only touched under the queue lock; a worker receives into a buffer of its own and
// hands the bytes over with eth_stream_append.
// Room left for the next stream receive.
int eth_stream_room(Connection* c);
// Appends n received bytes at rx_fill (never past rx_buf) and queues what is complete.
void eth_stream_append(Connection* c, const uint8_t* data, int n, const StreamEvents& ev);
// The connection the stream came on has ended: a message it left half-received can
// never complete (the next connection starts a new stream), so it is dropped, counted
// in rx_dropped and recorded (event 31: its first four bytes, the bytes held, is_server).
void eth_stream_drop_partial(Connection* c);
// n (>= 1) bytes were appended to rx_buf at rx_fill: queue what is complete.
void eth_stream_input(Connection* c, int n, const StreamEvents& ev);

// Queues one datagram of count bytes on the datagram channel without disturbing a held
// stream message. full_length is the datagram's size before truncation. Returns 0
// queued, 1 dropped (queue full, or longer than a slot; rx_dropped counts both).
int eth_queue_datagram(Connection* c, const uint8_t* data, int count, int full_length);

// One received datagram of a client worker (pokes, beacons, the rest queued);
// sets *attempt when the next pass shall try to connect.
void eth_client_datagram(Connection* c, const uint8_t* data, int count, int full_length,
                         int* attempt);
// One received datagram of a server worker; sets *accept_now on a poke.
void eth_server_datagram(Connection* c, const uint8_t* data, int count, int full_length,
                         int* accept_now);
// Does the beacon's host name name the server this client connects to? 1 yes, 0 no, -1
// unknown: its name could not be looked up (no memory or no thread for it).
int eth_beacon_matches(Connection* c, const uint8_t* data, int count);

// Guarded socket creation (gives up after 5000 ms). Returns the socket or -1.
int try_socket(int kind);

// Copies of udp_peer between the worker (which sets it at accept) and senders.
void eth_peer_get(Connection* c, NetAddr4* out);
void eth_peer_set(Connection* c, const NetAddr4& a);

// A worker drops a TCP connection that the application may be sending on at that
// moment: it is shut down at once but its handle stays open until the worker drops
// the next one or ends, so the number is not reused under a sender's feet. The close
// happens under the object's receive lock, so that a receiving application thread,
// which checks its socket under that lock, never reads a reused number.
void eth_retire_socket(Connection* c, int s);
void eth_retire_flush(Connection* c);

// Sleeps the calling thread.
void eth_sleep_ms(int ms);

// ---- the steps both workers are made of (commlib/eth_worker.cpp) ----
// What tells the client's steps from the server's: trace letter and labels, event codes.
struct EthSide {
  char letter;  // 'C' or 'S'
  const char* before_label;
  const char* after_label;
  uint16_t select_before, select_after, select_error;
  bool quiet_net_down;   // a wait failing with "network down" is only repeated
  uint16_t tcp_result;   // recorded, and traced, for every stream receive (0: none)
  uint16_t tcp_data;     // recorded for a stream receive that brought bytes (0: none)
  uint16_t udp_receive;
  StreamEvents stream;
  // The worker's handling of one received datagram (eth_client_datagram or
  // eth_server_datagram); flag is the worker's own.
  void (*datagram)(Connection* c, const uint8_t* data, int count, int full_length, int* flag);
};

// A worker's first steps: its thread id stored, both sockets' local names traced under
// side ("Client" or "Slave"), the start event `code` captured, and thread_running set.
void eth_worker_start(Connection* c, const char* side, uint16_t code);
// The last: sockets it retired closed, thread_running cleared.
void eth_worker_end(Connection* c);

// The select trace line and record of a pass, before or after its wait.
void eth_select_note(Connection* c, const EthSide& side, int n, bool before, bool has_write,
                     SelectBits rd, SelectBits wr);

// What the wait of a pass found.
enum class EthPass {
  kStop,     // the worker is being stopped
  kAgain,    // woken for another reason (or the network is down): look again
  kFailed,   // the wait failed (traced and recorded)
  kTimeout,  // nothing happened within kSelectMs
  kReady,    // *n handles are ready
};
// timeout_ms: kSelectMs, or shorter while the data socket is lent.
EthPass eth_worker_wait(Connection* c, const EthSide& side, int wake, SockWaitSet* set, int* n,
                        int timeout_ms);

// The steps of each kind, for an application thread receiving on the worker's behalf.
extern const EthSide kEthClientSide;
extern const EthSide kEthServerSide;

// The socket stream messages arrive on while the connection is up (the client's TCP
// socket, the server's accepted one), else 0.
int eth_data_socket(Connection* c);

// One receive on the readable stream socket s, complete messages queued, under the
// receive lock. Returns true when the peer is gone (end of stream or a failure; *got
// is the receive's result).
bool eth_stream_receive(Connection* c, const EthSide& side, int s, int* got);
// The same for an application thread: 1 peer gone (handed back to the worker, which
// is to be woken), 0 done, -1 nothing read because s is no longer the data socket.
// Either thread reads an end only once: the worker's receive takes a hand-back instead.
int eth_stream_receive_current(Connection* c, const EthSide& side, int s, int* got);

// Reads the datagram waiting on udp, traced and recorded, and hands it to
// side.datagram. Returns false when the read found an empty datagram: the rest of the
// pass is skipped.
bool eth_datagram_receive(Connection* c, const EthSide& side, int udp, int* flag);

}  // namespace qc
