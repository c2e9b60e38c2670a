// Internal interface of the library core: registry and locks, logging and capture
// files, messages and receive queues. The transports (ethernet, serial) build on it.
// Public entry points are declared extern "C" in qcomm.h with the same names.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "commlib/connection.h"
#include "commlib/events.h"
#include "commlib/qcomm.h"  // first declarations carry the export attribute
#include "commlib/states.h"
#include "platform/little_endian.h"

// ---- objects and registry (entry points) ----
extern "C" {
int conn_object_size(void);
Connection* conn_alloc(void);
Connection* conn_init_buffer(void* block, int size);
void conn_free(Connection* c);
int conn_is_valid(Connection* c);
void conn_set_class(Connection* c, uint8_t first, int last, uint8_t cls);
int conn_disconnect(Connection* c);  // by transport: eth_disconnect / serial_close
}

static_assert(qc::kMaxMessage == QCOMM_MAX_MESSAGE, "one largest message");

namespace qc {

// The five process-wide recursive locks. Nesting order, outermost first:
// registry, serial input, queue, capture, trace. Never take them the other way. What each
// guards, and the library's other locks, are listed with the fields in connection.h.
std::recursive_mutex& lock_registry();
std::recursive_mutex& lock_serial_input();
std::recursive_mutex& lock_queue();
std::recursive_mutex& lock_capture();
std::recursive_mutex& lock_trace();
using Guard = std::lock_guard<std::recursive_mutex>;

// Number of objects created and not yet freed (the socket-library reference count).
int live_object_count();
// Registry entry 0..15 holding the object, or -1; for tests and tools.
int conn_registry_index(const Connection* c);

// `status` as another thread may be storing it (the ethernet worker stores it atomically).
inline int status_of(const Connection* c) {
  return __atomic_load_n(reinterpret_cast<const int16_t*>(reinterpret_cast<const char*>(c) +
                                                          offsetof(Connection, status)),
                         __ATOMIC_ACQUIRE);
}

// 'c' for a client, 's' for a server: the role letter of trace lines.
inline char role_letter(const Connection* c) { return c->is_server ? 's' : 'c'; }

// ---- clocks ----
uint32_t clock_ms();  // monotonic milliseconds, wraps; compare as unsigned 32-bit
double clock_us();    // monotonic microseconds; truncated to 32 bits it is a record time stamp

// ---- log options (ZRCLOG.INI in the current directory) ----
struct LogOptions {
  int record;       // RECORD=
  int logall;       // LOGALL=
  char ident[9];    // IDENT=
  int writenow;     // WRITENOW=
  int bluetooth;    // BLUETOOTH=
};
const LogOptions& log_options();  // reads the file when the options are unread
const LogOptions& log_options_current();  // as they stand, without reading
void log_options_mark_unread();
int log_writenow();  // WRITENOW= as last read; safe to ask from any thread
int log_record();    // RECORD= as last read; safe to ask from any thread
int log_logall();    // LOGALL= as last read; safe to ask from any thread
// The reader's parts, usable without a file: reset RECORD, LOGALL and IDENT to their
// defaults, then apply each line (at most 259 characters, as the file reader cuts them).
void log_options_reset(LogOptions* o);
void log_options_apply_line(LogOptions* o, const char* line);
void log_options_parse(LogOptions* o, const char* text, size_t len);
// Reads ZRCLOG.INI from the current directory into o (reset first; missing file: defaults).
void log_options_read_file(LogOptions* o);

// ---- trace stream ----
void trace_set_stream(FILE* f);
FILE* trace_stream();
void trace_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Select trace line. The sets are passed as flags: which of the connection's
// sockets (accepted, TCP, UDP) were in the read / write set after select.
struct SelectBits {
  bool accepted, tcp, udp;
};
void trace_select(Connection* c, int select_result, bool has_write_set, SelectBits rd,
                  SelectBits wr, const char* label);

// ---- capture files ----
enum Direction { kRx = 0, kTx = 1 };
void capture_open(Connection* c, int direction, const char* tag);
void capture_event(Connection* c, int direction, uint16_t code, uint32_t first, uint32_t second,
                   uint32_t third);
void capture_text(Connection* c, int direction, uint16_t code, const char* text);
void capture_select_event(Connection* c, uint16_t code, SelectBits rd, const SelectBits* wr);
// tag_or_count >= 0: a message (length from its header) recorded with that tag;
// tag_or_count = -n: n raw bytes.
void capture_full(Connection* c, int direction, int tag_or_count, const uint8_t* data);
void capture_close(Connection* c);
// Name of the file open in capture slot 1..17 ("" when free); for tests and tools.
void capture_slot_name(int slot, char* out, size_t size);
// A capture, trace or options file that could not be read or written whole: named on
// standard error (kind: "capture file", ...; removed: the partial file is gone) and
// counted for capture_failures().
void capture_file_failed(const char* kind, const char* name, int err, bool removed);

// Little-endian field helpers (platform/little_endian.h).
using ::le16;
using ::le32;
using ::put_le16;
using ::put_le32;

// ---- messages and queues ----
// Queues the complete message held at the start of c->rx_buf.
// Returns 0 queued or replaced, 1 dropped (queue full).
int queue_message(Connection* c, int length, int channel, const char* source);
int rx_oldest(const MessageQueue& q);
void queues_clear(Connection* c);  // both channels: last_rx_seq, count, slot references

// ---- waiting for messages (commlib/wait.cpp) ----
// Where a conn_wait stands: when it ends, and the status changes it has been told of.
struct WaitUntil {
  bool forever;
  std::chrono::steady_clock::time_point deadline;
  uint32_t changes;  // status_changes when the wait began
  int limit_ms;      // the wait's limit as asked (-1: none), for its first look
};
// Milliseconds left, rounded up: -1 without a limit, 0 once the time is up.
int wait_left_ms(const WaitUntil& u);
// Under the queue lock: what conn_poll reports for the queues.
int wait_queue_bits(const Connection* c, int channel);
// Called with the queue lock held after the queues changed: wakes conn_wait callers and
// brings the readiness handle in line with what waits.
void wait_queues_changed(Connection* c);
// `status` changed (any thread, no lock held): ends waits on the object.
void wait_status_changed(Connection* c);
// The serial port was opened or closed: the readiness handle follows its input.
void wait_port_changed(Connection* c);
// Serial reader pass, answering side of the line handshake: whether the port's input is
// held unread (DSR off). The readiness handle does not follow the port meanwhile.
void wait_port_held(Connection* c, bool held);
// Releases the readiness handle; once no other thread can touch the object.
void wait_release(Connection* c);

}  // namespace qc

extern "C" {
int msg_build(Connection* c, uint8_t* buf, int size, uint8_t type, uint8_t command,
              const void* payload, int payload_len);
int rx_status(Connection* c, int what);
int rx_receive(Connection* c, int channel, void* buf, int size);
}

// The serial reader pass (serial_poll) that the receive-side calls run first on a
// serial connection is declared with the transports in commlib/transport.h.
