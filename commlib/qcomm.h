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
 * Usable from C and C++.
 */
#ifndef QCOMM_H
#define QCOMM_H

#include <stdint.h>

#if defined(__GNUC__)
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

/* ---- modem lines ----
 * Serial: the line's state (DSR 0x20, carrier 0x80, CTS 0x10, RING 0x40; 0 when off or
 * no port is open). Ethernet: the connection status (RING, RTS, break: 0). */
QCOMM_API int conn_dsr(struct Connection* c);
QCOMM_API int conn_carrier(struct Connection* c);
QCOMM_API int conn_cts(struct Connection* c);
QCOMM_API int conn_ring(struct Connection* c);
/* state 1 raises, 0 lowers, any other value reads the last setting. */
QCOMM_API int conn_dtr(struct Connection* c, int state);
QCOMM_API int conn_rts(struct Connection* c, int state);
QCOMM_API int conn_line_errors(struct Connection* c, int selector);
QCOMM_API int conn_break(struct Connection* c, int state);

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

#ifdef __cplusplus
}
#endif

#endif /* QCOMM_H */
