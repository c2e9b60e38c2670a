// Internal interface between the connect/disconnect dispatch, the ethernet transport
// and the serial transport.
#pragma once
#include <cstdint>

#include "commlib/connection.h"
#include "commlib/qcomm.h"  // first declarations carry the export attribute

extern "C" {
// Dispatch (ethernet developer): flags bit 0 server, 4 loopback, 5 no beacon, 6 UDP only.
int conn_connect(Connection* c, const char* transport, const char* address, int port, int flags);
int conn_send(Connection* c, const uint8_t* msg, int len);
int msg_length(Connection* c, const uint8_t* msg);

// Ethernet transport.
int eth_connect(Connection* c, const char* address, int tcp_port, int udp_port);
int eth_disconnect(Connection* c);
int eth_send(Connection* c, const uint8_t* msg, int len);
int eth_reconnect(Connection* c, int attempt);

// Serial transport.
int serial_open(Connection* c, const char* port_text, int baud);
int serial_close(Connection* c);
void serial_reset(Connection* c);
void serial_reopen(Connection* c);
int serial_poll(Connection* c);
int serial_write(Connection* c, const uint8_t* bytes, int count);
int serial_dtr_op(Connection* c, int state);
int serial_rts_op(Connection* c, int state);
int serial_set_mode(Connection* c, int setup_mode, int baud);
int serial_set_option(Connection* c, int value);
void serial_set_framing(Connection* c, int setup, int raw);
int serial_get_framing(Connection* c);
void serial_line_status(Connection* c, int* error_number, int* line_errors, int* input_count);

// Modem lines on both transports.
int conn_dsr(Connection* c);
int conn_carrier(Connection* c);
int conn_cts(Connection* c);
int conn_ring(Connection* c);
int conn_dtr(Connection* c, int state);
int conn_rts(Connection* c, int state);
int conn_line_errors(Connection* c, int selector);
int conn_break(Connection* c, int state);
}

namespace qc {
struct WaitUntil;
// conn_wait on an ethernet connection that is up (commlib/eth_wait.cpp): the calling
// thread waits on the data socket itself and runs the stream receive when it is
// readable. Returns what conn_poll returns, or -1 when the caller is to wait on the
// queues instead for the time left (no data socket, or the stream ended and was handed
// back to the worker).
int eth_wait(Connection* c, int channel, const WaitUntil& until);
// Under the queue lock, after the queues or the status changed: ends an eth_wait that
// is blocked on the socket.
void eth_wait_nudge(Connection* c);
}  // namespace qc
