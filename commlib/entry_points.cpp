// Entry points that are not an operation of one transport: housekeeping, the
// poll/reset/validity operations, and the index-based twins of every paired operation.
#include <cerrno>
#include <cstdio>

#include "commlib/core.h"
#include "commlib/qcomm.h"
#include "commlib/settings_list.h"
#include "commlib/transport.h"

namespace {
FILE* g_trace_file = nullptr;  // the file trace_open opened; guarded by the trace lock
char g_trace_path[4096];      // its name

bool queue_holds(Connection* c, int channel) {
  qc::Guard g(qc::lock_queue());
  return c->queue[channel].count > 0;
}
}  // namespace

extern "C" {

int conn_log_event(Connection* c, int code, uint32_t first, uint32_t second, uint32_t third) {
  if (!conn_is_valid(c)) return 0;
  qc::capture_event(c, qc::kRx, uint16_t(code), first, second, third);
  return 1;
}

int lib_cleanup(void) {
  int live = qc::live_object_count();
  if (live == 0) qc::settings_clear_all();
  return live;
}

// Second name of lib_cleanup, carrying the library's own prefix for callers that look
// the library's entry points up by that prefix.
int qcomm_cleanup(void) { return lib_cleanup(); }

void trace_open(const char* path) {
  qc::Guard g(qc::lock_trace());
  if (g_trace_file) {
    qc::trace_set_stream(nullptr);
    // A trace with lines missing is removed rather than read as the whole story.
    bool lost = std::ferror(g_trace_file) != 0;
    int err = errno;
    if (std::fclose(g_trace_file) != 0 && !lost) {
      lost = true;
      err = errno;
    }
    if (lost) {
      std::remove(g_trace_path);
      qc::capture_file_failed("trace file", g_trace_path, err ? err : EIO, true);
    }
    g_trace_file = nullptr;
  }
  if (path) {
    g_trace_file = std::fopen(path, "w");
    std::snprintf(g_trace_path, sizeof g_trace_path, "%s", path);
    if (g_trace_file) qc::trace_set_stream(g_trace_file);
  }
}

int conn_is_invalid(Connection* c, int /*ignored*/) { return conn_is_valid(c) ? 0 : 1; }

int conn_poll(Connection* c, int channel) {
  if (!conn_is_valid(c)) return 0;
  if (c->transport == qc::kTransportSerial) {
    serial_poll(c);
    if (c->serial_raw) {
      qc::Guard g(qc::lock_serial_input());
      return c->serial_raw_count ? 1 : 0;
    }
  }
  int bits = 0;
  if (channel <= 0 && queue_holds(c, 0)) bits |= QCOMM_POLL_STREAM;
  if (channel == 0) return bits;
  if (queue_holds(c, 1)) bits |= QCOMM_POLL_DATAGRAM;
  return bits;
}

void conn_reset(Connection* c) {
  if (!conn_is_valid(c)) return;
  if (c->transport == qc::kTransportSerial) {
    serial_reset(c);
    return;
  }
  {
    qc::Guard g(qc::lock_queue());
    c->rx_fill = 0;  // a partly received stream message goes with the queues
  }
  qc::queues_clear(c);
}

void conn_set_class_at(int index, uint8_t first, int last, uint8_t cls) {
  conn_set_class(conn_at(index), first, last, cls);
}

// Index twins: the object in by-index entry 0..6 (conn_at), then the same arguments.
// An empty entry or any other index gives null, which the operation refuses.
#define QC_TWIN0(ret, name) \
  ret name##_at(int index) { return name(conn_at(index)); }
#define QC_UNPAREN(...) __VA_ARGS__
#define QC_TWIN(ret, name, params, ...) \
  ret name##_at(int index, QC_UNPAREN params) { return name(conn_at(index), __VA_ARGS__); }

QC_TWIN(int, conn_connect, (const char* transport, const char* address, int port, int flags),
        transport, address, port, flags)
QC_TWIN(int, conn_is_invalid, (int ignored), ignored)
QC_TWIN0(int, conn_disconnect)
QC_TWIN0(void, conn_reset)
QC_TWIN(int, conn_poll, (int channel), channel)
QC_TWIN(int, rx_status, (int what), what)
QC_TWIN(int, rx_receive, (int channel, void* buf, int size), channel, buf, size)
QC_TWIN(int, msg_build,
        (uint8_t * buf, int size, uint8_t type, uint8_t command, const void* payload,
         int payload_len),
        buf, size, type, command, payload, payload_len)
QC_TWIN(int, msg_length, (const uint8_t* msg), msg)
QC_TWIN(int, conn_send, (const uint8_t* msg, int len), msg, len)
QC_TWIN(int, conn_line_errors, (int selector), selector)
QC_TWIN0(int, conn_dsr)
QC_TWIN0(int, conn_carrier)
QC_TWIN0(int, conn_cts)
QC_TWIN0(int, conn_ring)
QC_TWIN(int, conn_dtr, (int state), state)
QC_TWIN(int, conn_rts, (int state), state)
QC_TWIN(int, conn_break, (int state), state)

#undef QC_TWIN
#undef QC_TWIN0
#undef QC_UNPAREN

}  // extern "C"
