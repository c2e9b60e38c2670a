// The client worker thread: keeps a TCP connection to the server (reconnecting by
// itself), receives stream messages and datagrams and answers pokes and beacons.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/events.h"
#include "commlib/states.h"
#include "platform/sockets.h"

namespace qc {

const EthSide kEthClientSide = {'C', "C before", "C after",
                                kEvClientSelectBefore, kEvClientSelectAfter, kEvClientSelectError,
                                false, kEvClientTcpReceive, 0, kEvClientUdpReceive,
                                kClientStreamEvents, eth_client_datagram};

namespace {

const EthSide& kClient = kEthClientSide;

// What the worker carries from one pass to the next.
struct ClientPass {
  int attempt;  // a connect is tried in this pass
  int last;     // the latest connect result, recorded when the connect completes
};

enum class Step { kOn, kAgain, kGiveUp };

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
  eth_retire_socket(c, old);
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
  if (renew_tcp(c) >= 0) return true;
  capture_event(c, kRx, kEvSocketMade, 8, c->is_server, 0);
  return false;
}

bool wants_connect(Connection* c) {
  return !c->udp_only && ETH_LOAD(c, status) == kStatusDown && ETH_LOAD(c, connect_state) > 0;
}

// The attempt at the top of a pass.
Step connect_now(Connection* c, int* tcp, ClientPass* p) {
  int r = p->last = sock_connect(*tcp, &c->tcp_peer);
  if (r == 0) {
    ETH_STORE(c, status, kStatusConnectedAtOnce);
    ETH_STORE(c, accepted_valid, 1);
    ETH_STORE(c, connect_state, kConnectedAtTop);
    immediate_connect_trace(c);
    capture_event(c, kRx, kEvClientConnected, 0, 0, 0);
    return Step::kOn;
  }
  if (sock_err_already_connected(-r)) {
    ETH_STORE(c, status, kStatusAlreadyConnected);
    ETH_STORE(c, connect_state, kConnectedAlready);
    eth_sleep_ms(5);
    capture_event(c, kRx, kEvClientAlreadyConnected, uint32_t(-r), kStatusAlreadyConnected, 0);
    return Step::kAgain;
  }
  if (!sock_err_would_block(-r) && !sock_err_invalid(-r)) {
    trace_printf("C bad response from connect: %d\n", -r);
    capture_event(c, kRx, kEvClientConnectError, uint32_t(-r), 0, 0);
    if (!replace_failed(c)) return Step::kGiveUp;
    *tcp = int(ETH_LOAD(c, tcp_socket));
    p->attempt = 0;  // the next try follows the next time-out
  }
  ETH_STORE(c, connect_state, kConnectPending);
  trace_printf("C awaiting accept after connect\n");
  capture_event(c, kRx, kEvClientConnectPending, 0, 0, 0);
  return Step::kOn;
}

// The attempt after a wait that timed out.
Step connect_after_wait(Connection* c, int tcp, ClientPass* p) {
  int r = p->last = sock_connect(tcp, &c->tcp_peer);
  if (r == 0) {
    ETH_STORE(c, status, kStatusConnectedAtOnce);
    ETH_STORE(c, accepted_valid, 1);
    capture_event(c, kRx, kEvConnectedLate, 7, c->is_server, 0);
    ETH_STORE(c, connect_state, kConnectedAfterWait);
    immediate_connect_trace(c);
    capture_event(c, kRx, kEvClientConnected, 0, 0, 0);
    return Step::kOn;
  }
  ETH_STORE(c, connect_state, kConnectFailed);
  capture_event(c, kRx, kEvClientLateConnectFail, uint32_t(-r), 0, 0);
  if (!sock_err_would_block(-r) && !sock_err_invalid(-r) && !sock_err_already_connected(-r) &&
      !replace_failed(c))
    return Step::kGiveUp;
  return Step::kOn;
}

// The server went away: a new socket for the next connect.
Step lose_server(Connection* c, int got, int* tcp) {
  if (ETH_LOAD(c, status) != kStatusDown) ETH_STORE(c, connect_state, kConnectLost);
  ETH_STORE(c, status, kStatusDown);
  ETH_STORE(c, accepted_valid, 0);
  capture_event(c, kRx, kEvClientTcpLost, uint32_t(got), 0, 0);
  eth_stream_drop_partial(c);
  if (!replace_failed(c)) return Step::kGiveUp;
  *tcp = int(ETH_LOAD(c, tcp_socket));
  capture_event(c, kRx, kEvConnectStepFail, 4, c->is_server, uint32_t(*tcp));
  return Step::kOn;
}

// The pending connect made the socket writable.
Step connect_finished(Connection* c, int tcp, const ClientPass& p) {
  // A refused connect also makes the socket writable: only a socket that has a peer and
  // no pending error is connected.
  int err = sock_pending_error(tcp);
  if (err == 0 && sock_peer_name(tcp, nullptr) == 0) {
    trace_printf("C tcp writeable (must be client)\n");
    ETH_STORE(c, status, kStatusConnectDone);
    ETH_STORE(c, accepted_valid, 2);
    ETH_STORE(c, connect_state, kConnectedWritable);
    capture_event(c, kRx, kEvClientConnectDone, uint32_t(p.last), 0, 0);
  } else if (err != 0) {
    capture_event(c, kRx, kEvClientConnectError, uint32_t(err), 0, 0);
    if (!replace_failed(c)) return Step::kGiveUp;
  }
  return Step::kOn;
}

SelectBits bits(bool tcp, bool udp) { return SelectBits{false, tcp, udp}; }

}  // namespace

