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
 * Results: each entry point's comment gives its results; the refusal value (what it
 * returns for an unregistered object) is 0 unless the comment says otherwise. A result
 * never means two things: where a system error is passed on it is offset by
 * QCOMM_SYSTEM_ERROR_BASE (below), so it cannot meet one of the library's own codes.
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
#define QCOMM_OBJECT_ALIGN 4         /* a caller's block starts on this boundary */
#define QCOMM_OFFSET_STATUS 136      /* int16: a QCOMM_STATUS_ value */
#define QCOMM_OFFSET_SERIAL_RAW 310056 /* uint16: nonzero serves raw serial bytes */
#define QCOMM_OFFSET_RX_DROPPED 322206 /* uint32: what conn_get_rx_dropped answers */

/* ---- messages ----
 * Every message has one layout on every transport: byte 0 type, byte 1 command, bytes
 * 2-3 the length of the whole message (little-endian), then the payload, and in the
 * last four bytes the sequence number (little-endian) that msg_build gives it. */
#define QCOMM_MAX_MESSAGE 1600 /* largest message, header and sequence number included */
#define QCOMM_MSG_OVERHEAD 8   /* type, command, length and sequence number */
#define QCOMM_MIN_ETHERNET_TYPE 0x80 /* ethernet refuses types below this (conn_send) */

/* Type classes (conn_set_class): how messages of a type travel and are queued. */
#define QCOMM_CLASS_STREAM 0    /* TCP or the serial line; stream channel */
#define QCOMM_CLASS_DATAGRAM 1  /* UDP; datagram channel */
#define QCOMM_CLASS_LATEST 2    /* UDP; while connected only the newest copy stays queued */
#define QCOMM_CLASS_BROADCAST 4 /* UDP to this computer's /24 subnet broadcast address */

/* Receive channels (rx_receive, conn_poll, conn_wait). */
#define QCOMM_CHANNEL_EITHER (-1) /* stream first, then datagram */
#define QCOMM_CHANNEL_STREAM 0
#define QCOMM_CHANNEL_DATAGRAM 1

/* conn_poll and conn_wait results: which channels hold a message. */
#define QCOMM_POLL_STREAM 1
#define QCOMM_POLL_DATAGRAM 2

/* rx_status questions. */
#define QCOMM_RX_ANY 0            /* 1 when a message waits on either channel */
#define QCOMM_RX_STREAM 1         /* 1 when a stream message waits */
#define QCOMM_RX_STREAM_TYPE 2    /* type of the oldest stream message (0: none) */
#define QCOMM_RX_STREAM_PAYLOAD 3 /* its payload length (0: none) */

/* conn_get_status and the status field. */
#define QCOMM_STATUS_DOWN 0          /* not connected */
#define QCOMM_STATUS_CONNECTED 1     /* client: connected in the connect call */
#define QCOMM_STATUS_CONNECT_DONE 2  /* client: a pending connect completed */
#define QCOMM_STATUS_ACCEPTED 3      /* server: a client is connected */
#define QCOMM_STATUS_ALREADY 4       /* client: found already connected */
#define QCOMM_STATUS_PORT_OPEN 4     /* serial: the port is open */

/* conn_connect flags. */
#define QCOMM_FLAG_SERVER 0x01    /* the answering side (listens, sends beacons) */
#define QCOMM_FLAG_LOOPBACK 0x10  /* use 127.0.0.1 whatever the address says */
#define QCOMM_FLAG_NO_BEACON 0x20 /* server sends no beacons, client ignores them */
#define QCOMM_FLAG_UDP_ONLY 0x40  /* client makes no TCP connection */
#define QCOMM_DEFAULT_PORT 5510   /* TCP port when conn_connect is given 0 */

