// Serial transport internals shared by the reader pass, the send path and the tests.
// The framing passes are plain functions over a connection and the bytes just read, so
// they can be driven without a port (unit tests, fuzzing, benchmarks).
#pragma once
#include <cstdint>

#include "commlib/connection.h"

namespace qc {

constexpr int kSerialReadMax = 2000;     // bytes read by one reader pass at most
constexpr int kRawLowWater = 100;        // raw mode stops reading with less room than this
constexpr uint32_t kSetupBaud = 9600;    // rate of the setup framing
constexpr uint32_t kHandshakeGapMs = 400;   // answering side: DSR drop must follow DSR on
constexpr uint32_t kHandshakeWaitMs = 1000;  // calling side: each wait for DSR
constexpr int kBreakMs = 100;
constexpr int kSetupLongMax = kMaxMessage - 12;  // gathered bytes that fit one message (1588)

// Line-error bits of the driver's error word.
constexpr int kErrBreak = 0x10;
constexpr int kErrAll = 0x1F;

// The framing of one pass over bytes just read (n may be 0). The caller holds
// lock_serial_input() and has set serial_data_time for the pass.
// Raw: returns n, or 0 when the buffer overflowed. Message: 1 when a message was
// delivered, else 0. Setup: 0.
int serial_frame_raw(Connection* c, const uint8_t* bytes, int n);
int serial_frame_message(Connection* c, const uint8_t* bytes, int n);
int serial_frame_setup(Connection* c, const uint8_t* bytes, int n);
// A whole message of the message framing waits in the reader's buffer: the next pass
// delivers it without reading anything (a pass delivers one message at most).
bool serial_frame_ready(const Connection* c);

// Bytes were lost (an overflow, a bad header, a line error) at time `when`: the time is
// noted for the quiet rule and the loss counted. An overflow keeps the held bytes and
// remembers how many there were; any other loss drops them.
inline void serial_note_loss(Connection* c, uint32_t when, bool overflow) {
  c->serial_error_time = when;
  if (overflow) {
    c->serial_overflow_len = c->serial_raw_count;
  } else {
    c->serial_raw_count = 0;
    c->serial_overflow_len = 0;
  }
  c->rx_dropped++;
}

// The answering half of the line-turnaround handshake (a server with serial_option on),
// at the start of a reader pass under lock_serial_input(). errors is the driver's error
// word just read, dsr the line's state, now the pass's clock_ms(). Returns false while
// the caller is switching (DSR off): the pass then reads nothing.
// It borrows two ethernet fields: beacon_time holds when DSR was last seen on (0: not
// since the last give-back), beacon_count the framing the caller asks for (1 message,
// 0 setup, from its RTS).
bool serial_answer_handshake(Connection* c, int port, int32_t errors, bool dsr, uint32_t now);

// The serial half of conn_send, after its checks: the message as the current framing
// puts it on the line. Returns the result of serial_write (0, 1 no port, 2 short write).
int serial_send(Connection* c, const uint8_t* msg, int len);

// Up to four bytes as a little-endian 32-bit value, zero-padded: the capture value
// of "the first four bytes" when fewer were read.
inline uint32_t first_four(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
  return v;
}

}  // namespace qc
