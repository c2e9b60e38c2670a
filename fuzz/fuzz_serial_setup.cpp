// Setup framing over arbitrary bytes split into arbitrary passes. Byte 0 picks the
// pass size; the rest is the line.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/serial_fuzz.h"

using serial_fuzz::check;

namespace {

// Pairs come out as 8-byte messages with a zero sequence; texts as type 0x80 with
// the gathered 7-bit bytes after four zero bytes.
void drain(Connection* c) {
  serial_fuzz::drain(c, [](const uint8_t* buf, int len) {
    check(qc::le32(buf + len - 4) == 0);
    if (len != 8 || buf[0] == 0x80) {
      check(buf[0] == 0x80 && len >= 12 && qc::le32(buf + 4) == 0);
      for (int i = 8; i < len - 4; ++i) check(buf[i] > 0 && buf[i] < 0x80);
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Connection* c = conn_alloc();
  if (!c || size < 1) return 0;
  serial_reset(c);
  c->serial_raw = 0;
  c->serial_setup_mode = 1;
  const size_t pass = 1 + size_t(data[0]) * 8;
  data += 1;
  size -= 1;
  while (size > 0) {
    const size_t n = std::min({size, pass, size_t(qc::kSerialReadMax)});
    check(qc::serial_frame_setup(c, data, int(n)) == 0);
    check(c->serial_reader_state <= 2);
    check(c->serial_frame_fill <= qc::kSerialLimit);
    data += n;
    size -= n;
    drain(c);
  }
  return 0;
}
