#include "diag/remotereport.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commlib/qcomm.h"
#include "diag/linkdoctor.h"
#include "platform/little_endian.h"
#include "platform/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLineMax = 600;  // a longer line of a report is cut

int ms_since(Clock::time_point t0) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// What the other computer wrote is shown here: no control bytes reach the terminal
// (tabs only where they split fields).
void clean_copy(char* out, size_t size, const char* s, size_t n, bool tabs = false) {
  if (size == 0) return;
  size_t k = 0;
  for (size_t i = 0; i < n && k + 1 < size; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out[k++] = (c == '\t' && tabs) ? '\t' : (c < 0x20 || (c >= 0x7f && c <= 0x9f)) ? '?' : static_cast<char>(c);
  }
  out[k] = '\0';
}

void put_le16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A field of a line as written: tabs, line ends and control bytes would break the line.
void put_field(ReportText* t, const char* s) {
  for (; *s && t->used + 1 < sizeof t->buf; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    t->buf[t->used++] = c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c);
  }
  t->buf[t->used] = '\0';
}

void put_raw(ReportText* t, const char* s) {
  size_t n = std::strlen(s);
  if (t->used + n >= sizeof t->buf) n = sizeof t->buf - 1 - t->used;
  std::memcpy(t->buf + t->used, s, n);
  t->used += n;
  t->buf[t->used] = '\0';
}

// Room for one more line and the end line after it.
bool room(const ReportText* t) { return t->used + kLineMax + 32 < sizeof t->buf; }

}  // namespace

int report_msg(uint8_t* buf, int size, int command, const void* payload, int len, uint32_t seq) {
  const int total = len + 8;
  if (!buf || len < 0 || total > REPORT_MSG_MAX || total > size) return 0;
  buf[0] = static_cast<uint8_t>(REPORT_TYPE);
  buf[1] = static_cast<uint8_t>(command);
  put_le16(buf + 2, static_cast<unsigned>(total));
  if (len > 0) std::memcpy(buf + 4, payload, static_cast<size_t>(len));
  for (int i = 0; i < 4; ++i) buf[4 + len + i] = static_cast<uint8_t>(seq >> (8 * i));
  return total;
}

int report_msg_header(const uint8_t* buf, int have, int* command, int* len) {
  if (have < 4 || buf[0] != REPORT_TYPE || buf[1] < REPORT_CMD_REQUEST || buf[1] > REPORT_CMD_REFUSED) return 0;
  int l = le16(buf + 2);
  if (l < 8 || l > REPORT_MSG_MAX) return 0;
  *command = buf[1];
  *len = l;
  return 1;
}

int report_request_ok(const uint8_t* payload, int len) {
  // "qumex-report N": any version from 1 on is answered with version 1.
  const int prefix = static_cast<int>(sizeof REPORT_REQUEST) - 2;
  if (len <= prefix || len > prefix + 4 || std::memcmp(payload, REPORT_REQUEST, static_cast<size_t>(prefix)) != 0)
    return 0;
  for (int i = prefix; i < len; ++i)
    if (payload[i] < '0' || payload[i] > '9') return 0;
  return payload[prefix] != '0';
}

void report_text_begin(ReportText* t) {
  t->used = 0;
  t->lines = 0;
  t->buf[0] = '\0';
  put_raw(t, "qumex-report 1\n");
  t->lines = 1;
}

void report_text_say(ReportText* t, const char* fmt, ...) {
  if (!room(t)) return;
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  if (std::vsnprintf(line, sizeof line, fmt, ap) < 0) line[0] = '\0';
  va_end(ap);
  put_raw(t, "say\t");
  put_field(t, line);
  put_raw(t, "\n");
  ++t->lines;
}

void report_text_findings(ReportText* t, const DoctorReport& r) {
  for (int i = 0; i < r.count && room(t); ++i) {
    const DoctorFinding& f = r.findings[i];
    put_raw(t, "finding\t");
    put_field(t, f.check);
    put_raw(t, "\t");
    put_field(t, doctor_verdict_key(f.verdict));
    put_raw(t, "\t");
    put_field(t, doctor_cause_key(f.cause));
    put_raw(t, "\t");
    put_field(t, f.seen);
    put_raw(t, "\t");
    put_field(t, f.advice);
    put_raw(t, "\n");
    ++t->lines;
  }
}

