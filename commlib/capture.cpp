// Trace stream, capture files and the library's clocks.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "commlib/core.h"

namespace qc {

// ---- clocks ----
// steady_clock is CLOCK_MONOTONIC on Linux: it never jumps with the wall clock.
namespace {
int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

uint32_t clock_ms() { return uint32_t(uint64_t(steady_ns() / 1000000)); }
double clock_us() { return double(steady_ns()) / 1000.0; }

// ---- trace stream ----
namespace {
FILE* g_trace = nullptr;  // guarded by the trace lock
// Whether g_trace is set, for a look without the lock: most calls find tracing off,
// and a message passes a dozen of them.
std::atomic<bool> g_tracing{false};
}

void trace_set_stream(FILE* f) {
  Guard g(lock_trace());
  g_trace = f;
  g_tracing.store(f != nullptr);
}

FILE* trace_stream() {
  Guard g(lock_trace());
  return g_trace;
}

void trace_printf(const char* fmt, ...) {
  if (!g_tracing.load(std::memory_order_relaxed)) return;
  Guard g(lock_trace());
  if (!g_trace) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(g_trace, fmt, ap);
  va_end(ap);
  if (log_writenow()) std::fflush(g_trace);
}

void trace_select(Connection* c, int select_result, bool has_write_set, SelectBits rd,
                  SelectBits wr, const char* label) {
  if (!g_tracing.load(std::memory_order_relaxed)) return;
  Guard gc(lock_capture());
  Guard gt(lock_trace());
  if (!g_trace) return;
  std::fprintf(g_trace, "\n%s select: (%d) %d ", label ? label : "", status_of(c), select_result);
  if (rd.accepted) std::fputs("Conn in ", g_trace);
  if (rd.tcp) std::fputs("TCP in ", g_trace);
  if (rd.udp) std::fputs("UDP in ", g_trace);
  if (has_write_set) {
    if (wr.accepted) std::fputs("Conn out ", g_trace);
    if (wr.tcp) std::fputs("TCP out ", g_trace);
    if (wr.udp) std::fputs("UDP out ", g_trace);
  }
  std::fputs("\n", g_trace);
  if (log_writenow()) std::fflush(g_trace);
}

// ---- capture slots ----
namespace {
constexpr int kCaptureSlots = 18;  // 1..8 capture files, 10..17 their FULL companions
constexpr int kFirstSlot = 1;
constexpr int kLastSlot = 8;
constexpr int kFullOffset = 9;
constexpr uint32_t kRecordUnit = 800000;
constexpr uint32_t kFullCapacity = 5000000;
constexpr uint32_t kRecordSize = 40;
constexpr int kNameMax = 100;

struct CaptureSlot {
  uint8_t* buffer;
  uint32_t capacity;
  uint32_t used;
  FILE* file;
  uint8_t name_counter;
  uint8_t written;  // 0 nothing yet, 1 buffer at close, 2 text at once, 3 event at once
  char name[102];
  int error;  // the first failed write at once (WRITENOW), 0 when none
};

CaptureSlot g_slots[kCaptureSlots];  // guarded by the capture lock

bool file_exists(const char* name) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}


uint32_t stamp() { return uint32_t(uint64_t(clock_us())); }

// The connection's slot for a direction, or 0.
int slot_of(const Connection* c, int direction) {
  uint32_t s = direction == kTx ? c->tx_capture_slot : c->rx_capture_slot;
  return (s >= uint32_t(kFirstSlot) && s <= uint32_t(kLastSlot)) ? int(s) : 0;
}

void release_buffer(CaptureSlot& s) {
  std::free(s.buffer);
  s.buffer = nullptr;
  s.capacity = 0;
}

// A capture that could not be written whole is removed, not left to be read as if it
// were the whole record.
void close_slot(const Connection* c, CaptureSlot& s) {
  uint32_t used = s.used;
  int err = s.error;
  if (used > 0 && s.buffer && s.file) {
    if (std::fwrite(s.buffer, 1, used, s.file) != used && !err) err = errno ? errno : EIO;
    s.written = 1;
  }
  trace_printf("%c closed logfile %s\n", role_letter(c), s.name);
  if (s.file) {
    if (std::fclose(s.file) != 0 && !err) err = errno ? errno : EIO;
    if (err) {
      std::remove(s.name);
      capture_file_failed("capture file", s.name, err, true);
    } else if (used == 0 && s.written == 0) {
      std::remove(s.name);  // an empty capture leaves no file
    }
  }
  s.error = 0;
  s.used = 0;
  s.file = nullptr;
  release_buffer(s);
  s.name_counter = 0;
}

// Closes the connection's slot of one direction and its companion; capture lock held.
void close_direction(Connection* c, int direction) {
  int idx = slot_of(c, direction);
  if (!idx) return;
  close_slot(c, g_slots[idx]);
  CaptureSlot& f = g_slots[idx + kFullOffset];
  if (f.file || f.buffer) close_slot(c, f);
  if (direction == kTx) {
    c->tx_capture_slot = 0;
  } else {
    c->rx_capture_slot = 0;
  }
}

// Appends one 40-byte record to the connection's slot; caller holds the capture lock.
// Records use the options as they stand: only capture_open reads the file.
void append_record(Connection* c, int direction, const uint8_t* rec, uint8_t mark) {
  int idx = slot_of(c, direction);
  if (!idx) return;
  CaptureSlot& s = g_slots[idx];
  if (!s.buffer || s.used + kRecordSize >= s.capacity) return;
  if (!log_options_current().writenow) {
    std::memcpy(s.buffer + s.used, rec, kRecordSize);
    s.used += kRecordSize;
  } else if (s.file) {
    if ((std::fwrite(rec, 1, kRecordSize, s.file) != kRecordSize || std::fflush(s.file) != 0) &&
        !s.error)
      s.error = errno ? errno : EIO;
    s.written = mark;
  }
}

std::atomic<int> g_file_failures{0};
}  // namespace

void capture_file_failed(const char* kind, const char* name, int err, bool removed) {
  g_file_failures.fetch_add(1);
  std::fprintf(stderr, "qcomm: %s %s could not be %s (%s)%s\n", kind, name,
               removed ? "written" : "read", std::strerror(err), removed ? "; removed" : "");
}

void capture_open(Connection* c, int direction, const char* tag) {
  Guard g(lock_capture());  // also guards the options while they are read and used
  const LogOptions& o = log_options();
  if (o.record <= 0) return;
  // One capture per direction: one still open from an earlier connect is closed first,
  // so that its file and buffer are not left without an owner.
  close_direction(c, direction);
  int idx = 0;
  for (int i = kFirstSlot; i <= kLastSlot; ++i) {
    if (!g_slots[i].file) {
      idx = i;
      break;
    }
  }
  if (!idx) return;  // all eight in use: no capture in this direction
  CaptureSlot& s = g_slots[idx];
  if (!s.buffer) {
    uint64_t want = uint64_t(o.record) * kRecordUnit;
    if (want > UINT32_MAX) return;
    s.buffer = static_cast<uint8_t*>(std::malloc(size_t(want)));
    if (!s.buffer) return;
    s.capacity = uint32_t(want);
  }
  s.used = 0;

  // The name counter is 8 bits wide: after 256 names that all exist, give up rather
  // than overwrite an earlier capture.
  char name[kNameMax + 1];
  bool found = false;
  for (int tries = 0; tries < 256; ++tries, ++s.name_counter) {
    std::snprintf(name, sizeof name, "zrc%s%s%d%d.bin", o.ident, tag ? tag : "", idx,
                  s.name_counter);
    if (!file_exists(name)) {
      found = true;
      break;
    }
  }
  if (!found) {
    release_buffer(s);
    s.name_counter = 0;
    return;
  }

  s.file = std::fopen(name, "wb");
  s.error = 0;
  if (s.file) {
    if (direction == kTx) {
      c->tx_capture_slot = uint32_t(idx);
    } else {
      c->rx_capture_slot = uint32_t(idx);
    }
    std::snprintf(s.name, sizeof s.name, "%s", name);
    s.written = 0;
  }
  trace_printf("%c Opened logfile %s\n", role_letter(c), name);
  if (!s.file || !o.logall) return;

  // The companion only follows a capture file that exists.
  CaptureSlot& f = g_slots[idx + kFullOffset];
  if (f.file) close_slot(c, f);
  if (!f.buffer) {
    f.buffer = static_cast<uint8_t*>(std::malloc(kFullCapacity));
    if (!f.buffer) return;
    f.capacity = kFullCapacity;
  }
  std::snprintf(f.name, sizeof f.name, "%.*sFULL", kNameMax - 4, name);
  f.file = std::fopen(f.name, "wb");
  if (!f.file) release_buffer(f);
  f.error = 0;
  f.written = 0;
  f.used = 0;
}

void capture_event(Connection* c, int direction, uint16_t code, uint32_t first, uint32_t second,
                   uint32_t third) {
  if (log_record() <= 0) return;  // nothing records: no lock needed to know it
  Guard g(lock_capture());
  if (log_options_current().record <= 0) return;
  uint8_t rec[kRecordSize] = {};
  put_le16(rec, 0);
  put_le16(rec + 2, code);
  put_le32(rec + 4, stamp());
  put_le32(rec + 8, second);
  put_le32(rec + 12, first);
  put_le32(rec + 16, third);
  append_record(c, direction, rec, 3);
}

void capture_text(Connection* c, int direction, uint16_t code, const char* text) {
  Guard g(lock_capture());
  if (log_options_current().record <= 0) return;
  uint8_t rec[kRecordSize] = {};
  put_le16(rec, 1);
  put_le16(rec + 2, code);
  put_le32(rec + 4, stamp());
  for (size_t i = 0; text && i < 32 && text[i]; ++i) rec[8 + i] = uint8_t(text[i]);
  append_record(c, direction, rec, 2);
}

void capture_select_event(Connection* c, uint16_t code, SelectBits rd, const SelectBits* wr) {
  auto bits = [](SelectBits b) {
    return (b.accepted ? 1u : 0u) | (b.tcp ? 16u : 0u) | (b.udp ? 256u : 0u);
  };
  capture_event(c, kRx, code, bits(rd), 0, wr ? bits(*wr) : 0);
}

void capture_full(Connection* c, int direction, int tag_or_count, const uint8_t* data) {
  if (!data || !log_logall()) return;
  Guard g(lock_capture());
  if (!log_options_current().logall) return;
  int idx = slot_of(c, direction);
  if (!idx) return;
  CaptureSlot& f = g_slots[idx + kFullOffset];
  if (!f.buffer) return;
  uint32_t len;
  uint16_t tag;
  if (tag_or_count >= 0) {
    // Callers pass messages held in a receive or send buffer; a length field larger
    // than that buffer cannot be a message of ours and is not recorded.
    len = le16(data + 2);
    if (len > uint32_t(kRxBufSize)) return;
    tag = uint16_t(tag_or_count);
  } else {
    if (tag_or_count < -kSerialBuf) return;
    len = uint32_t(-tag_or_count);
    tag = uint16_t(len);
  }
  uint32_t rec_len = len + 8;
  if (uint64_t(f.used) + rec_len > f.capacity) return;
  uint8_t* p = f.buffer + f.used;
  put_le32(p, stamp());
  put_le16(p + 4, tag);
  put_le16(p + 6, uint16_t(rec_len));
  std::memcpy(p + 8, data, len);
  f.used += rec_len;
}

void capture_close(Connection* c) {
  Guard g(lock_capture());
  // Closes whatever the connection holds, even if the options were re-read meanwhile,
  // so that no file stays open.
  close_direction(c, kTx);
  close_direction(c, kRx);
}

void capture_slot_name(int slot, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  if (slot < 1 || slot >= kCaptureSlots) return;
  Guard g(lock_capture());
  if (g_slots[slot].file) std::snprintf(out, size, "%s", g_slots[slot].name);
}

}  // namespace qc

extern "C" int capture_failures(void) { return qc::g_file_failures.load(); }
