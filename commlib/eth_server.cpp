// The server worker thread: listens for one TCP client at a time, receives stream
// messages and datagrams, and announces itself with beacons while nobody is connected.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/events.h"
#include "commlib/states.h"
#include "platform/sockets.h"

namespace qc {

const EthSide kEthServerSide = {'S', "S before", "S after",
                                kEvServerSelectBefore, kEvServerSelectAfter, kEvServerSelectError,
                                true, 0, kEvServerTcpReceive, kEvServerUdpReceive,
                                kServerStreamEvents, eth_server_datagram};

namespace {

const EthSide& kServer = kEthServerSide;

// Returns whether the socket now listens. One that does not is never ready for an
// accept, yet poll reports it ready (hung up) on every pass: the caller leaves it out
// of the wait, so datagrams and beacons go on and accept is tried only on a poke.
bool do_listen(Connection* c, ListenState state) {
  ETH_STORE(c, listen_state, state);
  int r = sock_listen(int(ETH_LOAD(c, tcp_socket)), -1);
  ETH_STORE(c, listen_state, kListening);
  if (r < 0) {
    trace_printf("S listen error: %d\n", -r);
    capture_event(c, kRx, kEvServerListenFail, uint32_t(-r), 0, 0);
  }
  return r == 0;
}

enum DropKind {
  kClientLeft,  // the client closed, or a new one's accept failed: beacons start afresh
  kWaitFailed,  // the wait failed: the loss shows in connect_state, the beacon pace stays
};

// Drops the accepted client: its socket retired, status back to "no client".
void drop_client(Connection* c, uint16_t code, uint32_t first, DropKind kind) {
  const int was = ETH_LOAD(c, status);
  int as = int(ETH_LOAD(c, accepted_socket));
  eth_retire_socket(c, as);
  capture_event(c, kRx, code, first, c->is_server, uint32_t(as));
  eth_stream_drop_partial(c);
  ETH_STORE(c, accepted_valid, 0);
  if (kind == kWaitFailed && was != kStatusDown) ETH_STORE(c, connect_state, kServerLostState);
  ETH_STORE(c, accepted_socket, 0);
  ETH_STORE(c, status, kStatusDown);
  if (kind == kClientLeft) c->beacon_count = 0;
}

// The next beacon: once a second for the first twenty, then every five seconds.
void send_beacon(Connection* c, uint8_t* beacon) {
  if (c->beacon_count < 20) ++c->beacon_count;
  c->beacon_time = clock_ms();
  if (beacon[0] != kTypeBeacon || beacon[3] != 0 || beacon[4] == 0) {
    std::memset(beacon, 0, kBeaconSize);
    beacon[0] = kTypeBeacon;
    beacon[2] = kBeaconSize;
    char name[64];
    if (sock_hostname(name, sizeof name) != 0) name[0] = 0;
    std::memcpy(beacon + 4, name, std::strlen(name));
  }
  beacon[1] = uint8_t(beacon[1] + 1);
  NetAddr4 peer;
  eth_peer_get(c, &peer);
  sock_sendto(int(ETH_LOAD(c, udp_socket)), beacon, kBeaconSize, &peer);
  capture_event(c, kTx, kEvBeaconSent, le32(beacon), le32(beacon + 68), le32(beacon + 4));
}

bool beacon_due(Connection* c) {
  uint32_t wait = c->beacon_count < 20 ? 1000 : 5000;
  return clock_ms() - c->beacon_time > wait;
}

void accept_client(Connection* c, int accept_now, bool* listening) {
  NetAddr4 peer;
  std::memset(&peer, 0, sizeof peer);
  int r = sock_accept(int(ETH_LOAD(c, tcp_socket)), &peer);
  trace_printf("S accept answer: %d\n", r);
  capture_event(c, kRx, kEvServerAcceptTry, uint32_t(r), uint32_t(accept_now), 0);
  // The listening socket is non-blocking: a poke with no connection waiting must not
  // hold the worker in accept (it would stop answering datagrams and disconnect).
  // Nothing waiting is not a failure; the client's connection makes the listening
  // socket readable and is accepted then.
  if (r < 0 && sock_err_would_block(-r)) return;
  if (r >= 0) {
    trace_printf("S TCP connected immediately\n");
    capture_event(c, kRx, kEvServerAccepted, uint32_t(r), 0, 0);
    int old = int(ETH_LOAD(c, accepted_socket));
    if (old > 2) {
      eth_retire_socket(c, old);
      capture_event(c, kRx, kEvSocketClosed, 10, c->is_server, uint32_t(old));
    }
    sock_set_nodelay(r);
    std::memcpy(&c->tcp_peer, &peer, sizeof peer);
    eth_stream_drop_partial(c);  // the previous client's, replaced or left before
    ETH_STORE(c, accepted_valid, 1);
    ETH_STORE(c, accepted_socket, r);
    capture_event(c, kRx, kEvSocketMade, 4, c->is_server, uint32_t(r));
    NetAddr4 to;
    sock_addr_make(&to, peer.addr, uint16_t(c->tcp_port));
    eth_peer_set(c, to);
    ETH_STORE(c, status, kStatusAccepted);
    ETH_STORE(c, connect_state, kServerAcceptedState);
    return;
  }
  trace_printf("S accept error: %d\n", -r);
  capture_event(c, kRx, kEvServerAcceptFail, uint32_t(-r), 0, 0);
  // Some failures (out of descriptors) leave the connection waiting and the listening
  // socket readable: pause briefly so that the loop cannot spin on them.
  eth_sleep_ms(10);
  if (ETH_LOAD(c, accepted_socket) != 0) {
    drop_client(c, kEvSocketClosed, 3, kClientLeft);
    trace_printf("S disconnect on accept\n");
    capture_event(c, kRx, kEvServerAcceptDrop, uint32_t(-r), 0, 0);
    *listening = do_listen(c, kListenAgain);
  }
}

SelectBits bits(bool accepted, bool tcp, bool udp) { return SelectBits{accepted, tcp, udp}; }

}  // namespace

void eth_server_thread(Connection* c, int wake) {
  eth_worker_start(c, "Slave", kEvServerUdpLocal);
  const int listener = int(ETH_LOAD(c, tcp_socket));
  const int udp = int(ETH_LOAD(c, udp_socket));
  trace_printf("S Listening on %d\n", listener);
  c->beacon_time = clock_ms();
  sock_set_nonblocking(listener, 1);
  bool listening = do_listen(c, kListenFirst);
  bool idle = false;
  uint8_t beacon[kBeaconSize];
  std::memset(beacon, 0, sizeof beacon);
  const SelectBits none = bits(false, false, false);

  while (ETH_LOAD(c, run)) {
    int got = 0;
    if (eth_handback_take(c, eth_data_socket(c), &got)) {
      // The application's receive found the client gone: the rest of that pass.
      idle = false;
      drop_client(c, kEvAcceptedClosed, 2, kClientLeft);
      trace_printf("S disconnect\n");
      capture_event(c, kRx, kEvServerClientGone, uint32_t(got), 0, 0);
      continue;
    }
    const int client = ETH_LOAD(c, accepted_valid) ? int(ETH_LOAD(c, accepted_socket)) : 0;
    const int lent_ms = client ? eth_lend_wait_ms(c) : -1;
    const int accepted = lent_ms < 0 ? client : 0;
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = listening ? listener : 0;
    set.fd[1] = udp;
    set.fd[2] = accepted;
    if (!idle)
      eth_select_note(c, kServer, 0, true, false, bits(accepted != 0, listening, true), none);
    int n = 0;
    EthPass pass = eth_worker_wait(c, kServer, wake, &set, &n,
                                   lent_ms > 0 && lent_ms < kSelectMs ? lent_ms : kSelectMs);
    if (pass == EthPass::kStop) break;
    if (pass == EthPass::kFailed && ETH_LOAD(c, accepted_socket) != 0)
      drop_client(c, kEvAcceptedClosed, 1, kWaitFailed);
    if (pass == EthPass::kTimeout) {
      idle = true;
      if (ETH_LOAD(c, status) == kStatusDown && !c->no_beacon && beacon_due(c))
        send_beacon(c, beacon);
    }
    if (pass != EthPass::kReady) continue;

    idle = false;
    const bool conn_in = accepted != 0 && set.readable[2];
    const bool tcp_in = listening && set.readable[0];
    const bool udp_in = set.readable[1];
    eth_select_note(c, kServer, n, false, false, bits(conn_in, tcp_in, udp_in), none);
    if (conn_in && eth_stream_receive(c, kServer, accepted, &got)) {
      drop_client(c, kEvAcceptedClosed, 2, kClientLeft);
      trace_printf("S disconnect\n");
      capture_event(c, kRx, kEvServerClientGone, uint32_t(got), 0, 0);
    }
    int accept_now = 0;
    if (udp_in && !eth_datagram_receive(c, kServer, udp, &accept_now)) continue;
    if (tcp_in || accept_now) accept_client(c, accept_now, &listening);
  }
  eth_worker_end(c);
}

}  // namespace qc
