// The log options file ZRCLOG.INI: a few "KEY=value" lines in the current directory.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "commlib/core.h"
#include "platform/parse_int.h"

namespace qc {

namespace {
constexpr size_t kLineMax = 259;  // longer lines are read as several lines

// Guarded by the capture lock; re-read only on the application thread.
LogOptions g_options = {0, 0, "", 0, 1};
std::atomic<bool> g_unread{true};
std::atomic<int> g_writenow{0};  // copy for trace lines written on any thread
std::atomic<int> g_record{0};    // copies for records made on any thread
std::atomic<int> g_logall{0};

bool starts_with(const char* line, const char* key, const char** value) {
  size_t n = std::strlen(key);
  if (std::strncmp(line, key, n) != 0) return false;
  *value = line + n;
  return true;
}
}  // namespace

void log_options_reset(LogOptions* o) {
  o->record = 0;
  o->logall = 0;
  o->ident[0] = '\0';
}

void log_options_apply_line(LogOptions* o, const char* line) {
  const char* v = nullptr;
  if (starts_with(line, "RECORD=", &v)) {
    o->record = parse_int_saturating(v);
  } else if (starts_with(line, "BLUETOOTH=", &v)) {
    o->bluetooth = parse_int_saturating(v);
  } else if (starts_with(line, "LOGALL=", &v)) {
    o->logall = parse_int_saturating(v);
  } else if (starts_with(line, "IDENT=", &v)) {
    size_t n = 0;
    while (n < 8 && v[n]) ++n;
    std::memcpy(o->ident, v, n);
    o->ident[n] = '\0';
    // A file written on Windows ends its lines with CR LF; both end the identifier.
    o->ident[std::strcspn(o->ident, "\r\n")] = '\0';
    char* blank = std::strchr(o->ident, ' ');
    if (blank) *blank = '\0';
  } else if (starts_with(line, "WRITENOW=", &v)) {
    o->writenow = parse_int_saturating(v);
  }
}

void log_options_parse(LogOptions* o, const char* text, size_t len) {
  log_options_reset(o);
  char line[kLineMax + 1];
  size_t pos = 0;
  while (pos < len) {
    // Cut as a line reader with a 260-byte buffer would: after a line end or 259 bytes.
    size_t n = 0;
    while (n < kLineMax && pos + n < len) {
      if (text[pos + n++] == '\n') break;
    }
    std::memcpy(line, text + pos, n);
    line[n] = '\0';
    pos += n;
    log_options_apply_line(o, line);
  }
}

void log_options_read_file(LogOptions* o) {
  log_options_reset(o);
  FILE* f = std::fopen("ZRCLOG.INI", "r");
  if (!f) {  // no options file: capture stays off
    if (errno != ENOENT && errno != ENOTDIR)
      capture_file_failed("options file", "ZRCLOG.INI", errno, false);
    return;
  }
  char line[kLineMax + 1];
  while (std::fgets(line, sizeof line, f)) log_options_apply_line(o, line);
  if (std::ferror(f)) {  // half the options could be worse than none: capture stays off
    capture_file_failed("options file", "ZRCLOG.INI", errno, false);
    log_options_reset(o);
  }
  std::fclose(f);
}

const LogOptions& log_options() {
  Guard g(lock_capture());
  if (g_unread.load()) {
    log_options_read_file(&g_options);
    g_unread.store(false);
    g_writenow.store(g_options.writenow);
    g_record.store(g_options.record);
    g_logall.store(g_options.logall);
  }
  return g_options;
}

const LogOptions& log_options_current() { return g_options; }

void log_options_mark_unread() { g_unread.store(true); }

int log_writenow() { return g_writenow.load(); }

int log_record() { return g_record.load(std::memory_order_relaxed); }

int log_logall() { return g_logall.load(std::memory_order_relaxed); }

}  // namespace qc
