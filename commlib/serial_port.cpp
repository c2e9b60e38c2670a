// Serial side of a connection: opening and closing the COM port, and the reader pass that
// every receive-side call runs first.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/events.h"
#include "commlib/serial.h"
#include "commlib/states.h"
#include "commlib/transport.h"
#include "platform/ascii.h"
#include "serial/ser.h"

namespace {

using qc::capture_event;
using qc::kRx;

// The system error of the last failed open, kept for serial_line_status, which hands it
// out once.
std::atomic<int32_t> g_open_error{0};

int drv(const Connection* c) { return int(c->serial_port) - 1; }

uint32_t us32() { return static_cast<uint32_t>(static_cast<uint64_t>(qc::clock_us())); }

// Driver flags read as booleans: a negative code (port not open) is "off".
bool line_on(int32_t r) { return r > 0; }

}  // namespace

extern "C" {

void serial_reset(Connection* c) {
  {
    qc::Guard g(qc::lock_serial_input());
    c->serial_raw_count = 0;
    c->serial_dtr_dropped = 0;
    c->beacon_time = 0;
    c->serial_overflow_len = 0;
    c->rx_dropped = 0;
    c->serial_error_time = 0;
    c->serial_reader_state = 0;
    c->serial_frame_fill = 0;
    qc::queues_clear(c);
  }
  capture_event(c, kRx, qc::kEvSerReset, 0, 0, 0);
}

int serial_open(Connection* c, const char* port_text, int baud) {
  qc::capture_open(c, qc::kRx, c->is_server ? "VRX" : "MRX");
  qc::capture_open(c, qc::kTx, c->is_server ? "VTX" : "MTX");
  c->serial_port = 0;

  char text[404] = {};  // zero tail: the failure record reads four bytes past "M"
  if (port_text) std::snprintf(text, 401, "%s", port_text);
  ascii_upper_text(text);  // port texts fold the same in every locale
  const char* com = std::strstr(text, "COM");
  if (!com) return 4;
  int number = 0;
  for (const char* d = com + 3; *d >= '0' && *d <= '9'; ++d) {
    number = number * 10 + (*d - '0');
    if (number > 99999) break;  // far beyond any port; the driver refuses it
  }
  if (number == 0) {
    capture_event(c, kRx, qc::kEvSerNoComNumber, 0, 0, qc::le32(reinterpret_cast<const uint8_t*>(com + 2)));
    return 2;
  }

  serial_reset(c);

  if (baud == 0) baud = 9600;
  ser_open(-1, 1, 1);
  c->serial_baud = uint32_t(baud);
  c->serial_user_baud = uint32_t(baud);
  c->serial_setup_baud = qc::kSetupBaud;
  ser_set_baud(-1, baud);
  ser_format(-1, 0, 0, 8);

  const int32_t r = ser_open(number - 1, qc::kSerialLimit, qc::kSerialLimit);
  if (r < 0) {
    const int32_t err = ser_error_text(nullptr, 0);
    g_open_error.store(err);
    capture_event(c, kRx, qc::kEvSerOpenFail, uint32_t(r), 0, uint32_t(err));
    return r;
  }
  if (std::strstr(text, ":HW")) {
    ser_flow(number - 1, 'H');
    c->serial_hw_flow = 1;
  } else {
    ser_flow(number - 1, 'N');
    c->serial_hw_flow = 0;
  }
  c->serial_port = uint16_t(number);
  c->status = qc::kStatusPortOpen;
  qc::wait_port_changed(c);
  capture_event(c, kRx, qc::kEvSerOpened, uint32_t(number), 0, 0);
  return 0;
}

int serial_close(Connection* c) {
  capture_event(c, kRx, qc::kEvSerClose, c->serial_port, 0, 0);
  qc::capture_close(c);
  if (c->serial_port == 0) return 0;
  const int32_t r = ser_close(drv(c));
  c->serial_port = 0;
  c->status = qc::kStatusDown;
  qc::wait_port_changed(c);
  return r;
}

void serial_reopen(Connection* c) {
  if (!conn_is_valid(c) || c->transport != qc::kTransportSerial || c->serial_port == 0) return;
  const int port = drv(c);
  ser_close(port);
  ser_option('R');
  ser_format(-1, 0, 0, 8);
  ser_set_baud(-1, int(c->serial_baud));
  ser_open(-1, 1, 1);
  // Larger queues than at connect: a reopen follows trouble, usually lost input.
  ser_open(port, 16000, 16000);  // result not checked: serial_port keeps its value
  ser_flow(port, c->serial_hw_flow ? 'H' : 'N');
  qc::wait_port_changed(c);
  capture_event(c, kRx, qc::kEvSerReopen, c->serial_port, 0, 0);
}

int serial_dtr_op(Connection* c, int state) {
  const char letter = state == 1 ? 'S' : state == 0 ? 'C' : 'R';
  const int32_t r = ser_dtr(drv(c), letter);
  capture_event(c, kRx, qc::kEvSerDtr, c->serial_port, 0, uint32_t(r));
  return r;
}

int serial_rts_op(Connection* c, int state) {
  const char letter = state == 1 ? 'S' : state == 0 ? 'C' : 'R';
  const int32_t r = ser_rts(drv(c), letter);
  capture_event(c, kRx, qc::kEvSerRts, c->serial_port, 0, uint32_t(r));
  return r;
}

int serial_poll(Connection* c) {
  qc::Guard g(qc::lock_serial_input());
  if (c->serial_port == 0) return 0;
  const int port = drv(c);

  if (c->serial_raw && qc::kSerialLimit - c->serial_raw_count < qc::kRawLowWater) {
    capture_event(c, kRx, qc::kEvSerRawNearlyFull, c->serial_raw_count, 0, c->serial_raw);
    return 0;
  }

  int32_t errors = ser_errors(port, qc::kErrAll);
  if (errors < 0) errors = 0;
  const bool dsr = line_on(ser_dsr(port));
  const uint32_t now = qc::clock_ms();

  if (c->serial_option && c->is_server) {
    const bool held = !qc::serial_answer_handshake(c, port, errors, dsr, now);
    qc::wait_port_held(c, held);
    if (held) return 0;  // the caller is mid-switch: whatever arrives now is not for us
  }

  int room = qc::kSerialLimit - c->serial_raw_count;
  if (room > qc::kSerialReadMax) room = qc::kSerialReadMax;
  if (room < 0) room = 0;
  c->beacon_time = dsr ? now : 0;

  uint8_t scratch[qc::kSerialReadMax];
  // A capacity of 0 would be refused by the driver; a full buffer simply reads nothing.
  const int32_t n = room > 0 ? ser_read(port, scratch, room) : 0;
  if (n < 0) {
    capture_event(c, kRx, qc::kEvSerReadFail, uint32_t(n), 0, c->serial_raw);
    return n;
  }
  if (n > 0) {
    capture_event(c, kRx, qc::kEvSerRead, uint32_t(n), 0, qc::first_four(scratch, n));
    qc::capture_full(c, kRx, -n, scratch);
  }
  if ((errors & ~qc::kErrBreak) && !c->serial_raw) {
    qc::serial_note_loss(c, us32(), false);
    capture_event(c, kRx, qc::kEvSerLineError, uint32_t(errors & ~qc::kErrBreak), 0,
                  dsr ? 0x20 : 0);
    return 0;
  }
  if (n > 0) c->serial_data_time = us32();

  if (c->serial_raw) return qc::serial_frame_raw(c, scratch, n);
  if (c->serial_setup_mode) return qc::serial_frame_setup(c, scratch, n);
  return qc::serial_frame_message(c, scratch, n);
}

int serial_set_option(Connection* c, int value) {
  if (!conn_is_valid(c)) return -1;
  const int previous = c->serial_option;
  c->serial_option = uint16_t(value);
  if (!c->serial_option) qc::wait_port_held(c, false);  // no more handshake to hold input
  return previous;
}

void serial_set_framing(Connection* c, int setup, int raw) {
  if (!conn_is_valid(c)) return;
  c->serial_setup_mode = uint16_t(-setup);
  c->serial_raw = uint16_t(raw);
}

int serial_get_framing(Connection* c) {
  if (!conn_is_valid(c) || c->transport != qc::kTransportSerial) return 0;
  return int16_t(c->serial_setup_mode);
}

void serial_line_status(Connection* c, int* error_number, int* line_errors, int* input_count) {
  if (!conn_is_valid(c) || c->transport != qc::kTransportSerial) return;
  if (error_number) {
    const int32_t stored = g_open_error.exchange(0);
    *error_number = stored ? stored : ser_error_text(nullptr, 0);
  }
  const bool open = c->serial_port != 0;
  if (line_errors) *line_errors = open ? ser_errors(drv(c), -1) : -99;
  if (input_count) *input_count = open ? ser_in_count(drv(c)) : -99;
}

}  // extern "C"
