// Message framing over arbitrary bytes split into arbitrary passes. Byte 0 picks the
// pass size, byte 1 the class of one type and the per-byte path; the rest is the line.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/serial_fuzz.h"

using serial_fuzz::check;

namespace {

int queued(const Connection* c) { return c->queue[0].count + c->queue[1].count; }

// The header checks are all that message framing promises.
void drain(Connection* c) {
  serial_fuzz::drain(c, [](const uint8_t*, int) {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Connection* c = conn_alloc();
  if (!c || size < 2) return 0;
  serial_reset(c);
  c->serial_raw = 0;
  c->serial_setup_mode = 0;
  c->type_class[0x85] = data[1] & 1;
  // A slot number with no capture open behind it: the byte-by-byte path, recording
  // nothing; 0 takes the block path.
  c->rx_capture_slot = (data[1] >> 1) & 1;
  const size_t pass = 1 + size_t(data[0]) * 8;
  data += 2;
  size -= 2;
  uint32_t now = 1;
  while (size > 0) {
    const size_t n = std::min({size, pass, size_t(qc::kSerialReadMax)});
    c->serial_data_time = ++now;
    const int before = queued(c);
    const uint32_t dropped = c->rx_dropped;
    const int r = qc::serial_frame_message(c, data, int(n));
    check(r == 0 || r == 1);
    check(c->serial_raw_count <= qc::kSerialLimit);
    check(queued(c) - before == r || c->rx_dropped == dropped + 1);
    data += n;
    size -= n;
    if (data[-1] & 1) drain(c);
  }
  // Empty passes deliver what is still held, one message each.
  for (int i = 0; i < 8 && qc::serial_frame_message(c, nullptr, 0) == 1; ++i) drain(c);
  drain(c);
  return 0;
}
