// Serial port driver: 32 port records addressed from 0 (index n is COM(n+1)).
// Every operation returns a signed 32-bit code: >= 0 success (a count or flag),
// negative failure, one of the SerResult codes below. (-201, -205 belong to Windows
// timeout set-up, which a tty does not have: reads are non-blocking by the open mode.)
// Callers keep the calls for one port on one thread at a time (different ports may be used
// from different threads), with one exception: a watch callback may close, reopen or
// re-watch its own port while the application does the same; whoever comes second finds
// the port closed (-3) or the new state.
// Background writes (ser_option 'W'): the caller's buffer must stay valid until the write
// ends; ser_close stops it.
#pragma once
#include <cstdint>

constexpr int SER_PORTS = 32;

enum SerResult : int32_t {
  SER_OK = 0,
  SER_BAD_PORT = -1,         // port index out of range (or a bad letter for ser_option/ser_query)
  SER_CLOSED = -3,           // the port is not open
  SER_BUSY = -100,           // no byte waiting / background write still running
  SER_BAD_ARGUMENT = -101,   // no buffer, zero length or bad letter
  SER_IO_FAILED = -103,      // read, write or event-mask failure
  SER_QUEUE_FAILED = -105,   // the queue sizes were refused at open
  SER_NO_THREAD = -106,      // thread creation failed
  SER_OPEN_FAILED = -200,    // missing node, or held elsewhere
  SER_GET_LINE_FAILED = -202,  // reading the line settings failed at open
  SER_SET_LINE_FAILED = -203,  // setting them failed at open
  SER_RESET_FAILED = -204,     // the device reset at open failed (a tty: discarding both queues)
};

// Letters of the operations that take one.
enum SerLineLetter : char { SER_LINE_SET = 'S', SER_LINE_CLEAR = 'C', SER_LINE_READ = 'R' };
enum SerFlowLetter : char { SER_FLOW_HARDWARE = 'H', SER_FLOW_NONE = 'N', SER_FLOW_XONXOFF = 'S' };
enum SerBreakLetter : char { SER_BREAK_ON = 'A', SER_BREAK_OFF = 'C', SER_BREAK_SEEN = 'D' };
enum SerOptionLetter : char { SER_OPTION_RESET_AT_OPEN = 'R', SER_OPTION_BACKGROUND_WRITES = 'W' };
enum SerQueryLetter : char { SER_QUERY_3 = '3', SER_QUERY_I = 'I', SER_QUERY_VERSION = 'V' };
// What ser_option answers for its letters, and ser_query for 'V'.
constexpr int32_t SER_OPTION_RESET_ANSWER = 82;
constexpr int32_t SER_OPTION_WRITES_ANSWER = 87;
constexpr int32_t SER_VERSION = 790;

// Bits of ser_errors' mask and word, and the modem-line answers.
enum SerErrorBit : int32_t {
  SER_ERR_OVERFLOW = 0x01, SER_ERR_OVERRUN = 0x02, SER_ERR_PARITY = 0x04,
  SER_ERR_FRAMING = 0x08, SER_ERR_BREAK = 0x10,
};
enum SerLineBit : int32_t {
  SER_LINE_CTS = 0x10, SER_LINE_DSR = 0x20, SER_LINE_RING = 0x40, SER_LINE_CARRIER = 0x80,
};

