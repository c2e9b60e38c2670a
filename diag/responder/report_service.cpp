#include "diag/responder/report_service.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "commlib/qcomm.h"
#include "platform/netdiag.h"
#include "platform/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestMs = 500;   // for the request to arrive: a client sends it with its connect
constexpr int kClientMs = 3000;   // for the whole exchange with one client
constexpr int kRequestMax = 64;   // the request is 22 bytes
constexpr int kBurst = 3;         // connections a peer may open at once...
constexpr int kRefillMs = 1000;   // ...and one more each second
constexpr int kPeers = 16;
constexpr int kDrainMax = 4096;   // what is read and dropped before closing

int ms_since(Clock::time_point t0) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// One bucket of connection tokens per peer, the least recently seen peer making room.
struct Bucket {
  uint8_t addr[4];
  int tokens;
  Clock::time_point refilled, seen;
  bool used;
};

struct Service {
  ReportServiceOptions opts;
  int listener = -1;
  int wake = -1;
  std::thread thread;
  Bucket buckets[kPeers];
  std::mutex buckets_lock;  // the line's requests come from the main thread
  ReportText text;
  uint32_t seq = 0;
};

Service* g_service = nullptr;
std::mutex g_text_lock;  // one report is made at a time, on either path

void log_line(const ReportServiceOptions& o, const char* fmt, const uint8_t* peer, const char* what) {
  if (!o.log) return;
  char line[300];
  std::snprintf(line, sizeof line, fmt, peer ? peer[0] : 0, peer ? peer[1] : 0, peer ? peer[2] : 0, peer ? peer[3] : 0,
                what);
  o.log(line);
}

// The peer's bucket, refilled for the time since; the least recently seen peer's makes
// room for a new one. Under the lock.
Bucket* bucket_of(Bucket* b, int n, const uint8_t peer[4]) {
  const Clock::time_point now = Clock::now();
  Bucket* slot = nullptr;
  for (int i = 0; i < n && !slot; ++i)
    if (b[i].used && std::memcmp(b[i].addr, peer, 4) == 0) slot = &b[i];
  if (!slot) {
    slot = &b[0];
    for (int i = 0; i < n; ++i) {
      if (!b[i].used) {
        slot = &b[i];
        break;
      }
      if (b[i].seen < slot->seen) slot = &b[i];
    }
    std::memcpy(slot->addr, peer, 4);
    slot->tokens = kBurst;
    slot->refilled = now;
    slot->used = true;
  }
  slot->seen = now;
  const int earned = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - slot->refilled).count() /
                                      kRefillMs);
  if (earned > 0) {
    slot->tokens = slot->tokens + earned > kBurst ? kBurst : slot->tokens + earned;
    slot->refilled += std::chrono::milliseconds(earned * kRefillMs);
  }
  return slot;
}

bool take_token(Bucket* b, int n, const uint8_t peer[4], std::mutex* lock) {
  std::lock_guard<std::mutex> hold(*lock);
  Bucket* slot = bucket_of(b, n, peer);
  if (slot->tokens <= 0) return false;
  --slot->tokens;
  return true;
}

// A peer that sent no request in time, or one that is not understood, is no client of
// ours: its further connections wait for the next token rather than holding the service.
void penalise(Bucket* b, int n, const uint8_t peer[4], std::mutex* lock) {
  std::lock_guard<std::mutex> hold(*lock);
  bucket_of(b, n, peer)->tokens = 0;
}

bool in_range(const uint8_t a[4], const uint8_t net[4], int bits) {
  for (int i = 0; i < 4 && bits > 0; ++i, bits -= 8) {
    const uint8_t mask = static_cast<uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
    if ((a[i] & mask) != (net[i] & mask)) return false;
  }
  return true;
}

// Sends all of buf before the deadline; false when the peer does not take it in time.
bool send_all(int s, const uint8_t* buf, int n, Clock::time_point t0, int limit_ms) {
  for (int done = 0; done < n;) {
    int r = sock_send(s, buf + done, n - done);
    if (r > 0) {
      done += r;
      continue;
    }
    if (r < 0 && !sock_err_would_block(-r)) return false;
    int left = limit_ms - ms_since(t0);
    if (left <= 0) return false;
    SockWaitSet set{};
    set.fd[0] = s;
    set.want_write[0] = true;
    int woken = 0;
    if (sock_wait(&set, -1, left, &woken) < 0) return false;
  }
  return true;
}

void send_refusal(int s, const char* why, uint32_t seq) {
  uint8_t m[REPORT_MSG_MAX];
  int n = report_msg(m, sizeof m, REPORT_CMD_REFUSED, why, static_cast<int>(std::strlen(why)), seq);
  sock_send(s, m, n);  // a few bytes into a fresh connection's buffer; a peer that does not take them gets nothing
}