int report_text_end(ReportText* t) {
  char end[32];
  std::snprintf(end, sizeof end, "end\t%d\n", t->lines);
  put_raw(t, end);
  return static_cast<int>(t->used);
}

int report_parse(const char* text, int len, DoctorReport* r) {
  if (!text || len <= 0) return 1;
  const char* const stop = text + len;
  // The structure first: the version line, and the end line that counts the others.
  const char* nl = static_cast<const char*>(std::memchr(text, '\n', static_cast<size_t>(len)));
  const size_t head = sizeof REPORT_REQUEST - 2;  // "qumex-report "
  if (!nl || static_cast<size_t>(nl - text) <= head || std::memcmp(text, REPORT_REQUEST, head) != 0) return 1;
  for (const char* p = text + head; p < nl; ++p)
    if (*p < '0' || *p > '9') return 1;
  int lines = 0;
  bool ended = false;
  for (const char* p = text; p < stop && !ended;) {
    const char* e = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
    if (!e) return 2;  // a line cut off
    if (e - p > 4 && std::memcmp(p, "end\t", 4) == 0) {
      char count[16];
      clean_copy(count, sizeof count, p + 4, static_cast<size_t>(e - p - 4));
      char* tail = nullptr;
      long n = std::strtol(count, &tail, 10);
      if (*tail != '\0' || n != lines) return 2;
      ended = true;
    }
    ++lines;
    p = e + 1;
  }
  if (!ended) return 2;
  for (const char* p = nl + 1; p < stop;) {
    const char* e = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
    char line[kLineMax];
    clean_copy(line, sizeof line, p, static_cast<size_t>(e - p), true);
    p = e + 1;
    char* fields[6] = {line};
    int nf = 1;
    for (char* q = line; *q; ++q) {
      if (*q != '\t') continue;
      if (nf == 6) {
        *q = ' ';  // a field past the last: part of it, shown as a blank
        continue;
      }
      *q = '\0';
      fields[nf++] = q + 1;
    }
    if (std::strcmp(fields[0], "end") == 0) break;
    if (std::strcmp(fields[0], "say") == 0 && nf >= 2 && r->game_nlines < DOCTOR_GAME_LINES) {
      std::snprintf(r->game_lines[r->game_nlines++], DOCTOR_SEEN, "%s", fields[1]);
    } else if (std::strcmp(fields[0], "finding") == 0 && nf >= 5) {
      int verdict = doctor_verdict_by_key(fields[2]);
      int cause = doctor_cause_by_key(fields[3]);
      if (verdict < 0) verdict = DOCTOR_UNKNOWN;
      if (cause < 0) cause = CAUSE_UNKNOWN;  // a cause this side does not know cannot outrank its own
      doctor_add(r, DOCTOR_GAME, fields[1], verdict, cause, nf >= 6 ? fields[5] : "", "%s", fields[4]);
    }
  }
  r->game_answered = 1;
  return 0;
}