/* Results of conn_connect (0 also when refused). */
#define QCOMM_CONNECT_OK 0 /* connected (serial) or started (ethernet) */
#define QCOMM_CONNECT_UNKNOWN_TRANSPORT 1
#define QCOMM_CONNECT_NO_COM_NUMBER 2  /* serial: nothing after "COM" */
#define QCOMM_CONNECT_NO_COM 4         /* serial: no "COM" in the port text */
#define QCOMM_CONNECT_NO_UDP_SOCKET 2  /* ethernet */
#define QCOMM_CONNECT_UDP_BIND 3       /* ethernet */
#define QCOMM_CONNECT_NO_TCP_SOCKET 4  /* ethernet */
#define QCOMM_CONNECT_TCP_BIND 5       /* ethernet, server */
#define QCOMM_CONNECT_LISTEN_LATE 9    /* ethernet, server: not listening in time (it
                                          keeps trying in the background) */

/* Results of conn_send. */
#define QCOMM_SEND_OK 0
#define QCOMM_SEND_NO_PORT 1      /* serial: no port open */
#define QCOMM_SEND_SHORT_WRITE 2  /* serial: the driver wrote another count */
#define QCOMM_SEND_TOO_LONG 32    /* length above QCOMM_MAX_MESSAGE, or negative */
#define QCOMM_SEND_LOW_TYPE 33    /* ethernet: type below QCOMM_MIN_ETHERNET_TYPE */
#define QCOMM_SEND_NO_LENGTH 34   /* ethernet: the length field is 0 */
/* A failed socket send: QCOMM_SYSTEM_ERROR_BASE plus the system's error number (on
 * Windows the Winsock numbers are already above it and pass unchanged). */
#define QCOMM_SYSTEM_ERROR_BASE 10000

/* Modem lines and line errors. */
#define QCOMM_MODEM_CTS 0x10
#define QCOMM_MODEM_DSR 0x20
#define QCOMM_MODEM_RING 0x40
#define QCOMM_MODEM_CARRIER 0x80
#define QCOMM_DTR_ON 1       /* conn_dtr reading */
#define QCOMM_RTS_ON 2       /* conn_rts reading */
#define QCOMM_BREAK_SEEN 0x10 /* conn_break(c, -1): a break arrived */
#define QCOMM_LINE_OVERFLOW 0 /* conn_line_errors selectors */
#define QCOMM_LINE_OVERRUN 1
#define QCOMM_LINE_PARITY 2
#define QCOMM_LINE_FRAMING 3
#define QCOMM_LINE_BREAK 4

/* ---- objects ----
 * conn_alloc: a new object, null when out of memory. conn_free: disconnects and frees
 * (null and unregistered objects are ignored). conn_is_valid: 1 registered, else 0.
 * conn_set_class: the QCOMM_CLASS_ of types first..last (last taken modulo 256; below
 * first: no type). conn_disconnect: ethernet 0; serial 0 without a port, else the driver's
 * close result (1 closed, 0 the close failed). */
QCOMM_API int conn_object_size(void);
QCOMM_API struct Connection* conn_alloc(void);
/* Initialises a caller-owned block of at least QCOMM_OBJECT_SIZE bytes that starts on a
 * QCOMM_OBJECT_ALIGN-byte boundary (malloc'd or uint32_t-array storage does); null when
 * the block is null, too small or misaligned. The block stays the caller's after
 * conn_free. */
QCOMM_API struct Connection* conn_init_buffer(void* block, int size);
QCOMM_API void conn_free(struct Connection* c);
QCOMM_API int conn_is_valid(struct Connection* c);
QCOMM_API void conn_set_class(struct Connection* c, uint8_t first, int last, uint8_t cls);
QCOMM_API int conn_disconnect(struct Connection* c);

/* ---- connect and send ----
 * transport "serial"/"modem" (any case) or text beginning with "ethernet"; address the
 * host (ethernet) or a port text holding "COMn", with ":HW" for hardware flow control
 * (serial); port the TCP port (0: QCOMM_DEFAULT_PORT; UDP uses it and the next one) or
 * the bit rate (0: 9600); flags QCOMM_FLAG_ bits. Returns 0 or a QCOMM_CONNECT_ code;
 * ethernet: a negative number is the name lookup's own code (getaddrinfo's, on Windows
 * the Winsock number); serial: a negative number is the port driver's code (the port
 * would not open). */