// Reads what the peer still sent, a bounded amount, so that closing does not reset the
// connection under the answer.
void drain_and_close(int s) {
  uint8_t sink[512];
  for (int total = 0; total < kDrainMax;) {
    int r = sock_recv(s, sink, sizeof sink);
    if (r <= 0) break;
    total += r;
  }
  sock_close(s);
}

void serve_client(Service* sv, int s, const uint8_t peer[4]) {
  const ReportServiceOptions& o = sv->opts;
  const Clock::time_point t0 = Clock::now();
  sock_set_nonblocking(s, 1);
  if (!report_peer_allowed(peer, o)) {
    send_refusal(s, "not allowed: ask from loopback or from this computer's 192.168 subnet", 1);
    log_line(o, "report refused to %u.%u.%u.%u: %s\n", peer, "not on the subnet");
    drain_and_close(s);
    return;
  }
  if (!take_token(sv->buckets, kPeers, peer, &sv->buckets_lock)) {
    send_refusal(s, "busy: too many requests, ask again in a second", 1);
    log_line(o, "report refused to %u.%u.%u.%u: %s\n", peer, "too many requests");
    drain_and_close(s);
    return;
  }
  uint8_t req[kRequestMax];
  int fill = 0, command = 0, len = kRequestMax;
  while (fill < len) {
    int left = kRequestMs - ms_since(t0);
    if (left <= 0) {
      log_line(o, "report to %u.%u.%u.%u: %s\n", peer, "no request in time");
      penalise(sv->buckets, kPeers, peer, &sv->buckets_lock);
      sock_close(s);
      return;
    }
    SockWaitSet set{};
    set.fd[0] = s;
    int woken = 0;
    if (sock_wait(&set, -1, left, &woken) <= 0) continue;
    int r = sock_recv(s, req + fill, len - fill);
    if (r < 0 && sock_err_would_block(-r)) continue;
    if (r <= 0) {
      penalise(sv->buckets, kPeers, peer, &sv->buckets_lock);
      sock_close(s);
      return;
    }
    fill += r;
    if (fill >= 4 && len == kRequestMax &&
        (!report_msg_header(req, fill, &command, &len) || command != REPORT_CMD_REQUEST || len > kRequestMax))
      break;
  }
  if (command != REPORT_CMD_REQUEST || len > kRequestMax || fill < len || !report_request_ok(req + 4, len - 8)) {
    send_refusal(s, "not understood: ask with type 224 command 40 \"qumex-report 1\"", 1);
    log_line(o, "report refused to %u.%u.%u.%u: %s\n", peer, "request not understood");
    penalise(sv->buckets, kPeers, peer, &sv->buckets_lock);
    drain_and_close(s);
    return;
  }
  std::lock_guard<std::mutex> hold(g_text_lock);
  const int total = host_report(peer, o.host, &sv->text);
  uint8_t m[REPORT_MSG_MAX];
  uint32_t seq = 0;
  bool ok = true;
  int parts = 0;
  for (int at = 0; ok && at < total; at += REPORT_PIECE, ++parts) {
    int piece = total - at < REPORT_PIECE ? total - at : REPORT_PIECE;
    int n = report_msg(m, sizeof m, REPORT_CMD_PART, sv->text.buf + at, piece, ++seq);
    ok = send_all(s, m, n, t0, kClientMs);
  }
  char count[16];
  std::snprintf(count, sizeof count, "%d", total);
  if (ok) ok = send_all(s, m, report_msg(m, sizeof m, REPORT_CMD_END, count, int(std::strlen(count)), ++seq), t0, kClientMs);
  char what[64];
  std::snprintf(what, sizeof what, ok ? "%d bytes in %d parts" : "not taken in time (%d bytes)", total, parts);
  log_line(o, "report to %u.%u.%u.%u: %s\n", peer, what);
  if (ok) drain_and_close(s);
  else sock_close(s);
}

void run(Service* sv) {
  for (;;) {
    SockWaitSet set{};
    set.fd[0] = sv->listener;
    int woken = 0;
    int n = sock_wait(&set, sv->wake, -1, &woken);
    if (woken) return;
    if (n <= 0) continue;
    SockAddr4 from;
    int c = sock_accept(sv->listener, &from);
    if (c < 0 && !sock_err_would_block(-c)) {
      // No descriptor to spare: the waiting client stays queued, the loop does not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (c < 0) continue;
    serve_client(sv, c, from.addr);
  }
}

}  // namespace

