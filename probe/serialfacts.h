// Facts about a serial game link, gathered on this computer: whether the port exists and
// who holds it, and what the line shows with our DTR and RTS raised: the modem lines,
// whether our own bytes come back (a loopback plug), bytes that frame as no message or
// arrive with line errors (the other side at another speed), and breaks.
#pragma once
#include <cstdint>

#include "platform/holders.h"

enum { SERIAL_HOLDERS = 4 };

struct SerialPortFacts {
  int com;
  int state;                 // PLAT_COM_ABSENT, PLAT_COM_FREE or PLAT_COM_BUSY
  int error;                 // the system's number behind the state
  char path[256];            // the device the port maps to ("" when none)
  int holders_result;        // 0, PLAT_HOLDER_UNKNOWN or the system's error number
  int nholders;
  PlatHolder holders[SERIAL_HOLDERS];
};
void serial_port_facts(int com, SerialPortFacts* out);

struct SerialLineFacts {
  int open_result;   // the driver's result of opening the port (0 opened)
  int lines;         // modem status with our DTR and RTS raised (SER_LINE_ bits)
  int sent;          // probe bytes written
  int echoed;        // 1 when the probe came back unchanged
  int received;      // bytes received in all
  int messages;      // of them, well-formed messages (not our probe)
  int unreadable;    // bytes that framed as no message
  int errors;        // line-error bits seen, break aside
  int breaks;        // breaks seen
  int ms;            // how long it looked
  int wait_ms;       // how long it was given
};

// Opens COM<com> at baud (8 data bits, no parity, one stop bit, no flow control) with DTR
// and RTS raised, reads the modem lines, sends probe and watches the line for up to
// wait_ms: it stops early once the probe came back or a whole message arrived. Closes
// the port again.
void serial_line_facts(int com, int baud, int wait_ms, const uint8_t* probe, int probe_len,
                       SerialLineFacts* out);
