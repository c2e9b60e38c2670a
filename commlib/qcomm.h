/* libqcomm: the Qumex communications library, public C interface.
 *
 * A connection object is an opaque block of QCOMM_OBJECT_SIZE bytes. It is made by
 * conn_alloc (or conn_init_buffer over a block the caller owns), used through the
 * entry points below and released with conn_free. Every entry point first checks that
 * its object is registered and otherwise returns its refusal value (0 unless noted)
 * without touching the object.
 *
 * The object's public face (status, rx_dropped, serial_raw) can be reached through the
 * accessor functions or, for code that reads the block directly, at the byte offsets
 * below (fields are little-endian and unaligned: copy them out with memcpy).
 *
 * Threads: the entry points belong to the application's thread (the library's own
 * worker threads fill the receive queues behind them); msg_length and conn_log_event
 * may also be called from any other thread.
 *
 * Usable from C and C++.
 */
#ifndef QCOMM_H
#define QCOMM_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QCOMM_BUILDING)
#define QCOMM_API __declspec(dllexport)
#else
#define QCOMM_API
#endif
#elif defined(__GNUC__)
#define QCOMM_API __attribute__((visibility("default")))
#else
#define QCOMM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct Connection;

/* Size of the object and offsets of its public fields. */
#define QCOMM_OBJECT_SIZE 322355
#define QCOMM_OFFSET_STATUS 136      /* int16: 0 not connected, 1..4 connected */
#define QCOMM_OFFSET_SERIAL_RAW 310056 /* uint16: nonzero serves raw serial bytes */
#define QCOMM_OFFSET_RX_DROPPED 322206 /* uint32: messages dropped, queue full */

/* ---- objects ---- */
QCOMM_API int conn_object_size(void);
QCOMM_API struct Connection* conn_alloc(void);
/* Initialises a caller-owned block of at least QCOMM_OBJECT_SIZE bytes; null when the
 * block is null or too small. The block stays the caller's after conn_free. */
QCOMM_API struct Connection* conn_init_buffer(void* block, int size);
QCOMM_API void conn_free(struct Connection* c);
QCOMM_API int conn_is_valid(struct Connection* c);
QCOMM_API void conn_set_class(struct Connection* c, uint8_t first, int last, uint8_t cls);
QCOMM_API int conn_disconnect(struct Connection* c);

/* ---- connect and send ----
 * transport "serial"/"modem" (any case) or text beginning with "ethernet"; port is the
 * TCP port (0: 5510) or the bit rate; flags bit 0 server, 4 loopback, 5 no beacons,
 * 6 UDP only. Returns 0 or an error code (1 unknown transport). */
QCOMM_API int conn_connect(struct Connection* c, const char* transport, const char* address,
                           int port, int flags);
/* Sends one message (len 0: its own length field). 0 sent; 32 too long; ethernet:
 * 33 type below 128, 34 length field 0, else a system error number. */
QCOMM_API int conn_send(struct Connection* c, const uint8_t* msg, int len);
QCOMM_API int msg_length(struct Connection* c, const uint8_t* msg);

/* By-index table of 8 entries. action 0: frees every entry's object and returns index.
 * Otherwise index must be 0..7 (else -1); action > 0 creates the entry's object if it
 * is empty and returns the object (cast the result to struct Connection*); action < 0
 * frees it and returns 0. The result type is intptr_t because it carries either an
 * object or a small number. */
QCOMM_API intptr_t conn_slot(int index, int action);
/* The object in entry 0..6, else null (entry 7 is reachable only through conn_slot). */
QCOMM_API struct Connection* conn_at(int index);

/* ---- public face ---- */
QCOMM_API int conn_get_status(struct Connection* c);
QCOMM_API uint32_t conn_get_rx_dropped(struct Connection* c);
QCOMM_API int conn_get_serial_raw(struct Connection* c);
QCOMM_API void conn_set_serial_raw(struct Connection* c, int raw);

/* ---- messages and receive queues ---- */
/* Builds type, command, length, payload and sequence into buf; returns the length
 * (payload_len + 8) or 0. */
QCOMM_API int msg_build(struct Connection* c, uint8_t* buf, int size, uint8_t type,
                        uint8_t command, const void* payload, int payload_len);
/* what 0: any message waiting; 1: a stream message waiting; 2: type of the oldest
 * stream message; 3: its payload length. */
QCOMM_API int rx_status(struct Connection* c, int what);
/* channel -1 both (stream first), 0 stream, +1 datagram; returns the bytes copied. */
QCOMM_API int rx_receive(struct Connection* c, int channel, void* buf, int size);

/* ---- validity, poll and flush (application thread) ---- */
/* 1 when c is not a registered object, else 0; the second argument is ignored. */
QCOMM_API int conn_is_invalid(struct Connection* c, int ignored);
/* Receive-side state: bit 1 a stream message waiting (channel <= 0), bit 2 a datagram
 * waiting (channel != 0); in serial raw mode 1 when raw bytes wait. 0 when refused.
 * Runs one serial reader pass first. */
QCOMM_API int conn_poll(struct Connection* c, int channel);
/* Flush: drops a partly received message and empties both receive queues; nothing is
 * sent. Serial: the reader's reset. Nothing when refused. */
QCOMM_API void conn_reset(struct Connection* c);