int report_allow_add(ReportServiceOptions* o, const char* text) {
  if (!text || o->nallow >= REPORT_ALLOW_MAX) return 1;
  unsigned a[4], bits = 32;
  char tail = 0;
  int n = std::sscanf(text, "%3u.%3u.%3u.%3u/%2u%c", &a[0], &a[1], &a[2], &a[3], &bits, &tail);
  if (n != 4 && n != 5) return 1;
  if (n == 4 && std::strchr(text, '/')) return 1;
  if (a[0] > 255 || a[1] > 255 || a[2] > 255 || a[3] > 255 || bits > 32) return 1;
  for (int i = 0; i < 4; ++i) o->allow[o->nallow][i] = static_cast<uint8_t>(a[i]);
  o->allow_bits[o->nallow++] = static_cast<int>(bits);
  return 0;
}

int report_peer_allowed(const uint8_t peer[4], const ReportServiceOptions& o) {
  if (peer[0] == 127) return 1;
  for (int i = 0; i < o.nallow; ++i)
    if (in_range(peer, o.allow[i], o.allow_bits[i])) return 1;
  // The two-computer subnet, as this computer's addresses are now: they may change
  // while the service runs (the IP setup dialog, a cable plugged in).
  PlatAdapterFacts all[16];
  int count = 0;
  if (plat_adapter_facts(all, 16, &count) != 0) return 0;
  for (int i = 0; i < count; ++i)
    for (int k = 0; k < all[i].naddrs; ++k) {
      const uint8_t* mine = all[i].addrs[k];
      if (mine[0] == 192 && mine[1] == 168 && in_range(peer, mine, 24)) return 1;
    }
  return 0;
}

int report_service_start(const ReportServiceOptions& o) {
  if (g_service || o.port <= 0) return 0;
  std::unique_ptr<Service> sv(new (std::nothrow) Service());
  if (!sv) return -12;  // ENOMEM's number on both systems
  sv->opts = o;
  int s = sock_create(kSockStream);
  if (s < 0) return s;
  int r = sock_set_reuseaddr(s);
  if (r == 0) r = sock_bind_any(s, static_cast<uint16_t>(o.port));
  if (r == 0) r = sock_listen(s, 8);
  if (r == 0) r = sock_set_nonblocking(s, 1);
  if (r == 0) {
    r = sock_wake_create();
    sv->wake = r;
    if (r > 0) r = 0;
  }
  if (r != 0) {
    sock_close(s);
    return r;
  }
  sv->listener = s;
  try {
    sv->thread = std::thread(run, sv.get());
  } catch (const std::system_error&) {
    sock_wake_close(sv->wake);
    sock_close(s);
    return -11;  // EAGAIN's number on Linux: no thread to spare
  }
  g_service = sv.release();
  return 0;
}

void report_service_stop() {
  if (!g_service) return;
  sock_wake_signal(g_service->wake);
  g_service->thread.join();
  sock_wake_close(g_service->wake);
  sock_close(g_service->listener);
  delete g_service;
  g_service = nullptr;
}

int report_answer_on_link(Connection* c, const uint8_t* msg, int n, const ReportServiceOptions& o) {
  static Bucket line_bucket[1];
  static std::mutex line_lock;
  static const uint8_t kLine[4] = {0, 0, 0, 0};
  uint8_t m[REPORT_MSG_MAX];
  int len = n >= 4 ? msg[2] | msg[3] << 8 : 0;
  const char* why = nullptr;
  if (len < 8 || len > n || !report_request_ok(msg + 4, len - 8))
    why = "not understood: ask with type 224 command 40 \"qumex-report 1\"";
  else if (!take_token(line_bucket, 1, kLine, &line_lock))
    why = "busy: too many requests, ask again in a second";
  if (why) {
    int k = msg_build(c, m, sizeof m, REPORT_TYPE, REPORT_CMD_REFUSED, why, static_cast<int>(std::strlen(why)));
    return k > 0 ? conn_send(c, m, 0) : QCOMM_SEND_TOO_LONG;
  }
  std::lock_guard<std::mutex> hold(g_text_lock);
  static ReportText text;
  const int total = host_report(nullptr, o.host, &text);
  int r = QCOMM_SEND_OK;
  for (int at = 0; r == QCOMM_SEND_OK && at < total; at += REPORT_PIECE) {
    int piece = total - at < REPORT_PIECE ? total - at : REPORT_PIECE;
    int k = msg_build(c, m, sizeof m, REPORT_TYPE, REPORT_CMD_PART, text.buf + at, piece);
    r = conn_send(c, m, k);
  }
  char count[16];
  std::snprintf(count, sizeof count, "%d", total);
  if (r == QCOMM_SEND_OK)
    r = conn_send(c, m, msg_build(c, m, sizeof m, REPORT_TYPE, REPORT_CMD_END, count, static_cast<int>(std::strlen(count))));
  return r;
}
