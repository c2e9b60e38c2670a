// Network facts for the link doctor: every adapter with its kind and link state, the
// route the system would take to an address, and the neighbour (ARP) entry of an
// address after a probe. Plain records; the judgement is the caller's.
#pragma once
#include <cstdint>

enum PlatAdapterKind {
  PLAT_KIND_UNKNOWN = 0,
  PLAT_KIND_WIRED = 1,
  PLAT_KIND_WIRELESS = 2,
  PLAT_KIND_VIRTUAL = 3,  // no hardware behind it: bridges, tunnels, VPN, hypervisor adapters
};

struct PlatAdapterFacts {
  char name[64];
  char driver[64];  // what told the kind: the driver or device type ("e1000e", "veth"); may be ""
  unsigned index;
  int kind;         // PlatAdapterKind
  int up;           // switched on (administratively up)
  int carrier;      // the link has a carrier (cable in, the other end powered)
  int naddrs;
  uint8_t addrs[4][4];  // its IPv4 addresses, first byte first
  uint8_t prefix[4];    // the prefix length of each
};

// Every adapter except loopback, in the system's order, with up to four IPv4 addresses
// each. Returns 0 or the system's error number.
int plat_adapter_facts(PlatAdapterFacts* out, int max, int* count);

struct PlatRoute {
  unsigned if_index;    // the adapter it leaves by
  int via_gateway;      // 1 when it goes through a router
  uint8_t gateway[4];   // that router
  uint8_t source[4];    // the address this computer would send from (0.0.0.0 unknown)
};

// The route to dst. Returns 0, PLAT_ROUTE_NONE when the system has none, or the
// system's error number.
enum { PLAT_ROUTE_NONE = -1 };
int plat_route_to(const uint8_t dst[4], PlatRoute* out);

enum PlatNeighState {
  PLAT_NEIGH_NONE = 0,        // no entry: nothing was asked yet
  PLAT_NEIGH_INCOMPLETE = 1,  // asked, no answer (yet)
  PLAT_NEIGH_REACHABLE = 2,   // answered with a hardware address
};

struct PlatNeighbour {
  int state;        // PlatNeighState
  uint8_t mac[6];   // when reachable
};

// Asks the network who has addr (an ARP request on the adapter the route names) and
// waits up to wait_ms for the answer. Returns 0 with *out filled, or the system's error
// number.
int plat_neighbour_probe(const uint8_t addr[4], unsigned if_index, int wait_ms, PlatNeighbour* out);