/* ---- serial control (serial connections; by object only) ----
 * serial_set_option: 16-bit value, nonzero turns on the line-turnaround handshake;
 * returns the previous value, -1 for an unregistered object.
 * serial_set_mode: setup mode nonzero = setup framing (9600), 0 = message framing;
 * baud 0 = that mode's rate; the handshake may block up to about 2.1 s. Returns 0.
 * serial_set_framing: setup flag (stored negated), raw flag. serial_get_framing: the
 * stored setup value (-1 after serial_set_framing with 1); 0 for ethernet.
 * serial_line_status: the last system error number, the line-error word and the input
 * count (-99 each without a port); any pointer may be null.
 * serial_reopen: closes and opens the same port again with larger queues. */
QCOMM_API int serial_set_option(struct Connection* c, int value);
QCOMM_API int serial_set_mode(struct Connection* c, int setup_mode, int baud);
QCOMM_API void serial_set_framing(struct Connection* c, int setup, int raw);
QCOMM_API int serial_get_framing(struct Connection* c);
QCOMM_API void serial_line_status(struct Connection* c, int* error_number, int* line_errors,
                                  int* input_count);
QCOMM_API void serial_reopen(struct Connection* c);

/* ---- modem lines (both transports) ----
 * Serial: DSR 0x20, carrier 0x80, CTS 0x10, RING 0x40 when on (0 without a port).
 * Ethernet: DSR, carrier, CTS and DTR answer the connection status; RING, RTS, break 0.
 * conn_dtr/conn_rts state 1 raises, 0 lowers, else reads the last setting (DTR 0/1,
 * RTS 0/2). conn_line_errors selector 0..4: overflow, overrun, parity, framing, break
 * (reading clears the whole error word; another selector answers 0). conn_break state
 * > 0 on, 0 off, < 0: 0x10 when a break arrived. -1 on a serial connection without a
 * port for conn_dtr, conn_rts, conn_line_errors and conn_break. */
QCOMM_API int conn_dsr(struct Connection* c);
QCOMM_API int conn_carrier(struct Connection* c);
QCOMM_API int conn_cts(struct Connection* c);
QCOMM_API int conn_ring(struct Connection* c);
QCOMM_API int conn_dtr(struct Connection* c, int state);
QCOMM_API int conn_rts(struct Connection* c, int state);
QCOMM_API int conn_line_errors(struct Connection* c, int selector);
QCOMM_API int conn_break(struct Connection* c, int state);

/* ---- housekeeping ---- */
/* Records capture event code with three values on the receive side: 1, 0 when refused.
 * Any thread. */
QCOMM_API int conn_log_event(struct Connection* c, int code, uint32_t first, uint32_t second,
                             uint32_t third);
/* With no object left, empties both settings lists and returns 0; otherwise returns the
 * number of live objects and changes nothing. Application thread. */
QCOMM_API int lib_cleanup(void);
/* The same as lib_cleanup, under the library's own prefix. */
QCOMM_API int qcomm_cleanup(void);
/* Closes the trace file trace_open opened, if any; with a path opens that file anew
 * (mode "w") as the trace stream, with null leaves none. Application thread. */
QCOMM_API void trace_open(const char* path);

/* ---- settings text lists (process-wide, application thread) ---- */
/* Stores name=value, or the name alone when value is null, replacing the first entry
 * that begins with the name (case-insensitive): 1; 0 for an empty name or a text over
 * 279 characters, which is refused rather than cut. */
QCOMM_API int settings_put(const char* name, const char* value);
/* Parses a settings message of size bytes (16-bit text length at offset 6, lines of
 * text from offset 8, bounded by that length, the message's length field and size):
 * every line into the settings list, every name=value name into the changed list.
 * Returns the number of such names. */
QCOMM_API int settings_parse(const uint8_t* msg, int size);
/* The next changed name (static buffer of 260 characters, overwritten by the next
 * call), or null when there is none. */
QCOMM_API const char* settings_next_changed(void);
/* What follows key in the first entry beginning with key ("=1" for key "a" and entry
 * a=1), or null; valid until the list next changes. */
QCOMM_API const char* settings_get(const char* key);
/* Removes the first entry beginning with key; null empties the settings list. */
QCOMM_API void settings_remove(const char* key);

/* ---- index twins: index 0..6 of the by-index table in place of the object ----
 * Same arguments, result and refusal value as the operation by object; an empty entry
 * or any other index is refused (msg_length_at still reads the message). */
QCOMM_API void conn_set_class_at(int index, uint8_t first, int last, uint8_t cls);
QCOMM_API int conn_connect_at(int index, const char* transport, const char* address, int port,
                              int flags);
QCOMM_API int conn_is_invalid_at(int index, int ignored);
QCOMM_API int conn_disconnect_at(int index);
QCOMM_API void conn_reset_at(int index);
QCOMM_API int conn_poll_at(int index, int channel);
QCOMM_API int rx_status_at(int index, int what);
QCOMM_API int rx_receive_at(int index, int channel, void* buf, int size);
QCOMM_API int msg_build_at(int index, uint8_t* buf, int size, uint8_t type, uint8_t command,
                           const void* payload, int payload_len);
QCOMM_API int msg_length_at(int index, const uint8_t* msg);
QCOMM_API int conn_send_at(int index, const uint8_t* msg, int len);
QCOMM_API int conn_line_errors_at(int index, int selector);
QCOMM_API int conn_dsr_at(int index);
QCOMM_API int conn_carrier_at(int index);
QCOMM_API int conn_cts_at(int index);
QCOMM_API int conn_ring_at(int index);
QCOMM_API int conn_dtr_at(int index, int state);
QCOMM_API int conn_rts_at(int index, int state);
QCOMM_API int conn_break_at(int index, int state);

#ifdef __cplusplus
}
#endif

#endif /* QCOMM_H */
