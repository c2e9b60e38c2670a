// An IPv4 socket address as plain bytes: the same 16 bytes as the system's own
// (family, port in network order, address in network order, padding), so code above
// the seam can keep addresses without OS headers.
#pragma once
#include <cstdint>

#pragma pack(push, 1)
struct SockAddr4 {
  uint16_t family;
  uint16_t port_be;
  uint8_t addr[4];
  uint8_t zero[8];
};
#pragma pack(pop)
