// PLACEHOLDER until the transports exist: the ethernet transport replaces this file
// with the real connect/disconnect dispatch (eth_disconnect / serial_close by transport).
#include "commlib/core.h"

extern "C" int conn_disconnect(Connection* c) {
  if (!conn_is_valid(c)) return 0;
  return 0;  // no transport can be connected yet: nothing to disconnect
}
