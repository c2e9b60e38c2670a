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

#ifdef __cplusplus
}
#endif

#endif /* QCOMM_H */