namespace {

// One message of an answer; 1 when the answer is over (out->state says how).
int take_answer(const uint8_t* m, int command, int len, RemoteReport* out) {
  const char* payload = reinterpret_cast<const char*>(m + 4);
  const int n = len - 8;
  if (command == REPORT_CMD_PART) {
    if (out->len + n > REPORT_TEXT_MAX) {
      out->state = REMOTE_BROKEN;
      std::snprintf(out->reason, sizeof out->reason, "the answer is longer than %d bytes", REPORT_TEXT_MAX);
      return 1;
    }
    std::memcpy(out->text + out->len, payload, static_cast<size_t>(n));
    out->len += n;
    out->text[out->len] = '\0';
    return 0;
  }
  char word[200];
  clean_copy(word, sizeof word, payload, static_cast<size_t>(n));
  if (command == REPORT_CMD_REFUSED) {
    out->state = REMOTE_REFUSED;
    std::snprintf(out->reason, sizeof out->reason, "%s", word);
    return 1;
  }
  if (command == REPORT_CMD_END && std::atoi(word) == out->len && word[0]) {
    out->state = REMOTE_ANSWERED;
    return 1;
  }
  out->state = REMOTE_BROKEN;
  std::snprintf(out->reason, sizeof out->reason, "the answer is not a report (command %d after %d bytes)", command,
                out->len);
  return 1;
}

void timed_out(RemoteReport* out, int limit_ms) {
  out->state = REMOTE_SILENT;
  if (out->len)
    std::snprintf(out->reason, sizeof out->reason, "the answer stopped after %d bytes (%.1f s)", out->len,
                  limit_ms / 1000.0);
  else
    std::snprintf(out->reason, sizeof out->reason, "no answer in %.1f s", limit_ms / 1000.0);
}

}  // namespace

void remote_report_fetch(const uint8_t addr[4], int port, int limit_ms, RemoteReport* out) {
  std::memset(out, 0, sizeof *out);
  std::snprintf(out->where, sizeof out->where, "%u.%u.%u.%u port %d", addr[0], addr[1], addr[2], addr[3], port);
  const Clock::time_point t0 = Clock::now();
  out->state = REMOTE_FAILED;
  int s = sock_create(kSockStream);
  if (s < 0) {
    out->error = -s;
    std::snprintf(out->reason, sizeof out->reason, "%s", sock_err_text(out->error));
    return;
  }
  SockAddr4 to;
  sock_addr_make(&to, addr, static_cast<uint16_t>(port));
  int r = sock_set_nonblocking(s, 1);
  if (r == 0) r = sock_connect(s, &to);
  bool connected = r == 0;
  uint8_t buf[2 * REPORT_MSG_MAX];
  int fill = 0;
  bool sent = false, done = false;
  while (r == 0 || sock_err_would_block(-r)) {
    if (connected && !sent) {
      uint8_t req[64];
      int n = report_msg(req, sizeof req, REPORT_CMD_REQUEST, REPORT_REQUEST, int(sizeof REPORT_REQUEST) - 1, 1);
      r = sock_send(s, req, n);  // a fresh connection's buffer takes a few bytes at once
      if (r != n) {
        r = r < 0 ? r : -sock_err_not_connected_code();
        break;
      }
      sent = true;
      r = 0;
    }
    int left = limit_ms - ms_since(t0);
    if (left <= 0) {
      timed_out(out, limit_ms);
      done = true;
      break;
    }
    SockWaitSet set{};
    set.fd[0] = s;
    set.want_write[0] = !connected;
    int woken = 0;
    int n = sock_wait(&set, -1, left, &woken);
    if (n < 0) {
      r = n;
      break;
    }
    if (n == 0) continue;  // the limit, seen at the top
    if (!connected) {
      int e = sock_pending_error(s);
      r = e > 0 ? -e : e;
      connected = r == 0;
      continue;
    }
    int got = sock_recv(s, buf + fill, int(sizeof buf) - fill);
    if (got < 0 && sock_err_would_block(-got)) continue;
    if (got < 0) {
      r = got;
      break;
    }
    if (got == 0) {
      out->state = REMOTE_BROKEN;
      std::snprintf(out->reason, sizeof out->reason, "the connection closed after %d bytes of the answer", out->len);
      done = true;
      break;
    }
    fill += got;
    int command = 0, len = 0;
    while (fill >= 4 && !done) {
      if (!report_msg_header(buf, fill, &command, &len) || command == REPORT_CMD_REQUEST) {
        out->state = REMOTE_BROKEN;
        std::snprintf(out->reason, sizeof out->reason, "the answer is not a report (its bytes begin %u %u)", buf[0],
                      buf[1]);
        done = true;
        break;
      }
      if (fill < len) break;
      done = take_answer(buf, command, len, out) != 0;
      std::memmove(buf, buf + len, static_cast<size_t>(fill - len));
      fill -= len;
    }
    if (done) break;
  }
  if (!done) {
    out->error = -r;
    out->state = sock_err_refused(out->error)       ? REMOTE_NO_SERVICE
                 : sock_err_unreachable(out->error) ? REMOTE_UNREACHABLE
                                                    : REMOTE_FAILED;
    std::snprintf(out->reason, sizeof out->reason, "%s", sock_err_text(out->error));
  }
  sock_close(s);
  out->ms = ms_since(t0);
}