QCOMM_API int conn_connect(struct Connection* c, const char* transport, const char* address,
                           int port, int flags);
/* Sends one message (len 0: its own length field) on the caller's thread. Returns a
 * QCOMM_SEND_ code, or for a failed socket send QCOMM_SYSTEM_ERROR_BASE plus the
 * system's error number (so a broken connection never reads as QCOMM_SEND_TOO_LONG). */
QCOMM_API int conn_send(struct Connection* c, const uint8_t* msg, int len);
/* The message's length field; 0 for a null message (the object is not looked at). */
QCOMM_API int msg_length(struct Connection* c, const uint8_t* msg);

/* By-index table of 8 entries. action 0: frees every entry's object and returns index.
 * Otherwise index must be 0..7 (else -1); action > 0 creates the entry's object if it
 * is empty and returns the object (cast the result to struct Connection*); action < 0
 * frees it and returns 0. The result type is intptr_t because it carries either an
 * object or a small number. */
QCOMM_API intptr_t conn_slot(int index, int action);
/* The object in entry 0..6, else null (entry 7 is reachable only through conn_slot). */
QCOMM_API struct Connection* conn_at(int index);

/* ---- public face ----
 * conn_get_status: a QCOMM_STATUS_ value.
 * conn_get_rx_dropped: what was received and will never be handed over, counted since
 * the object was made (a serial open or reset starts it at 0 again):
 *   - a message that found its receive queue full (96 waiting), or a datagram longer
 *     than QCOMM_MAX_MESSAGE;
 *   - ethernet: a stream message half received when its connection ended (the peer
 *     closed or failed, a new client replaced the old one, conn_disconnect, conn_connect
 *     again, a reconnect), one for each; the next connection starts a new stream. Capture
 *     event 31 records it. conn_reset drops such a part without counting it;
 *   - serial: each line error, bad message header and overflow of the reader's buffer
 *     (the bytes held then go), and a setup-framing text too long for one message.
 * conn_get_serial_raw / conn_set_serial_raw: nonzero hands the serial bytes over
 * unframed (rx_receive then returns raw bytes). */
QCOMM_API int conn_get_status(struct Connection* c);
QCOMM_API uint32_t conn_get_rx_dropped(struct Connection* c);
QCOMM_API int conn_get_serial_raw(struct Connection* c);
QCOMM_API void conn_set_serial_raw(struct Connection* c, int raw);

/* ---- messages and receive queues ---- */
/* Builds type, command, length, payload and sequence into buf; returns the length
 * (payload_len + QCOMM_MSG_OVERHEAD), or 0 when buf is null or the message does not fit
 * in size or in the 16-bit length field (conn_send takes at most QCOMM_MAX_MESSAGE). */
QCOMM_API int msg_build(struct Connection* c, uint8_t* buf, int size, uint8_t type,
                        uint8_t command, const void* payload, int payload_len);
/* what: a QCOMM_RX_ question; another value answers 0. Runs one serial reader pass. */
QCOMM_API int rx_status(struct Connection* c, int what);
/* Takes the oldest message of the channel (QCOMM_CHANNEL_); returns the bytes copied
 * (0: none waiting, or no buffer). A message longer than size is cut to it and gone. */
QCOMM_API int rx_receive(struct Connection* c, int channel, void* buf, int size);

/* ---- validity, poll and flush (application thread) ---- */
/* 1 when c is not a registered object, else 0; the second argument is ignored. */
QCOMM_API int conn_is_invalid(struct Connection* c, int ignored);
/* Receive-side state: QCOMM_POLL_STREAM when a stream message waits (channel <= 0),
 * QCOMM_POLL_DATAGRAM when a datagram waits (channel != 0); in serial raw mode 1 when raw
 * bytes wait. Runs one serial reader pass first. */
