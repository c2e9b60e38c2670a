// The server worker thread: listens for one TCP client at a time, receives stream
// messages and datagrams, and announces itself with beacons while nobody is connected.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "platform/sockets.h"

namespace qc {

namespace {

// Returns whether the socket now listens. One that does not is never ready for an
// accept, yet poll reports it ready (hung up) on every pass: the caller leaves it out
// of the wait, so datagrams and beacons go on and accept is tried only on a poke.
bool do_listen(Connection* c, int state) {
  ETH_STORE(c, listen_state, state);
  int r = sock_listen(int(ETH_LOAD(c, tcp_socket)), -1);
  ETH_STORE(c, listen_state, 0);
  if (r < 0) {
    trace_printf("S listen error: %d\n", -r);
    capture_event(c, kRx, 201, uint32_t(-r), 0, 0);
  }
  return r == 0;
}

// Drops the accepted client: its socket closed, status back to "no client".
void drop_client(Connection* c, uint16_t code, uint32_t first) {
  int as = int(ETH_LOAD(c, accepted_socket));
  eth_retire_socket(as);
  capture_event(c, kRx, code, first, c->is_server, uint32_t(as));
  ETH_STORE(c, accepted_valid, 0);
  ETH_STORE(c, accepted_socket, 0);
  ETH_STORE(c, status, 0);
  c->beacon_count = 0;
}

void send_beacon(Connection* c, uint8_t* beacon) {
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
  capture_event(c, kTx, 43, le32(beacon), le32(beacon + 68), le32(beacon + 4));
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
  capture_event(c, kRx, 211, uint32_t(r), uint32_t(accept_now), 0);
  // The listening socket is non-blocking: a poke with no connection waiting must not
  // hold the worker in accept (it would stop answering datagrams and disconnect).
  // Nothing waiting is not a failure; the client's connection makes the listening
  // socket readable and is accepted then.
  if (r < 0 && sock_err_would_block(-r)) return;
  if (r >= 0) {
    trace_printf("S TCP connected immediately\n");
    capture_event(c, kRx, 203, uint32_t(r), 0, 0);
    int old = int(ETH_LOAD(c, accepted_socket));
    if (old > 2) {
      eth_retire_socket(old);
      capture_event(c, kRx, 51, 10, c->is_server, uint32_t(old));
    }
    sock_set_nodelay(r);
    std::memcpy(&c->tcp_peer, &peer, sizeof peer);
    {
      // A half message of a previous client can never complete on the new stream.
      Guard g(lock_queue());
      c->rx_fill = 0;
    }
    ETH_STORE(c, accepted_valid, 1);
    ETH_STORE(c, accepted_socket, r);
    capture_event(c, kRx, 50, 4, c->is_server, uint32_t(r));
    NetAddr4 to;
    sock_addr_make(&to, peer.addr, uint16_t(c->tcp_port));
    eth_peer_set(c, to);
    ETH_STORE(c, status, 3);
    ETH_STORE(c, connect_state, -3);
    return;
  }
  trace_printf("S accept error: %d\n", -r);
  capture_event(c, kRx, 212, uint32_t(-r), 0, 0);
  // Some failures (out of descriptors) leave the connection waiting and the listening
  // socket readable: pause briefly so that the loop cannot spin on them.
  eth_sleep_ms(10);
  if (ETH_LOAD(c, accepted_socket) != 0) {
    drop_client(c, 51, 3);
    trace_printf("S disconnect on accept\n");
    capture_event(c, kRx, 213, uint32_t(-r), 0, 0);
    *listening = do_listen(c, 2);
  }
}

SelectBits bits(bool accepted, bool tcp, bool udp) { return SelectBits{accepted, tcp, udp}; }

}  // namespace

void eth_server_thread(Connection* c, int wake) {
  eth_worker_start(c, "Slave", 200);
  const int listener = int(ETH_LOAD(c, tcp_socket));
  const int udp = int(ETH_LOAD(c, udp_socket));
  trace_printf("S Listening on %d\n", listener);
  c->beacon_time = clock_ms();
  sock_set_nonblocking(listener, 1);
  bool listening = do_listen(c, 1);
  int idle = 0;
  uint8_t beacon[kBeaconSize];
  std::memset(beacon, 0, sizeof beacon);
  uint8_t dgram[kRxBufSize];
  uint8_t chunk[kRxBufSize];

  while (ETH_LOAD(c, run)) {
    const int accepted = ETH_LOAD(c, accepted_valid) ? int(ETH_LOAD(c, accepted_socket)) : 0;
    SockWaitSet set;
    std::memset(&set, 0, sizeof set);
    set.fd[0] = listening ? listener : 0;
    set.fd[1] = udp;
    set.fd[2] = accepted;
    if (!idle) {
      trace_select(c, 0, false, bits(accepted != 0, listening, true), bits(false, false, false),
                   "S before");
      capture_select_event(c, 205, bits(accepted != 0, listening, true), nullptr);
    }
    int woken = 0;
    int n = sock_wait(&set, wake, kSelectMs, &woken);
    if (!ETH_LOAD(c, run)) break;
    if (n < 0) {
      if (sock_err_net_down(-n)) continue;
      trace_printf("S error : %d\n", -n);
      capture_event(c, kRx, 206, uint32_t(-n), 0, 0);
      if (ETH_LOAD(c, accepted_socket) != 0) {
        int was = ETH_LOAD(c, status);
        int as = int(ETH_LOAD(c, accepted_socket));
        eth_retire_socket(as);
        capture_event(c, kRx, 53, 1, c->is_server, uint32_t(as));
        ETH_STORE(c, accepted_valid, 0);
        if (was != 0) ETH_STORE(c, connect_state, 6);
        ETH_STORE(c, accepted_socket, 0);
        ETH_STORE(c, status, 0);
      }
      continue;
    }
    if (n == 0) {
      if (woken) continue;
      idle = 1;
      if (ETH_LOAD(c, status) == 0 && !c->no_beacon && beacon_due(c)) {
        if (c->beacon_count < 20) ++c->beacon_count;
        c->beacon_time = clock_ms();
        send_beacon(c, beacon);
      }
      continue;
    }

    idle = 0;
    const bool conn_in = accepted != 0 && set.readable[2];
    const bool tcp_in = listening && set.readable[0];
    const bool udp_in = set.readable[1];
    trace_select(c, n, false, bits(conn_in, tcp_in, udp_in), bits(false, false, false), "S after");
    capture_select_event(c, 207, bits(conn_in, tcp_in, udp_in), nullptr);

    if (conn_in) {
      int got = sock_recv(accepted, chunk, eth_stream_room(c));
      if (got < 0 && sock_err_would_block(-got)) {
        // readiness without data: nothing to do
      } else if (got < 1) {
        drop_client(c, 53, 2);
        trace_printf("S disconnect\n");
        capture_event(c, kRx, 209, uint32_t(got), 0, 0);
      } else {
        trace_printf("S tcp message received\n");
        capture_event(c, kRx, 208, uint32_t(got), 0, 0);
        eth_stream_append(c, chunk, got, kServerStreamEvents);
      }
    }

    int accept_now = 0;
    if (udp_in) {
      int full = 0;
      int got = eth_receive_datagram(c, udp, dgram, sizeof dgram, 210, &full);
      if (got == 0) continue;
      if (got > 0) eth_server_datagram(c, dgram, got, full, &accept_now);
    }

    if (tcp_in || accept_now) accept_client(c, accept_now, &listening);
  }
  eth_retire_flush();
  ETH_STORE(c, thread_running, 0);
}

}  // namespace qc
