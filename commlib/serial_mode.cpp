// The calling half of the line-turnaround handshake: both computers change rate and
// framing together, announced on the modem lines rather than in the data, since the
// data cannot be trusted while the two ends run at different rates.
#include <chrono>
#include <thread>

#include "commlib/core.h"
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