QCOMM_API int conn_poll(struct Connection* c, int channel);
/* Waits until a message waits on the channel (-1 either, 0 stream, +1 datagram, as
 * rx_receive), the connection's status changes, or timeout_ms passes (0: does not block;
 * negative: no limit); returns what conn_poll returns then (0 on time-out or when
 * refused). A message queued before the call is seen at once. On a serial connection it
 * waits for the port's input and runs the reader passes itself (one message per pass,
 * as conn_poll), and returns early when the port fails; on the answering side of the
 * line-turnaround handshake it sleeps on the modem lines while DSR is off. On an ethernet
 * connection that is up, the waiting thread reads the stream itself while it waits (the
 * worker leaves the socket to it until conn_wait has not been called for a few tens of
 * milliseconds), so one object is waited on by one thread at a time. Application
 * thread; the worker may queue at any moment, and another thread may use or free other
 * objects meanwhile. conn_disconnect and conn_free afterwards need nothing further. */
QCOMM_API int conn_wait(struct Connection* c, int channel, int timeout_ms);
/* Something the application's own event loop can wait on (a descriptor for poll, epoll
 * or Fl::add_fd on Linux; an event handle on Windows): readable while a message waits on
 * either channel, and also from a status change until the application next receives.
 * Reading with rx_receive until it answers 0 makes it quiet again. On a serial
 * connection it is also readable while a whole message waits in the reader's buffer (a
 * pass frames one at a time) and while the port has input that no reader pass has taken
 * yet (a simulated cable has no such descriptor: there only framed messages count). The
 * answering side of the line-turnaround handshake (serial_set_option on a server) leaves
 * the port's input unread while DSR is off, and the handle does not show it then: that
 * side calls a receive-side entry point at least every 400 ms (which the handshake needs
 * anyway), for instance by waiting on the handle with that limit.
 * The same handle for the object's whole life; conn_free releases it, so stop waiting
 * on it first. -1 when refused or when none can be made. Application thread. */
QCOMM_API intptr_t conn_wait_handle(struct Connection* c);
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
 * Serial: QCOMM_MODEM_DSR, _CARRIER, _CTS, _RING when on (0 without a port).
 * Ethernet: DSR, carrier, CTS and DTR answer the connection status; RING, RTS, break 0;
 * conn_line_errors answers the listen state - 10 while a server is not listening, else
 * how the stream connection came about (1 accepted or connected at once, 2 a pending
 * connect completed, 0 none).
 * conn_dtr/conn_rts state 1 raises, 0 lowers, else reads the last setting (0 or
 * QCOMM_DTR_ON / QCOMM_RTS_ON); raising or lowering returns the driver's result.
 * conn_line_errors selector QCOMM_LINE_: that error's bit (reading clears the whole
 * error word; another selector answers 0), or the driver's negative code. conn_break
 * state > 0 on, 0 off, < 0: QCOMM_BREAK_SEEN when a break arrived. -1 on a serial
 * connection without a port for conn_dtr, conn_rts, conn_line_errors and conn_break. */
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
 * (mode "w") as the trace stream, with null leaves none. A trace file found incomplete at
 * its close is removed. Application thread. */
QCOMM_API void trace_open(const char* path);
/* Capture, trace and options files (ZRCLOG.INI) that could not be read or written whole
 * since the program started; a file written in part was removed. Each one was also
 * named on standard error. Any thread. */
QCOMM_API int capture_failures(void);

/* ---- settings text lists (process-wide, application thread) ---- */
/* Stores name=value, or the name alone when value is null, replacing the first entry
 * that begins with the name (case-insensitive): 1; 0 for an empty name or a text over
 * 279 characters, which is refused rather than cut, or when no memory could be had. */
QCOMM_API int settings_put(const char* name, const char* value);
/* Parses a settings message of size bytes (16-bit text length at offset 6, lines of
 * text from offset 8, bounded by that length, the message's length field and size):
 * every line into the settings list, every name=value name into the changed list.
 * Returns the number of such names (a line that finds no memory is left out). */
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
