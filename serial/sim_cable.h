// Simulated null-modem cable: two ends (0 and 1) in one process, wired like the real
// cable between the therapist and the game computer:
//   DTR of one end -> DSR and carrier (DCD) of the other end
//   RTS of one end -> CTS of the other end
//   TxD of one end -> RxD of the other end (bytes written at one end are read at the other)
//   break asserted at one end -> the other end reports line error 0x10 (break) once
// It stands in for the hardware where a pseudo-terminal has no modem lines: the
// line-turnaround handshake, DSR presence, break and line errors.
//
// Use: create a cable, bind COM numbers to its ends, then use the driver (ser_open etc.)
// on those ports as usual: the first cable plugs the bindings into the driver
// (ser_set_device_source), which consults them before any device node. Test and tool
// programs only: link lp_sim_cable; nothing installed carries it.
//
//   int cable = sim_cable_create();
//   sim_cable_bind(1, cable, 0);  // COM1 (driver port 0) is end 0
//   sim_cable_bind(2, cable, 1);  // COM2 (driver port 1) is end 1
//   ser_open(0, 4000, 4000); ser_open(1, 4000, 4000);
//   ser_dtr(0, 'S');  ->  ser_dsr(1) == 0x20, ser_carrier(1) == 0x80
//   ...
//   ser_close(0); ser_close(1); sim_cable_destroy(cable);
//
// An end can be open once at a time (a second ser_open of it fails with -200, EBUSY).
// Bytes written while the other end is closed are lost, as on a real line; an end opens
// with an empty input queue, no pending errors and its DTR/RTS off; closing an end drops
// its DTR and RTS. Each end buffers SIM_CABLE_QUEUE bytes of input; a writer waits while the
// other end's queue is full. Line settings (speed, format, flow control) are kept per end
// (sim_cable_settings) and, unless the cable is strict, do not change what crosses.
//
// Every function is thread-safe: a test, the answering side and the driver's writer and
// watch threads may use the same cable from different threads.
#pragma once
#include <cstdint>

#include "platform/serial_device.h"

constexpr int SIM_CABLES = 16;
constexpr int SIM_CABLE_QUEUE = 65536;

// Output lines of an end (sim_cable_set_lines, sim_cable_lines).
constexpr uint32_t SIM_LINE_DTR = 0x01;
constexpr uint32_t SIM_LINE_RTS = 0x02;

// Makes a cable. Returns its id (1..SIM_CABLES), or -1 when all are in use.
int sim_cable_create();

// Unbinds every COM number bound to the cable and frees the id. Ends still open keep
// working until they are closed. Returns 0, or -1 for an unknown id.
int sim_cable_destroy(int cable);

// Binds COM<com> (1..32, driver port com-1) to an end (0 or 1) of a cable, replacing any
// earlier binding of that COM number; a port already open keeps its device until closed.
// Returns 0, or -1 for a bad COM number, cable id or end.
int sim_cable_bind(int com, int cable, int end);

// Removes the binding of COM<com>; ser_open then uses the device node again.
// Returns 0, or -1 for a bad COM number or no binding.
int sim_cable_unbind(int com);

// Line errors as received at `end`: bits (0x01 overflow, 0x02 overrun, 0x04 parity,
// 0x08 framing, 0x10 break) are ORed into its pending error word, which the next
// ser_errors / ser_break 'D' of that end reports and clears. Returns 0, or -1 for a bad id/end.
int sim_cable_inject_errors(int cable, int end, uint32_t bits);

// Drives the output lines of `end` (SIM_LINE_DTR, SIM_LINE_RTS) from outside, as if that
// end's driver had raised or lowered them; lets a test play a peer without opening it.
// Returns 0, or -1 for a bad id/end.
int sim_cable_set_lines(int cable, int end, uint32_t lines);

// The output lines `end` drives now (SIM_LINE_DTR | SIM_LINE_RTS), or -1 for a bad id/end.
int sim_cable_lines(int cable, int end);

// Sets the RING input seen at `end` (a modem would drive it). Returns 0, or -1.
int sim_cable_set_ring(int cable, int end, bool on);

// The line settings an end was last configured with (speed in bit/s, byte size, parity,
// stop bits, flow control, XON/XOFF characters and limits). Returns 0, or -1 for a bad id/end.
int sim_cable_settings(int cable, int end, SerialLineSettings* out);

// A strict cable garbles what is sent between ends whose speed, byte size, parity or stop
// bits differ: the bytes are lost and the receiving end reports a framing error (0x08),
// as a real line would. Off by default. Returns 0, or -1 for a bad id.
int sim_cable_set_strict(int cable, bool strict);

// For the driver: when COM<com> is bound, opens that end. Returns 0 with *out set (the
// caller deletes it after close()), ENOENT when the COM number is not bound, EBUSY when
// the end is already open, ENOMEM.
int sim_cable_open_bound(int com, SerialDevice** out);
