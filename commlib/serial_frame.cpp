// The three ways the serial reader turns bytes into something the application takes:
// raw bytes, whole messages (message framing) and byte pairs (setup framing).
#include <cstring>

#include "commlib/core.h"
#include "commlib/serial.h"

namespace qc {

namespace {

int channel_of(const Connection* c, uint8_t type) {
  return c->type_class[type] != kClassStream ? 1 : 0;
}

// Before each byte of raw mode (below 2) and of the message framing. A fault recorded
// in an earlier pass is forgotten here; after an overflow the rest of this pass goes too,
// since it continues a stream that already lost bytes.
//
// There is deliberately no "still too close to the last error" comparison of
// serial_error_time against serial_data_time: the error time always belongs to an
// earlier pass than this pass's data time, so their difference can never be a few
// microseconds and such a test would never drop anything. A timed quiet period would
// change what the peer sees; nothing on the line asks for one.
bool quiet_drops_rest(Connection* c) {
  if (c->serial_error_time == 0) return false;
  c->serial_error_time = 0;
  return c->serial_overflow_len != 0;
}

// The header at the front of the held bytes is one a message can have.
bool header_good(const Connection* c, int len) {
  const uint8_t* buf = c->serial_raw_buf;
  return len >= 8 && len <= kMaxMessage && buf[0] >= 0x80 && buf[1] < 0x80 &&
         (c->serial_overflow_len == 0 || len <= c->serial_overflow_len);
}

}  // namespace

bool serial_frame_ready(const Connection* c) {
  if (c->serial_raw || c->serial_setup_mode || c->serial_raw_count < 4) return false;
  const int len = le16(c->serial_raw_buf + 2);
  return header_good(c, len) && c->serial_raw_count >= len;
}

int serial_frame_raw(Connection* c, const uint8_t* bytes, int n) {
  const bool quiet = c->serial_raw < 2;
  for (int i = 0; i < n; ++i) {
    if (quiet && quiet_drops_rest(c)) {
      capture_event(c, kRx, kEvSerRawDropped, c->serial_overflow_len, 0, uint32_t(i));
      break;
    }
    if (c->serial_raw_count >= kSerialLimit) {
      serial_note_loss(c, c->serial_data_time, true);
      capture_event(c, kRx, kEvSerRawFull, c->serial_raw_count, 0, c->rx_dropped);
      return 0;
    }
    c->serial_raw_buf[c->serial_raw_count] = bytes[i];
    c->serial_raw_count = uint16_t(c->serial_raw_count + 1);
  }
  if (n > 0) capture_event(c, kRx, kEvSerRawKept, uint32_t(n), 0, c->serial_data_time);
  return n;
}

int serial_frame_message(Connection* c, const uint8_t* bytes, int n) {
  // The per-byte record is most of the cost of a pass; without a receive capture it
  // would be thrown away anyway. With no record to make and no fault pending, the
  // bytes go in as one block, up to where the buffer would overflow.
  const bool record_bytes = c->rx_capture_slot != 0;
  int i = 0;
  if (!record_bytes && c->serial_error_time == 0 && n > 0) {
    const int room = c->serial_raw_count < kSerialLimit ? kSerialLimit - c->serial_raw_count : 0;
    i = n < room ? n : room;
    std::memcpy(c->serial_raw_buf + c->serial_raw_count, bytes, size_t(i));
    c->serial_raw_count = uint16_t(c->serial_raw_count + i);
  }
  for (; i < n; ++i) {
    if (quiet_drops_rest(c)) break;
    const uint16_t count = c->serial_raw_count;
    if (count >= kSerialLimit) {
      capture_event(c, kRx, kEvSerBufferFull, count, 0, uint32_t(i));
      serial_note_loss(c, c->serial_data_time, true);
      return 0;
    }
    if (record_bytes) capture_event(c, kRx, kEvSerByte, count, 0, bytes[i]);
    c->serial_raw_buf[count] = bytes[i];
    c->serial_raw_count = uint16_t(count + 1);
  }

  const int held = c->serial_raw_count;
  if (held < 4) return 0;
  const uint8_t* buf = c->serial_raw_buf;
  const int len = le16(buf + 2);
  if (!header_good(c, len)) {
    // No resynchronisation inside the held bytes: without a marker any offset could
    // look like a header, so the reader waits for the peer's next message instead.
    capture_event(c, kRx, kEvSerBadHeader, uint32_t(held), 0, uint32_t(len));
    serial_note_loss(c, c->serial_data_time, false);
    return 0;
  }
  if (held < len) return 0;

  std::memcpy(c->rx_buf, buf, size_t(len));
  queue_message(c, len, channel_of(c, buf[0]), "smsg");
  const int left = held - len;
  if (left > 0) std::memmove(c->serial_raw_buf, buf + len, size_t(left));
  c->serial_raw_count = uint16_t(left);
  capture_event(c, kRx, kEvSerMessage, uint32_t(left), 0, uint32_t(len));
  return 1;
}

namespace {

// The command byte that followed 0x80 is kept past the 4000 gathered bytes, in the
// two spare bytes of serial_frame_buf, so that nothing else using rx_buf can lose it.
constexpr int kLongCommandAt = kSerialLimit;

void setup_short(Connection* c, uint8_t type, uint8_t command) {
  std::memset(c->rx_buf, 0, 8);
  c->rx_buf[0] = type;
  c->rx_buf[1] = command;
  c->rx_buf[2] = 8;
  queue_message(c, 8, channel_of(c, type), "serial");
}

void setup_long_end(Connection* c) {
  const int fill = c->serial_frame_fill;
  if (fill > kSetupLongMax) {
    // Longer than one message can hold. Cutting it would hand over a different text
    // as if it were whole, so it is dropped and counted like any other lost message.
    c->rx_dropped++;
    return;
  }
  const int len = fill + 12;
  std::memset(c->rx_buf, 0, size_t(fill + 16));
  c->rx_buf[0] = 0x80;
  c->rx_buf[1] = c->serial_frame_buf[kLongCommandAt];
  put_le16(c->rx_buf + 2, uint16_t(len));
  std::memcpy(c->rx_buf + 8, c->serial_frame_buf, size_t(fill));
  queue_message(c, len, channel_of(c, 0x80), "serialr");
}

}  // namespace

int serial_frame_setup(Connection* c, const uint8_t* bytes, int n) {
  for (int i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    switch (c->serial_reader_state) {
      case 0:
        if (b & 0x80) {
          c->serial_frame_type = b;
          c->serial_reader_state = 1;
        }
        break;
      case 1:
        if (b & 0x80) {
          c->serial_frame_type = b;
        } else if (c->serial_frame_type == 0x80) {
          c->serial_reader_state = 2;
          c->serial_frame_fill = 0;
          std::memset(c->serial_frame_buf, 0, sizeof c->serial_frame_buf);
          c->serial_frame_buf[kLongCommandAt] = b;
        } else {
          setup_short(c, c->serial_frame_type, b);
          c->serial_reader_state = 0;
        }
        break;
      default:  // 2: inside a long message
        if (b == 0 || (b & 0x80)) {
          setup_long_end(c);
          c->serial_reader_state = 0;
          if (b & 0x80) {
            c->serial_frame_type = b;
            c->serial_reader_state = 1;
          }
        } else if (c->serial_frame_fill < kSerialLimit) {
          c->serial_frame_buf[c->serial_frame_fill] = b;
          c->serial_frame_fill = uint16_t(c->serial_frame_fill + 1);
        }
        break;
    }
  }
  return 0;
}

}  // namespace qc