void remote_report_fetch_serial(int com, int baud, int limit_ms, RemoteReport* out) {
  std::memset(out, 0, sizeof *out);
  std::snprintf(out->where, sizeof out->where, "COM%d", com);
  const Clock::time_point t0 = Clock::now();
  Connection* c = conn_alloc();
  if (!c) {
    out->state = REMOTE_FAILED;
    std::snprintf(out->reason, sizeof out->reason, "no connection object");
    return;
  }
  int r = conn_connect(c, "serial", out->where, baud, 0);
  if (r != 0) {
    out->state = REMOTE_FAILED;
    out->error = r;
    std::snprintf(out->reason, sizeof out->reason, "COM%d would not open (%d)", com, r);
    conn_free(c);
    out->ms = ms_since(t0);
    return;
  }
  uint8_t m[REPORT_MSG_MAX];
  while (rx_receive(c, QCOMM_CHANNEL_EITHER, m, sizeof m) != 0) {
  }
  int n = msg_build(c, m, sizeof m, REPORT_TYPE, REPORT_CMD_REQUEST, REPORT_REQUEST, int(sizeof REPORT_REQUEST) - 1);
  if (n <= 0 || conn_send(c, m, 0) != QCOMM_SEND_OK) {
    out->state = REMOTE_FAILED;
    std::snprintf(out->reason, sizeof out->reason, "the request could not be sent on COM%d", com);
  } else {
    for (bool done = false; !done;) {
      int left = limit_ms - ms_since(t0);
      int got = rx_receive(c, QCOMM_CHANNEL_EITHER, m, sizeof m);
      int command = 0, len = 0;
      // The line may carry the game link's own messages too: only ours count.
      if (got > 0 && report_msg_header(m, got, &command, &len) && len <= got && command != REPORT_CMD_REQUEST)
        done = take_answer(m, command, len, out) != 0;
      else if (got == 0 && left <= 0) {
        timed_out(out, limit_ms);
        done = true;
      } else if (got == 0) {
        conn_wait(c, QCOMM_CHANNEL_EITHER, left);
      }
    }
  }
  conn_free(c);
  out->ms = ms_since(t0);
}

void remote_report_merge(const RemoteReport& rr, DoctorReport* r) {
  if (rr.state == REMOTE_ANSWERED) {
    int p = report_parse(rr.text, rr.len, r);
    if (p == 0) return;
    doctor_add(r, DOCTOR_HERE, "report", DOCTOR_UNKNOWN, CAUSE_NONE, "",
               "the game computer's answer on %s is not a whole report (%s)", rr.where,
               p == 1 ? "no version line" : "it stops short");
    return;
  }
  switch (rr.state) {
    case REMOTE_REFUSED:
      doctor_add(r, DOCTOR_HERE, "report", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the game computer refused its report on %s: %s",
                 rr.where, rr.reason);
      break;
    case REMOTE_NO_SERVICE:
    case REMOTE_SILENT:
      doctor_add(r, DOCTOR_HERE, "report", DOCTOR_UNKNOWN, CAUSE_NONE,
                 "run linkprobe-responder --report-only on the game computer to hear its side",
                 "no report from the game computer on %s (%s)", rr.where,
                 rr.state == REMOTE_NO_SERVICE ? "nothing listens there" : rr.reason);
      break;
    default:
      doctor_add(r, DOCTOR_HERE, "report", DOCTOR_UNKNOWN, CAUSE_NONE, "", "no report from the game computer on %s (%s)",
                 rr.where, rr.reason);
      break;
  }
}
