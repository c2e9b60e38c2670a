// Putting messages on the serial line in the current framing.
#include <cstring>

#include "commlib/core.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "serial/ser.h"

extern "C" int serial_write(Connection* c, const uint8_t* bytes, int count) {
  if (c->serial_port == 0) return QCOMM_SEND_NO_PORT;
  if (!bytes) return QCOMM_SEND_SHORT_WRITE;
  if (count == 0) count = int(std::strlen(reinterpret_cast<const char*>(bytes)));
  const int32_t r = ser_write(int(c->serial_port) - 1, bytes, count);
  if (r != count) return QCOMM_SEND_SHORT_WRITE;
  qc::capture_event(c, qc::kTx, qc::kEvSerWrite, uint32_t(count), 0, qc::first_four(bytes, count));
  return 0;
}

namespace qc {

int serial_send(Connection* c, const uint8_t* msg, int len) {
  // Fewer than two bytes hold no pair: they go as they are rather than reading past them.
  if (!c->serial_setup_mode || c->serial_raw || len < 2) return serial_write(c, msg, len);

  // Setup framing carries only the type and command bytes; a type 0x80 message adds
  // its text, ended by a 0x00 byte unless the text already ends with one.
  const int first = serial_write(c, msg, 2);
  if (msg[0] != 0x80) return first;
  if (le16(msg + 2) <= 2) return 0;
  if (len < 8) return 0;  // no text length in the message at all
  int text_len = le16(msg + 6);
  // The text lies inside the message: a text length that points past its end is cut
  // rather than sending whatever follows the caller's buffer.
  if (text_len > len - 8) text_len = len - 8;
  if (text_len > 0) {
    serial_write(c, msg + 8, text_len);
  } else {
    // A zero text length is a write of the NUL-terminated text at offset 8, as
    // serial_write reads a zero count; kept within the message.
    const void* nul = std::memchr(msg + 8, 0, size_t(len - 8));
    const int n = nul ? int(static_cast<const uint8_t*>(nul) - (msg + 8)) : len - 8;
    if (n > 0) serial_write(c, msg + 8, n);
  }
  if (msg[7 + text_len] != 0) {
    const uint8_t end = 0;
    serial_write(c, &end, 1);
  }
  return 0;
}

}  // namespace qc