int32_t ser_open(int port, int in_size, int out_size);  // port -1: DTR/RTS-at-open defaults
// A source of devices that ser_open asks first, by COM number (port + 1): 0 and *out
// set, or ENOENT to open the device node as usual, or another errno (-200). Tests plug
// the simulated cable in here (sim_cable.h); null removes it.
class SerialDevice;
typedef int (*ser_device_source_fn)(int com, SerialDevice** out);
void ser_set_device_source(ser_device_source_fn source);
int32_t ser_close(int port);
int32_t ser_set_baud(int port, int rate);  // rate 0..9: speed table index; port -1: default
int32_t ser_put_byte(int port, uint8_t byte);
int32_t ser_write(int port, const void* buf, int len);
int32_t ser_get_byte(int port);
// Never blocks: the bytes read, 0 when nothing waits or capacity is 0, or -103.
int32_t ser_read(int port, void* buf, int capacity);
int32_t ser_dtr(int port, char letter);  // SerLineLetter; read answers 0/1
int32_t ser_rts(int port, char letter);  // SerLineLetter; read answers 0/2
int32_t ser_purge(int port);
int32_t ser_drain(int port);
int32_t ser_out_count(int port);
int32_t ser_in_count(int port);
int32_t ser_errors(int port, int mask);  // SER_ERR_ bits of the word, which reading clears
int32_t ser_flow(int port, char letter);  // SerFlowLetter
int32_t ser_format(int port, int parity, int stop_bits, int byte_size);  // port -1: defaults
int32_t ser_cts(int port);      // SER_LINE_CTS or 0
int32_t ser_dsr(int port);      // SER_LINE_DSR or 0
int32_t ser_ring(int port);     // SER_LINE_RING or 0
int32_t ser_carrier(int port);  // SER_LINE_CARRIER or 0
int32_t ser_option(char letter);  // reset at open (sticks), or flip background writes
int32_t ser_query(char letter);   // SER_QUERY_3 and _I answer 1, SER_QUERY_VERSION SER_VERSION
int32_t ser_break(int port, char letter);  // SerBreakLetter; seen answers SER_ERR_BREAK or 0
int32_t ser_unget(int port, uint8_t byte);
// Returns last_error (the errno of the last failing system call); fills buf, when given,
// with the system's text for it.
int32_t ser_error_text(char* buf, int size);
// Ports 0..3 only (else -1); -3 when closed; an open port answers -1 (no register access).
int32_t ser_port_in(int port, int offset);
// Line events for ser_wait_event / ser_watch (the Windows event-mask values).
constexpr uint32_t SER_EV_RXCHAR = 0x0001;   // bytes are waiting
constexpr uint32_t SER_EV_TXEMPTY = 0x0004;  // output queue empty
constexpr uint32_t SER_EV_CTS = 0x0008;      // CTS changed
constexpr uint32_t SER_EV_DSR = 0x0010;      // DSR changed
constexpr uint32_t SER_EV_RLSD = 0x0020;     // carrier changed
constexpr uint32_t SER_EV_BREAK = 0x0040;    // break received
constexpr uint32_t SER_EV_ERR = 0x0080;      // overflow, overrun, parity or framing error
constexpr uint32_t SER_EV_RING = 0x0100;     // RING changed
// Waits until input waits on the port (or the line hung up, which the next read
// reports) or timeout_ms passes (negative: no limit): 1 input, 0 time out, -1/-3,
// -103 when the wait failed. A byte given back by ser_unget counts as input.
int32_t ser_wait_input(int port, int timeout_ms);
// The system object an event loop can wait on for the port's input (a descriptor on
// Linux), or -1: closed, out of range, or a device without one (the simulated cable).
intptr_t ser_input_handle(int port);
// Blocks until an event of the mask happens; returns the events, 0 when the wait failed,
// -103 for an empty mask or unknown bits.
int32_t ser_wait_event(int port, uint32_t mask);
// The same, giving up after timeout_ms (negative: no limit) with 0; -103 when the wait
// failed (a hung-up line), so that a caller in a loop can tell it from a time-out.
int32_t ser_wait_event_for(int port, uint32_t mask, int timeout_ms);
// One-shot watch: a thread waits for one event of the mask, then calls notify(cookie,
// message) on that thread and ends (where Windows posts a window message). notify may
// call ser_watch again to re-arm, or ser_close. notify null stops watching (returns 1).
// ser_close and the next ser_watch end a running watch without calling notify.
typedef void (*ser_notify_fn)(void* cookie, uint16_t message);
int32_t ser_watch(int port, ser_notify_fn notify, void* cookie, uint16_t message, uint32_t mask);
