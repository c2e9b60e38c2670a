// The steps both ethernet workers are made of: the start, the wait of a pass, a receive on
// the stream socket, a received datagram, and the end.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/events.h"
#include "commlib/states.h"
#include "platform/sockets.h"

namespace qc {

namespace {

void local_name_trace(int s, const char* side, const char* label, char* text, int size, int* port) {
  NetAddr4 a;
  std::memset(&a, 0, sizeof a);
  sock_local_name(s, &a);
  *port = sock_addr_port(&a);
  sock_addr_text(&a, text, size);
  trace_printf("%s %s socket: %d %s\n", side, label, *port, text);
}

}  // namespace

void eth_worker_start(Connection* c, const char* side, uint16_t code) {
  ETH_STORE(c, thread_id, plat_thread_id());
  char text[32];
  int port = 0;
  local_name_trace(int(ETH_LOAD(c, tcp_socket)), side, "tcp", text, sizeof text, &port);
  local_name_trace(int(ETH_LOAD(c, udp_socket)), side, "udp", text, sizeof text, &port);
  char line[64];
  snprintf(line, sizeof line, "%d %.40s", port, text);
  capture_text(c, kRx, code, line);
  ETH_STORE(c, thread_running, 1);
}

void eth_worker_end(Connection* c) {
  eth_retire_flush(c);
  ETH_STORE(c, thread_running, 0);
}

void eth_select_note(Connection* c, const EthSide& side, int n, bool before, bool has_write,
                     SelectBits rd, SelectBits wr) {
  trace_select(c, n, has_write, rd, wr, before ? side.before_label : side.after_label);
  capture_select_event(c, before ? side.select_before : side.select_after, rd,
                       has_write ? &wr : nullptr);
}

EthPass eth_worker_wait(Connection* c, const EthSide& side, int wake, SockWaitSet* set, int* n,
                        int timeout_ms) {
  int woken = 0;
  *n = sock_wait(set, wake, timeout_ms, &woken);
  if (!ETH_LOAD(c, run)) return EthPass::kStop;
  // A wake-up is news about the lent socket or a stop; once taken it must not end the
  // next wait too. A stop signalled just after the check above is still seen: `run` is
  // read again at the top of every pass.
  if (woken) sock_wake_clear(wake);
  if (*n < 0) {
    if (side.quiet_net_down && sock_err_net_down(-*n)) return EthPass::kAgain;
    trace_printf("%c error : %d\n", side.letter, -*n);
    capture_event(c, kRx, side.select_error, uint32_t(-*n), 0, 0);
    return EthPass::kFailed;
  }
  if (*n == 0) return woken ? EthPass::kAgain : EthPass::kTimeout;  // woken: not a stop, look again
  return EthPass::kReady;
}

namespace {

bool stream_receive(Connection* c, const EthSide& side, int s, int* got) {
  uint8_t chunk[kRxBufSize];
  *got = sock_recv(s, chunk, eth_stream_room(c));
  if (*got < 0 && sock_err_would_block(-*got)) return false;  // readiness without data
  if (side.tcp_result) {
    trace_printf("%c tcp receive : %d\n", side.letter, *got);
    capture_event(c, kRx, side.tcp_result, uint32_t(*got), 0, 0);
  }
  if (*got < 1) return true;
  trace_printf("%c tcp message received\n", side.letter);
  if (side.tcp_data) capture_event(c, kRx, side.tcp_data, uint32_t(*got), 0, 0);
  eth_stream_append(c, chunk, *got, side.stream);
  return false;
}

}  // namespace

int eth_data_socket(Connection* c) {
  if (c->is_server) return ETH_LOAD(c, accepted_valid) ? int(ETH_LOAD(c, accepted_socket)) : 0;
  if (c->udp_only || ETH_LOAD(c, status) == kStatusDown) return 0;
  return int(ETH_LOAD(c, tcp_socket));
}

bool eth_stream_receive(Connection* c, const EthSide& side, int s, int* got) {
  // Room, read and append are one step: with two threads reading, the bytes are
  // appended in the order they were read.
  auto lock = eth_rx_lock(c);
  if (eth_handback_take(c, s, got)) return true;  // the application read the end already
  return stream_receive(c, side, s, got);
}

int eth_stream_receive_current(Connection* c, const EthSide& side, int s, int* got) {
  auto lock = eth_rx_lock(c);
  *got = 0;
  if (s <= 2 || eth_data_socket(c) != s) return -1;
  if (!stream_receive(c, side, s, got)) return 0;
  eth_handback_note(c, s, *got);
  return 1;
}

bool eth_datagram_receive(Connection* c, const EthSide& side, int udp, int* flag) {
  uint8_t dgram[kRxBufSize];
  trace_printf("%c udp message received\n", side.letter);
  int full = 0;
  int got = sock_recvfrom(udp, dgram, sizeof dgram, nullptr, &full);
  capture_event(c, kRx, side.udp_receive, uint32_t(got), 0, 0);
  if (got == 0) return false;
  if (got > 0) side.datagram(c, dgram, got, full, flag);
  return true;
}

}  // namespace qc
