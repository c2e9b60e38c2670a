// Ethernet set-up and tear-down: eth_connect starts a worker on the block, eth_disconnect
// stops it and closes what it used.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/events.h"
#include "commlib/states.h"
#include "commlib/transport.h"
#include "platform/sockets.h"

namespace qc {

namespace {

// Releases what a previous connect left behind (a running worker, open sockets):
// two workers on one block would fight over its buffers.
void release_previous(Connection* c) {
  if (ETH_LOAD(c, thread) != 0 || ETH_LOAD(c, tcp_socket) != 0 || ETH_LOAD(c, udp_socket) != 0 ||
      ETH_LOAD(c, accepted_socket) != 0)
    eth_disconnect(c);
}

// The steps of a connect that can fail; each failure is recorded and returned as its
// number (a failed lookup returns the resolver's code instead).
enum ConnectStep { kStepLookup = 1, kStepUdpSocket, kStepUdpBind, kStepTcpSocket, kStepTcpBind };

// Looks the address up, makes and binds both sockets. Returns 0 or the failed step.
int open_sockets(Connection* c, const char* address, int p, int u, int* lookup_code) {
  const char* use = c->loopback ? "127.0.0.1" : address;
  trace_printf("Connect data T%d U%d %s\n", p, u, use);

  uint8_t addrs[1][4];
  int found = 0;
  *lookup_code = sock_lookup(use, addrs, 1, &found);
  // The whole address is looked up; only the kept copy is cut. A reconnect passes
  // host itself, which is then already in place.
  if (use != c->host) snprintf(c->host, sizeof c->host, "%s", use);
  if (*lookup_code != 0) return kStepLookup;
  NetAddr4 tcp_peer, udp_peer;
  sock_addr_make(&tcp_peer, addrs[0], uint16_t(c->is_server ? p + 1 : p));
  sock_addr_make(&udp_peer, addrs[0], uint16_t(c->is_server ? p : p + 1));
  std::memcpy(&c->tcp_peer, &tcp_peer, sizeof tcp_peer);
  eth_peer_set(c, udp_peer);

  int us = try_socket(kSockDatagram);
  if (us < 0) return kStepUdpSocket;
  ETH_STORE(c, udp_socket, us);
  sock_set_reuseaddr(us);
  if (sock_bind_any(us, uint16_t(c->is_server ? u + 1 : u)) != 0) return kStepUdpBind;

  int ts = try_socket(kSockStream);
  if (ts < 0) return kStepTcpSocket;
  ETH_STORE(c, tcp_socket, ts);
  capture_event(c, kRx, kEvSocketMade, 9, c->is_server, uint32_t(ts));
  sock_set_reuseaddr(ts);
  sock_set_nodelay(ts);

  if (c->is_server) {
    if (sock_bind_any(ts, uint16_t(p)) != 0) return kStepTcpBind;
    NetAddr4 bound;
    if (sock_local_name(ts, &bound) == 0) std::memcpy(&c->tcp_peer, &bound, sizeof bound);
  }
  return 0;
}

// Starts the server's worker and waits until it listens. Returns 0, or 9 when it did
// not start or did not get to listen in time.
int start_server(Connection* c) {
  ETH_STORE(c, listen_state, kListenStarting);
  uint32_t h = eth_thread_start(eth_server_thread, c);
  if (h == 0) {
    // No worker: nothing would ever listen. Reported like a start that timed out.
    ETH_STORE(c, run, 0);
    ETH_STORE(c, listen_state, kListenGivenUp);
    return 9;
  }
  ETH_STORE(c, thread, h);
  std::this_thread::yield();
  uint32_t limit = c->server_started ? 1000 : 5000;
  uint32_t start = clock_ms();
  while (ETH_LOAD(c, listen_state) != kListening && clock_ms() - start < limit) eth_sleep_ms(1);
  c->server_started = 1;
  if (ETH_LOAD(c, listen_state) != kListening) {
    ETH_STORE(c, listen_state, kListenGivenUp);
    return 9;
  }
  return 0;
}

}  // namespace

}  // namespace qc

using namespace qc;

extern "C" int eth_connect(Connection* c, const char* address, int tcp_port, int udp_port) {
  if (!conn_is_valid(c)) return 1;
  if (!address) address = "";
  release_previous(c);

  if (sock_hostname(c->local_hostname, sizeof c->local_hostname) != 0) c->local_hostname[0] = 0;
  uint8_t ip[4];
  if (sock_local_ipv4(ip) == 0) std::memcpy(c->local_ip, ip, 4);

  capture_open(c, kRx, c->is_server ? "SRX" : "CRX");
  capture_open(c, kTx, c->is_server ? "STX" : "CTX");
  trace_printf("%c connect request\n", role_letter(c));

  int p = tcp_port != 0 ? tcp_port : kDefaultPort;
  int u = udp_port != 0 ? udp_port : p;
  c->tcp_port = uint32_t(p);
  c->udp_port = uint32_t(u);

  int lookup_code = 0;
  int failed = open_sockets(c, address, p, u, &lookup_code);
  if (failed == 0) {
    trace_printf("%c thread started\n", role_letter(c));
    ETH_STORE(c, run, 1);
    if (c->is_server) return start_server(c);
    uint32_t h = eth_thread_start(eth_client_thread, c);
    if (h != 0) {
      ETH_STORE(c, thread, h);
      return 0;
    }
    // No worker thread: fail like a socket step, so the caller sees a set-up error.
    ETH_STORE(c, run, 0);
    failed = kStepTcpSocket;
  }
  capture_event(c, kRx, kEvConnectStepFail, uint32_t(failed), c->is_server, 0);
  capture_close(c);
  return failed == kStepLookup ? lookup_code : failed;
}

extern "C" int eth_disconnect(Connection* c) {
  if (!conn_is_valid(c)) return 1;
  capture_event(c, kRx, kEvDisconnect, uint32_t(ETH_LOAD(c, status)), ETH_LOAD(c, thread_running),
                ETH_LOAD(c, accepted_socket));
  ETH_STORE(c, run, 0);
  uint32_t h = ETH_LOAD(c, thread);
  eth_thread_wake(h);
  uint32_t start = clock_ms();
  // The wake-up stops the worker within microseconds: look often, not once a millisecond.
  while (ETH_LOAD(c, thread_running) && clock_ms() - start < 600)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  trace_printf("%c disconnect (%d)\n", role_letter(c), int(ETH_LOAD(c, thread_running)));
  // There is no safe way to kill a thread. The worker blocks only in the wait (which
  // the wake-up ends) and in short calls, so joining is bounded; past the 600 ms it
  // is still joined rather than abandoned, because it must never touch a block the
  // caller may free as soon as we return.
  eth_thread_join(h);
  ETH_STORE(c, thread, 0);
  ETH_STORE(c, thread_running, 0);

  int ts = int(ETH_LOAD(c, tcp_socket));
  if (ts > 2) sock_close(ts);
  capture_event(c, kRx, kEvSocketClosed, 6, c->is_server, uint32_t(ts));
  ETH_STORE(c, tcp_socket, 0);
  int us = int(ETH_LOAD(c, udp_socket));
  if (us > 2) sock_close(us);
  capture_event(c, kRx, kEvAcceptedClosed, 5, c->is_server, ETH_LOAD(c, accepted_socket));
  ETH_STORE(c, udp_socket, 0);
  int as = int(ETH_LOAD(c, accepted_socket));
  if (as > 2) sock_close(as);
  ETH_STORE(c, accepted_socket, 0);
  ETH_STORE(c, accepted_valid, 0);
  eth_stream_drop_partial(c);
  capture_close(c);
  return 0;
}
