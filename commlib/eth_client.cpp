// The client worker thread: keeps a TCP connection to the server (reconnecting by
// itself), receives stream messages and datagrams and answers pokes and beacons.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "platform/sockets.h"

namespace qc {

namespace {

void immediate_connect_trace(Connection* c) {
  NetAddr4 peer;
  eth_peer_get(c, &peer);
  char text[32];
  sock_addr_text(&peer, text, sizeof text);
  trace_printf("C Immediate connect %d %s\n", sock_addr_port(&peer), text);
}

// A fresh non-blocking TCP socket in place of the current one. Returns it, or -1.
int renew_tcp(Connection* c) {
  int old = int(ETH_LOAD(c, tcp_socket));
  eth_retire_socket(old);
  ETH_STORE(c, tcp_socket, 0);
  int s = sock_create(kSockStream);
  if (s < 0) return -1;
  ETH_STORE(c, tcp_socket, s);
  sock_set_nonblocking(s, 1);
  sock_set_reuseaddr(s);
  sock_set_nodelay(s);
  return s;
}

// A connect attempt that failed for good (refused, unreachable) leaves a socket that
// the system will not connect again: make the next attempt on a new one. Returns
// false when no socket could be made.
bool replace_failed(Connection* c) {
  int s = renew_tcp(c);
  if (s < 0) {
    capture_event(c, kRx, 50, 8, c->is_server, 0);
    return false;
  }
  return true;
}

void finish(Connection* c) {
  eth_retire_flush();
  ETH_STORE(c, thread_running, 0);
}

SelectBits bits(bool tcp, bool udp) { return SelectBits{false, tcp, udp}; }

}  // namespace

void eth_client_thread(Connection* c, int wake) {
  eth_worker_start(c, "Client", 100);
  int r = sock_set_nonblocking(int(ETH_LOAD(c, tcp_socket)), 1);
  if (r < 0) {
    trace_printf("C bad response from ioctlsocket: %d\n", -r);
    capture_event(c, kRx, 101, uint32_t(-r), 0, 0);
  }
  trace_printf("C try connect on %d\n", int(ETH_LOAD(c, tcp_socket)));
  ETH_STORE(c, connect_state, 1);
  ETH_STORE(c, status, 0);
  int attempt = 1;
  const bool udp_only = c->udp_only != 0;
  uint8_t dgram[kRxBufSize];
  uint8_t chunk[kRxBufSize];

  for (;;) {
    if (!ETH_LOAD(c, run)) return finish(c);
    int tcp = int(ETH_LOAD(c, tcp_socket));
    const int udp = int(ETH_LOAD(c, udp_socket));

    if (!udp_only && ETH_LOAD(c, status) == 0 && ETH_LOAD(c, connect_state) > 0 && attempt) {
      r = sock_connect(tcp, &c->tcp_peer);
      if (r == 0) {
        ETH_STORE(c, status, 1);
        ETH_STORE(c, accepted_valid, 1);
        ETH_STORE(c, connect_state, 0);
        immediate_connect_trace(c);
        capture_event(c, kRx, 104, 0, 0, 0);
      } else if (sock_err_already_connected(-r)) {
        ETH_STORE(c, status, 4);
        ETH_STORE(c, connect_state, -4);
        eth_sleep_ms(5);
        capture_event(c, kRx, 127, uint32_t(-r), 4, 0);
        continue;
      } else {
        if (!sock_err_would_block(-r) && !sock_err_invalid(-r)) {
          trace_printf("C bad response from connect: %d\n", -r);
          capture_event(c, kRx, 102, uint32_t(-r), 0, 0);
          if (!replace_failed(c)) break;
          tcp = int(ETH_LOAD(c, tcp_socket));
          attempt = 0;  // the next try follows the next time-out
        }
        ETH_STORE(c, connect_state, 2);
        trace_printf("C awaiting accept after connect\n");
        capture_event(c, kRx, 103, 0, 0, 0);
      }
    }

    const int status = ETH_LOAD(c, status);
    const bool want_tcp_read = status != 0 && !udp_only;
    const bool want_write = status == 0 && attempt && !udp_only;
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = udp;
    if (want_tcp_read || want_write) {
      set.fd[1] = tcp;
      set.want_write[1] = want_write;
    }
    if (!attempt) {
      trace_select(c, 0, want_write, bits(want_tcp_read, true), bits(want_write, false), "C before");
      SelectBits wr = bits(want_write, false);
      capture_select_event(c, 105, bits(want_tcp_read, true), want_write ? &wr : nullptr);
    }
    int woken = 0;
    int n = sock_wait(&set, wake, kSelectMs, &woken);
    if (!ETH_LOAD(c, run)) return finish(c);
    if (n < 0) {
      trace_printf("C error : %d\n", -n);
      capture_event(c, kRx, 106, uint32_t(-n), 0, 0);
      continue;
    }
    if (n == 0) {
      if (woken) continue;  // woken for another reason than a stop: look again
      attempt = 1;
      if (!udp_only && ETH_LOAD(c, status) == 0 && ETH_LOAD(c, connect_state) > 0) {
        r = sock_connect(tcp, &c->tcp_peer);
        if (r == 0) {
          ETH_STORE(c, status, 1);
          ETH_STORE(c, accepted_valid, 1);
          capture_event(c, kRx, 52, 7, c->is_server, 0);
          ETH_STORE(c, connect_state, -1);
          immediate_connect_trace(c);
          capture_event(c, kRx, 104, 0, 0, 0);
        } else {
          ETH_STORE(c, connect_state, 9);
          capture_event(c, kRx, 124, uint32_t(-r), 0, 0);
          if (!sock_err_would_block(-r) && !sock_err_invalid(-r) &&
              !sock_err_already_connected(-r) && !replace_failed(c))
            break;
        }
      }
      continue;
    }

    attempt = 0;
    const bool tcp_in = set.readable[1] && want_tcp_read;
    const bool udp_in = set.readable[0];
    const bool tcp_out = set.writable[1] && want_write;
    trace_select(c, n, want_write, bits(tcp_in, udp_in), bits(tcp_out, false), "C after");
    SelectBits wr = bits(tcp_out, false);
    capture_select_event(c, 107, bits(tcp_in, udp_in), want_write ? &wr : nullptr);

    if (tcp_in && !udp_only && ETH_LOAD(c, status) != 0) {
      int got = sock_recv(tcp, chunk, eth_stream_room(c));
      if (got < 0 && sock_err_would_block(-got)) {
        // readiness without data: nothing to do
      } else {
        trace_printf("C tcp receive : %d\n", got);
        capture_event(c, kRx, 108, uint32_t(got), 0, 0);
        if (got < 1) {
          if (ETH_LOAD(c, status) != 0) ETH_STORE(c, connect_state, 5);
          ETH_STORE(c, status, 0);
          ETH_STORE(c, accepted_valid, 0);
          capture_event(c, kRx, 109, uint32_t(got), 0, 0);
          int s = renew_tcp(c);
          if (s < 0) {
            capture_event(c, kRx, 50, 8, c->is_server, 0);
            capture_close(c);
            return finish(c);  // exit code 4: no socket to reconnect with
          }
          capture_event(c, kRx, 93, 4, c->is_server, uint32_t(s));
          tcp = s;
        } else {
          trace_printf("C tcp message received\n");
          eth_stream_append(c, chunk, got, kClientStreamEvents);
        }
      }
    }

    if (udp_in) {
      int full = 0;
      int got = eth_receive_datagram(c, udp, dgram, sizeof dgram, 110, &full);
      if (got == 0) continue;
      if (got > 0) eth_client_datagram(c, dgram, got, full, &attempt);
    }

    if (tcp_out && !udp_only) {
      // A refused connect also makes the socket writable: only a socket that has a
      // peer and no pending error is connected.
      int err = sock_pending_error(tcp);
      if (err == 0 && sock_peer_name(tcp, nullptr) == 0) {
        trace_printf("C tcp writeable (must be client)\n");
        ETH_STORE(c, status, 2);
        ETH_STORE(c, accepted_valid, 2);
        ETH_STORE(c, connect_state, -2);
        capture_event(c, kRx, 126, uint32_t(r), 0, 0);
      } else if (err != 0) {
        capture_event(c, kRx, 102, uint32_t(err), 0, 0);
        if (!replace_failed(c)) break;
      }
    }
  }
  // Only reached when no TCP socket could be made again.
  capture_close(c);
  finish(c);
}

}  // namespace qc
