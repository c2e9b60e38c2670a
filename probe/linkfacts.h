// Facts about the ethernet game link, gathered the same way on either computer: the
// adapters that hold the link's subnet, the route to the other computer and the adapter
// it leaves by, whether anything answers at its address on the wire, a classified TCP
// connect to the game port, the presence beacons heard, the firewall's blocking rules
// and who listens on a port. Each procedure is bounded in time and only reports.
#pragma once
#include <cstdint>

#include "platform/firewall.h"
#include "platform/holders.h"
#include "platform/netdiag.h"

enum { LINK_ADAPTERS = 16 };

struct LinkAdapters {
  int error;                 // the system's number when the adapters could not be listed
  int count;
  PlatAdapterFacts all[LINK_ADAPTERS];
  int in_subnet[LINK_ADAPTERS];  // indexes into all[] of those with an address in the /24
  int nsubnet;
  int expected;              // index into all[] of the one that should carry the link, -1 none
};

// Lists the adapters and picks those with an address in the /24 of peer. The expected
// one prefers a carrier, then hardware, then the system's order.
void link_adapters(const uint8_t peer[4], LinkAdapters* out);

// "wired", "wireless", "virtual" or "unknown".
const char* link_kind_name(int kind);

struct LinkRoute {
  int result;     // 0, PLAT_ROUTE_NONE or the system's error number
  PlatRoute route;
  char ifname[64];  // the adapter it leaves by ("" when unknown)
};
void link_route(const uint8_t peer[4], const LinkAdapters* adapters, LinkRoute* out);

struct LinkNeighbour {
  int result;            // 0 or the system's error number
  uint8_t asked[4];      // the address asked for: the peer, or the router on the way
  PlatNeighbour neigh;
};
void link_neighbour(const uint8_t peer[4], const LinkRoute* route, int wait_ms, LinkNeighbour* out);

enum LinkTcpOutcome {
  TCP_CONNECTED = 0,
  TCP_REFUSED = 1,      // the computer answered that nothing listens
  TCP_SILENT = 2,       // no answer within the wait
  TCP_UNREACHABLE = 3,  // no route, or the network said the host cannot be reached
  TCP_BLOCKED_HERE = 4, // this computer's own rules refused the attempt
  TCP_FAILED = 5,       // another error (the number says which)
};
struct LinkTcp {
  int outcome;  // LinkTcpOutcome
  int error;    // the system's number behind it (0 when connected or silent)
  int ms;       // how long it took
  int wait_ms;  // how long it was given
};
void link_tcp_connect(const uint8_t peer[4], int port, int wait_ms, LinkTcp* out);

struct LinkBeacons {
  int error;        // the system's number when the port could not be opened (in use, say)
  int heard;        // beacons received
  uint8_t from[4];  // the address the first came from
  char host[64];    // the name it carries
  int wait_ms;      // how long it was given
};
// Listens on UDP port (where the library's server sends its beacons before a client
// connects) for up to wait_ms, stopping at the first beacon, or when the wake handle
// (sock_wake_create; -1 none) is signalled.
void link_beacons(int port, int wait_ms, int wake, LinkBeacons* out);

// The firewall rules that block the game port (TCP and the two UDP ports).
void link_firewall(int port, PlatFirewall* out);

struct LinkListener {
  int result;  // 0 or the system's error number
  int found;
  PlatHolder holder;
};
void link_listener(int port, LinkListener* out);

// 1 when addr is loopback or one of this computer's own addresses in adapters.
int link_is_local(const uint8_t addr[4], const LinkAdapters* adapters);
