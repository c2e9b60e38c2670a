// Serial device seam: what the serial port driver asks of a port, whatever is behind it
// (a tty through termios, or one end of the simulated null-modem cable).
//
// Every operation returns 0 or the system error number (errno values) and fills its out
// arguments; the driver decides what a failure means. A device is used by one caller
// thread plus, at most, one background writer and one event waiter at a time: write()
// and wait_event() may run on other threads concurrently with the other operations.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Modem status bits (modem_status).
constexpr uint32_t SERDEV_CTS = 0x10;
constexpr uint32_t SERDEV_DSR = 0x20;
constexpr uint32_t SERDEV_RING = 0x40;
constexpr uint32_t SERDEV_CARRIER = 0x80;

// Line-error bits (line_errors).
constexpr uint32_t SERDEV_ERR_OVERFLOW = 0x01;  // input queue overflow
constexpr uint32_t SERDEV_ERR_OVERRUN = 0x02;   // character-buffer overrun
constexpr uint32_t SERDEV_ERR_PARITY = 0x04;
constexpr uint32_t SERDEV_ERR_FRAMING = 0x08;
constexpr uint32_t SERDEV_ERR_BREAK = 0x10;

// Line events (wait_event), the values of the Windows event mask.
constexpr uint32_t SERDEV_EV_RXCHAR = 0x0001;   // bytes are waiting
constexpr uint32_t SERDEV_EV_TXEMPTY = 0x0004;  // output queue empty
constexpr uint32_t SERDEV_EV_CTS = 0x0008;      // CTS changed
constexpr uint32_t SERDEV_EV_DSR = 0x0010;      // DSR changed
constexpr uint32_t SERDEV_EV_RLSD = 0x0020;     // carrier changed
constexpr uint32_t SERDEV_EV_BREAK = 0x0040;    // break received
constexpr uint32_t SERDEV_EV_ERR = 0x0080;      // overflow, overrun, parity or framing error
constexpr uint32_t SERDEV_EV_RING = 0x0100;     // RING changed
constexpr uint32_t SERDEV_EV_ALL = 0x01FD;

struct SerialLineSettings {
  int32_t baud = 19200;
  int byte_size = 8;      // 5..8
  int parity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stop_bits = 0;      // 0 one, 1 one and a half, 2 two
  bool cts_flow = false;  // CTS/RTS handshake
  bool xon_out = false;   // XON/XOFF on output
  bool xon_in = false;    // XON/XOFF on input
  uint8_t xon_char = 0x11;
  uint8_t xoff_char = 0x13;
  int xon_limit = 0;  // kept with the settings; a tty uses the kernel's own thresholds
  int xoff_limit = 0;
};

// Where the lines and error counters stood, for waiting on changes from that moment on.
struct SerialEventMark {
  uint32_t lines = 0;   // modem status bits
  uint32_t breaks = 0;  // breaks received so far
  uint32_t errors = 0;  // other line errors received so far
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Lets queued output leave (for a bounded time; the rest is discarded), puts back the
  // read timeouts found at open and releases the device. Speed and format stay.
  virtual int close() = 0;
  virtual int get_settings(SerialLineSettings* out) = 0;
  virtual int configure(const SerialLineSettings& s) = 0;
  // Discards both queues.
  virtual int purge() = 0;
  // The input and output queue sizes in bytes, as the caller asks at open. A device whose
  // queues are the system's own (a tty) keeps them.
  virtual int set_queues(int in_size, int out_size) {
    (void)in_size;
    (void)out_size;
    return 0;
  }
  // The reset at open: the device's own reset where the system has one; elsewhere both
  // queues are emptied, the nearest a tty comes to it.
  virtual int reset() { return purge(); }
  // Never blocks: *got is 0 when nothing is waiting.
  virtual int read(void* buf, int capacity, int* got) = 0;
  // Writes the whole buffer, waiting for room as long as it takes. With a stop flag the
  // wait ends (ECANCELED, *written = bytes so far) soon after the flag is set.
  virtual int write(const void* buf, int len, const std::atomic<bool>* stop, int* written) = 0;
  virtual int in_count(int* n) = 0;
  virtual int out_count(int* n) = 0;
  virtual int modem_status(uint32_t* bits) = 0;  // 0 for a device without modem lines
  virtual int set_dtr(bool on) = 0;
  virtual int set_rts(bool on) = 0;
  virtual int set_break(bool on) = 0;
  // The line errors since the last call (the call clears them).
  virtual int line_errors(uint32_t* bits) = 0;
  virtual int event_mark(SerialEventMark* out) = 0;
  // Blocks until one of the events in mask has happened since the mark (bytes waiting and
  // an empty output queue count whenever they hold). EINVAL for an empty or unknown mask.
  // With a stop flag the wait ends (ECANCELED, *events = 0) soon after it is set; after
  // timeout_ms (negative: no limit) it ends with 0 and *events = 0.
  virtual int wait_event(uint32_t mask, const SerialEventMark& since,
                         const std::atomic<bool>* stop, int timeout_ms, uint32_t* events) = 0;
  // Blocks until input waits (or the line hung up, so that a read reports it) or
  // timeout_ms passes (negative: no limit); *ready says which. Same thread as read().
  virtual int wait_input(int timeout_ms, bool* ready) = 0;
  // A system object that is readable while input waits, for an event loop to wait on
  // (a descriptor on Linux), or -1 when the device has none.
  virtual intptr_t input_handle() = 0;
};

// Opens the tty at path exclusively (no other opener in this or another process) with
// non-blocking reads. 0 and *out set, or the system error number (EBUSY/EWOULDBLOCK when
// the port is held elsewhere). The caller deletes the device after close().
int serial_device_open(const char* path, SerialDevice** out);

// The system's text for an error number, always terminated within size.
void serial_error_text(int err, char* buf, size_t size);
