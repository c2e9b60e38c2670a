// Connect and disconnect: choose the transport of a connection object.
#include <cstdio>
#include <cstring>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/ascii.h"


extern "C" int conn_connect(Connection* c, const char* transport, const char* address, int port,
                            int flags) {
  if (!conn_is_valid(c)) return 0;
  if (!transport) transport = "";
  if (!address) address = "";
  // What an earlier ethernet connect left (a worker, sockets) goes before the role
  // fields change: the worker reads them, and a serial link would never close them.
  if (c->transport == qc::kTransportEthernet &&
      (ETH_LOAD(c, thread) != 0 || ETH_LOAD(c, tcp_socket) != 0 || ETH_LOAD(c, udp_socket) != 0 ||
       ETH_LOAD(c, accepted_socket) != 0))
    eth_disconnect(c);
  c->serial_port = 0;

  char copy[41];
  snprintf(copy, sizeof copy, "%s", address);
  ascii_upper_text(copy);

  c->is_server = (flags & QCOMM_FLAG_SERVER) ? 1 : 0;
  c->loopback = (flags & QCOMM_FLAG_LOOPBACK) ? 1 : 0;
  c->no_beacon = (flags & QCOMM_FLAG_NO_BEACON) ? 1 : 0;
  c->udp_only = (flags & QCOMM_FLAG_UDP_ONLY) ? 1 : 0;
  if (ascii_same_nocase(address, "127.0.0.1")) c->loopback = 1;

  if (ascii_same_nocase(transport, "serial") || ascii_same_nocase(transport, "modem")) {
    c->transport = qc::kTransportSerial;
    c->serial_option = 0;
    c->beacon_count = 1;
    return serial_open(c, copy, port);
  }
  if (std::strncmp(transport, "ethernet", 8) == 0) {
    c->transport = qc::kTransportEthernet;
    return eth_connect(c, address, port, 0);
  }
  return QCOMM_CONNECT_UNKNOWN_TRANSPORT;
}

extern "C" int conn_disconnect(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  return c->transport == qc::kTransportEthernet ? eth_disconnect(c) : serial_close(c);
}