void eth_client_thread(Connection* c, int wake) {
  eth_worker_start(c, "Client", kEvClientUdpLocal);
  ClientPass p = {1, sock_set_nonblocking(int(ETH_LOAD(c, tcp_socket)), 1)};
  if (p.last < 0) {
    trace_printf("C bad response from ioctlsocket: %d\n", -p.last);
    capture_event(c, kRx, kEvClientNonblockFail, uint32_t(-p.last), 0, 0);
  }
  trace_printf("C try connect on %d\n", int(ETH_LOAD(c, tcp_socket)));
  ETH_STORE(c, connect_state, kConnectStart);
  ETH_STORE(c, status, kStatusDown);
  const bool udp_only = c->udp_only != 0;
  Step step = Step::kOn;

  while (step != Step::kGiveUp) {
    if (!ETH_LOAD(c, run)) return eth_worker_end(c);
    int tcp = int(ETH_LOAD(c, tcp_socket));
    const int udp = int(ETH_LOAD(c, udp_socket));
    int got = 0;
    if (eth_handback_take(c, eth_data_socket(c), &got)) {
      // The application's receive found the end: the rest of the pass that would have
      // read it.
      p.attempt = 0;
      step = lose_server(c, got, &tcp);
      continue;
    }
    if (p.attempt && wants_connect(c)) {
      step = connect_now(c, &tcp, &p);
      if (step != Step::kOn) continue;
    }

    const bool up = ETH_LOAD(c, status) != kStatusDown;
    const int lent_ms = up && !udp_only ? eth_lend_wait_ms(c) : -1;
    const bool want_read = up && !udp_only && lent_ms < 0;
    const bool want_write = !up && p.attempt && !udp_only;
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = udp;
    if (want_read || want_write) {
      set.fd[1] = tcp;
      set.want_write[1] = want_write;
    }
    if (!p.attempt) {
      eth_select_note(c, kClient, 0, true, want_write, bits(want_read, true),
                      bits(want_write, false));
    }
    int n = 0;
    EthPass pass = eth_worker_wait(c, kClient, wake, &set, &n,
                                   lent_ms > 0 && lent_ms < kSelectMs ? lent_ms : kSelectMs);
    if (pass == EthPass::kStop) return eth_worker_end(c);
    if (pass == EthPass::kTimeout) {
      p.attempt = 1;
      if (wants_connect(c)) step = connect_after_wait(c, tcp, &p);
    }
    if (pass != EthPass::kReady) continue;

    p.attempt = 0;
    const bool tcp_in = set.readable[1] && want_read;
    const bool udp_in = set.readable[0];
    const bool tcp_out = set.writable[1] && want_write;
    eth_select_note(c, kClient, n, false, want_write, bits(tcp_in, udp_in), bits(tcp_out, false));
    if (tcp_in && !udp_only && ETH_LOAD(c, status) != kStatusDown &&
        eth_stream_receive(c, kClient, tcp, &got)) {
      step = lose_server(c, got, &tcp);
      if (step == Step::kGiveUp) continue;
    }
    if (udp_in && !eth_datagram_receive(c, kClient, udp, &p.attempt)) continue;
    if (tcp_out && !udp_only) step = connect_finished(c, tcp, p);
  }
  // Only reached when no TCP socket could be made again.
  capture_close(c);
  eth_worker_end(c);
}

}  // namespace qc
