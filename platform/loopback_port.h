// Loopback ports for tests and benchmarks (library lp_plat_loopback_port; no installed
// program links it): a free base port, sockets bound to it, and whole sends.
#pragma once
#include <cstddef>

// A base port P with TCP P, P + 1 and UDP P, P + 1 all free, so that runs can go side by
// side (picked at random, then checked), or 0. The ports stay below the kernel's range for
// outgoing connections: a connection made alongside (or a client's own connect that lands
// on the port it aims at) would otherwise take a server's port now and then.
int plat_free_port_base();

// A socket of type (SOCK_STREAM, SOCK_DGRAM) bound to port on every address, with
// SO_REUSEADDR only when asked; -1 when it cannot be had.
int plat_bound_socket(int type, int port, bool reuse = false);

// Sends all n bytes on a connected socket; false when the peer or the socket failed.
bool plat_send_all(int s, const void* data, size_t n);
