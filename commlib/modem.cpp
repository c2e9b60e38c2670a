// Modem lines on either transport. An ethernet connection answers the presence
// questions (DSR, carrier, CTS, DTR) with its status, so that an application can ask
// "is the link up" the same way on both. The ethernet fields belong to the worker
// thread too, hence the atomic reads.
#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "serial/ser.h"

namespace {

bool ethernet(const Connection* c) { return c->transport != qc::kTransportSerial; }
int drv(const Connection* c) { return int(c->serial_port) - 1; }

// An input line of an open port: its bit when on, else 0 (also for a driver failure).
int input_line(const Connection* c, int32_t (*read)(int), int32_t bit) {
  if (c->serial_port == 0) return 0;
  const int32_t r = read(drv(c));
  return r > 0 ? (r & bit) : 0;
}

// Indexed by the public selectors QCOMM_LINE_OVERFLOW .. QCOMM_LINE_BREAK.
constexpr int kLineErrorBits[5] = {SER_ERR_OVERFLOW, SER_ERR_OVERRUN, SER_ERR_PARITY,
                                   SER_ERR_FRAMING, SER_ERR_BREAK};
static_assert(QCOMM_MODEM_CTS == SER_LINE_CTS && QCOMM_MODEM_DSR == SER_LINE_DSR &&
                  QCOMM_MODEM_RING == SER_LINE_RING && QCOMM_MODEM_CARRIER == SER_LINE_CARRIER &&
                  QCOMM_BREAK_SEEN == SER_ERR_BREAK,
              "the public line bits are the driver's");

}  // namespace

extern "C" {

int conn_dsr(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return ETH_LOAD(c, status);
  return input_line(c, ser_dsr, QCOMM_MODEM_DSR);
}

int conn_carrier(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return ETH_LOAD(c, status);
  return input_line(c, ser_carrier, QCOMM_MODEM_CARRIER);
}

int conn_cts(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return ETH_LOAD(c, status);
  return input_line(c, ser_cts, QCOMM_MODEM_CTS);
}

int conn_ring(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return 0;
  return input_line(c, ser_ring, QCOMM_MODEM_RING);
}

// Without a port the driver is asked about port -1 and answers -1, which is passed on.
int conn_dtr(Connection* c, int state) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return ETH_LOAD(c, status);
  return serial_dtr_op(c, state);
}

int conn_rts(Connection* c, int state) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return 0;
  return serial_rts_op(c, state);
}

int conn_line_errors(Connection* c, int selector) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) {
    const int listen = ETH_LOAD(c, listen_state);
    return listen != qc::kListening ? listen - 10 : int(ETH_LOAD(c, accepted_valid));
  }
  // An unknown selector answers 0 without reading the error word: reading clears it,
  // and the reader and a later valid question would lose errors nobody looked at.
  if (c->serial_port == 0) return -1;
  if (selector < QCOMM_LINE_OVERFLOW || selector > QCOMM_LINE_BREAK) return 0;
  const int32_t word = ser_errors(drv(c), -1);
  if (word < 0) return word;
  return word & kLineErrorBits[selector];
}

int conn_break(Connection* c, int state) {
  if (!conn_is_valid(c)) return 0;
  if (ethernet(c)) return 0;
  return ser_break(drv(c), state > 0 ? SER_BREAK_ON : state == 0 ? SER_BREAK_OFF : SER_BREAK_SEEN);
}

}  // extern "C"
