#include "probe/serialfacts.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/com_path.h"
#include "platform/com_probe.h"
#include "platform/little_endian.h"
#include "serial/ser.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQueue = 4000;
constexpr int kSettleMs = 60;  // for the other side's lines to follow ours
constexpr int kMinMessage = 8, kMaxMessage = 1600;

int ms_since(Clock::time_point t0) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// Walks the received bytes as the message framing would: whole messages counted, bytes
// that start none counted as unreadable. A message cut off at the end counts as neither.
void frame(const uint8_t* b, int n, SerialLineFacts* out) {
  int i = 0;
  while (i < n) {
    if (n - i < 4) {
      if (b[i] < 0x80) ++out->unreadable;
      ++i;
      continue;
    }
    int len = le16(b + i + 2);
    if (b[i] >= 0x80 && b[i + 1] < 0x80 && len >= kMinMessage && len <= kMaxMessage) {
      if (i + len > n) return;
      ++out->messages;
      i += len;
    } else {
      ++out->unreadable;
      ++i;
    }
  }
}

}  // namespace

void serial_port_facts(int com, SerialPortFacts* out) {
  std::memset(out, 0, sizeof *out);
  out->com = com;
  if (plat_com_device_path(com, out->path, sizeof out->path) != 0) out->path[0] = '\0';
  out->state = plat_com_probe(com, &out->error);
  if (out->state == PLAT_COM_ABSENT && ser_open(com - 1, kQueue, kQueue) >= 0) {
    // A port the driver has although the system does not (a simulated cable's end).
    ser_close(com - 1);
    out->state = PLAT_COM_FREE;
    out->error = 0;
  }
  if (out->state != PLAT_COM_BUSY || !out->path[0]) return;
  out->holders_result = plat_device_holders(out->path, out->holders, SERIAL_HOLDERS, &out->nholders);
}

void serial_line_facts(int com, int baud, int wait_ms, const uint8_t* probe, int probe_len,
                       SerialLineFacts* out) {
  std::memset(out, 0, sizeof *out);
  out->wait_ms = wait_ms;
  const Clock::time_point t0 = Clock::now();
  const int port = com - 1;
  ser_open(-1, 1, 1);  // DTR and RTS raised at open, as the library opens its ports
  ser_set_baud(-1, baud);
  ser_format(-1, 0, 0, 8);
  out->open_result = ser_open(port, kQueue, kQueue);
  if (out->open_result < 0) {
    out->ms = ms_since(t0);
    return;
  }
  ser_flow(port, SER_FLOW_NONE);
  ser_dtr(port, SER_LINE_SET);
  ser_rts(port, SER_LINE_SET);
  std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
  out->lines = ser_cts(port) | ser_dsr(port) | ser_ring(port) | ser_carrier(port);
  ser_purge(port);
  int e = ser_errors(port, 0x1F);
  if (e > 0 && (e & SER_ERR_BREAK)) ++out->breaks;
  if (e > 0) out->errors |= e & ~SER_ERR_BREAK;
  if (probe && probe_len > 0) {
    int w = ser_write(port, probe, probe_len);
    out->sent = w > 0 ? w : 0;
  }
  uint8_t got[kQueue];
  int fill = 0;
  while (ms_since(t0) < wait_ms) {
    int left = wait_ms - ms_since(t0);
    ser_wait_input(port, left < 20 ? left : 20);  // the simulated cable has no handle to wait on
    int n = ser_read(port, got + fill, kQueue - fill);
    if (n > 0) fill += n;
    e = ser_errors(port, 0x1F);
    if (e > 0 && (e & SER_ERR_BREAK)) ++out->breaks;
    if (e > 0) out->errors |= e & ~SER_ERR_BREAK;
    if (out->sent > 0 && fill >= out->sent && std::memcmp(got, probe, static_cast<size_t>(out->sent)) == 0) {
      out->echoed = 1;
      break;
    }
    if (fill >= kMinMessage && got[0] >= 0x80 && le16(got + 2) >= kMinMessage && fill >= le16(got + 2)) break;
    if (fill == kQueue) break;
  }
  out->received = fill;
  if (!out->echoed) frame(got, fill, out);
  ser_close(port);
  out->ms = ms_since(t0);
}
