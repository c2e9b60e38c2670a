// The line-turnaround handshake: both computers change rate and framing together,
// announced on the modem lines rather than in the data, since the data cannot be trusted
// while the two ends run at different rates. The calling half is serial_set_mode; the
// answering half runs in every reader pass, because the library has no serial thread.
#include <chrono>
#include <thread>

#include "commlib/core.h"
#include "commlib/events.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "serial/ser.h"

namespace {

bool dsr_on(int port) { return ser_dsr(port) > 0; }

// Waits until DSR shows the wanted state; false after the time limit.
bool wait_dsr(int port, bool wanted, uint32_t limit_ms) {
  const uint32_t start = qc::clock_ms();
  for (;;) {
    if (dsr_on(port) == wanted) return true;
    if (uint32_t(qc::clock_ms() - start) >= limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

extern "C" int serial_set_mode(Connection* c, int setup_mode, int baud) {
  if (!conn_is_valid(c)) return 0;
  if (baud == 0) baud = int(setup_mode ? c->serial_setup_baud : c->serial_user_baud);
  c->serial_baud = uint32_t(baud);
  // Without a port there is nothing to drive; the driver's port -1 would instead change
  // the defaults of its next open.
  if (c->transport != qc::kTransportSerial || c->serial_port == 0) {
    c->serial_setup_mode = uint16_t(setup_mode);
    return 0;
  }
  const int port = int(c->serial_port) - 1;

  bool do_switch = true;
  if (!c->is_server && c->serial_option) {
    // RTS tells the answering side which framing follows; DTR low asks for the switch.
    serial_rts_op(c, setup_mode ? 0 : 1);
    do_switch = false;
    if (dsr_on(port)) {
      ser_dtr(port, SER_LINE_CLEAR);
      const bool dropped = wait_dsr(port, false, qc::kHandshakeWaitMs);
      ser_break(port, SER_BREAK_ON);
      std::this_thread::sleep_for(std::chrono::milliseconds(qc::kBreakMs));
      ser_break(port, SER_BREAK_OFF);
      ser_dtr(port, SER_LINE_SET);
      const bool returned = wait_dsr(port, true, qc::kHandshakeWaitMs);
      do_switch = dropped && returned;
    }
  }
  if (do_switch) {
    const char rts = setup_mode ? SER_LINE_CLEAR : SER_LINE_SET;
    ser_rts(port, rts);
    ser_set_baud(port, baud);
    ser_rts(port, rts);
    ser_dtr(port, SER_LINE_SET);
  }
  // The framing follows the request even when the peer did not answer: the caller
  // decides what to do about a link that no longer understands it.
  c->serial_setup_mode = uint16_t(setup_mode);
  return 0;
}

bool qc::serial_answer_handshake(Connection* c, int port, int32_t errors, bool dsr, uint32_t now) {
  if (errors & qc::kErrBreak) c->serial_reset_pending = 1;
  if (!dsr) {
    if (uint32_t(now - c->beacon_time) > qc::kHandshakeGapMs) {
      // DSR has been off too long for a turnaround: the peer went away or never
      // asked. Give the line back.
      if (c->serial_dtr_dropped) ser_dtr(port, 'S');
      c->beacon_time = 0;
      c->serial_dtr_dropped = 0;
      c->serial_reset_pending = 0;
    }
    if (c->beacon_time != 0) {
      c->serial_dtr_dropped = 1;
      ser_dtr(port, 'C');
    }
    // The caller's RTS, seen here as CTS, says which framing it is switching to.
    c->beacon_count = ser_cts(port) > 0 ? 1 : 0;
    return false;
  }
  if (c->serial_reset_pending) {
    c->serial_dtr_dropped = 0;
    c->serial_reset_pending = 0;
    const bool setup = c->beacon_count == 0;
    c->serial_setup_mode = setup ? 1 : 0;
    serial_rts_op(c, c->beacon_count);
    c->serial_baud = setup ? c->serial_setup_baud : c->serial_user_baud;
    ser_set_baud(port, int(c->serial_baud));
    ser_rts(port, setup ? 'C' : 'S');
    ser_dtr(port, 'S');
    // Bytes that arrived around the switch were sent at the other rate. (With
    // BLUETOOTH= only while DSR is on, which it is on this path.)
    if (!qc::log_options().bluetooth || dsr) {
      uint8_t scratch[qc::kSerialReadMax];
      ser_read(port, scratch, qc::kSerialReadMax);
    }
    c->serial_raw_count = 0;
    c->serial_overflow_len = 0;
    ser_errors(port, qc::kErrAll);
    qc::capture_event(c, qc::kRx, qc::kEvSerModeSwitch, 0, 0, 0);
  }
  ser_dtr(port, 'S');
  c->serial_reset_pending = 0;
  return true;
}
