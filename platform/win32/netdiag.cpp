// Windows body of the network facts: IP Helper's adapter table with each interface's
// row (whether hardware is behind it), GetBestRoute2 for the route, SendARP for the
// neighbour.
#include "platform/netdiag.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

IP_ADAPTER_ADDRESSES* adapter_list(int* err) {
  ULONG size = 16384;
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
    if (!list) {
      *err = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    ULONG rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_ALL_INTERFACES |
                                                 GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                 GAA_FLAG_SKIP_DNS_SERVER,
                                    nullptr, list, &size);
    if (rc == NO_ERROR) return list;
    std::free(list);
    *err = rc == ERROR_NO_DATA ? 0 : static_cast<int>(rc);
    if (rc != ERROR_BUFFER_OVERFLOW) return nullptr;
  }
  *err = ERROR_BUFFER_OVERFLOW;
  return nullptr;
}

void narrow(const wchar_t* w, char* out, size_t size) {
  out[0] = '\0';
  if (w && WideCharToMultiByte(CP_ACP, 0, w, -1, out, static_cast<int>(size), nullptr, nullptr) == 0) out[0] = '\0';
}

// The system says whether hardware is behind an interface; a tunnel or a software
// adapter (VPN, Hyper-V, VirtualBox host-only) is not.
int kind_of(const IP_ADAPTER_ADDRESSES* a) {
  MIB_IF_ROW2 row;
  std::memset(&row, 0, sizeof row);
  row.InterfaceLuid = a->Luid;
  bool hardware = GetIfEntry2(&row) == NO_ERROR ? row.InterfaceAndOperStatusFlags.HardwareInterface != 0
                                                : a->IfType == IF_TYPE_ETHERNET_CSMACD || a->IfType == IF_TYPE_IEEE80211;
  if (!hardware || a->IfType == IF_TYPE_TUNNEL || a->IfType == IF_TYPE_PPP) return PLAT_KIND_VIRTUAL;
  if (a->IfType == IF_TYPE_IEEE80211) return PLAT_KIND_WIRELESS;
  return PLAT_KIND_WIRED;
}

}  // namespace

int plat_adapter_facts(PlatAdapterFacts* out, int max, int* count) {
  if (!count || (!out && max > 0)) return ERROR_INVALID_PARAMETER;
  *count = 0;
  int err = 0;
  IP_ADAPTER_ADDRESSES* list = adapter_list(&err);
  if (!list) return err;
  for (IP_ADAPTER_ADDRESSES* a = list; a && *count < max; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    PlatAdapterFacts& f = out[(*count)++];
    std::memset(&f, 0, sizeof f);
    narrow(a->FriendlyName, f.name, sizeof f.name);
    if (!f.name[0]) std::snprintf(f.name, sizeof f.name, "%.63s", a->AdapterName ? a->AdapterName : "");
    narrow(a->Description, f.driver, sizeof f.driver);
    f.index = a->IfIndex;
    f.kind = kind_of(a);
    f.up = a->OperStatus != IfOperStatusDown || a->FirstUnicastAddress != nullptr;
    f.carrier = a->OperStatus == IfOperStatusUp;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u && f.naddrs < 4; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      std::memcpy(f.addrs[f.naddrs], &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
      f.prefix[f.naddrs++] = u->OnLinkPrefixLength;
    }
  }
  std::free(list);
  return 0;
}

int plat_route_to(const uint8_t dst[4], PlatRoute* out) {
  if (!dst || !out) return ERROR_INVALID_PARAMETER;
  std::memset(out, 0, sizeof *out);
  SOCKADDR_INET to, src;
  std::memset(&to, 0, sizeof to);
  std::memset(&src, 0, sizeof src);
  to.Ipv4.sin_family = AF_INET;
  std::memcpy(&to.Ipv4.sin_addr, dst, 4);
  MIB_IPFORWARD_ROW2 row;
  std::memset(&row, 0, sizeof row);
  DWORD rc = GetBestRoute2(nullptr, 0, nullptr, &to, 0, &row, &src);
  if (rc == ERROR_NETWORK_UNREACHABLE || rc == ERROR_HOST_UNREACHABLE || rc == ERROR_NOT_FOUND) return PLAT_ROUTE_NONE;
  if (rc != NO_ERROR) return static_cast<int>(rc);
  out->if_index = row.InterfaceIndex;
  if (row.NextHop.si_family == AF_INET && row.NextHop.Ipv4.sin_addr.s_addr != 0) {
    out->via_gateway = 1;
    std::memcpy(out->gateway, &row.NextHop.Ipv4.sin_addr, 4);
  }
  if (src.si_family == AF_INET) std::memcpy(out->source, &src.Ipv4.sin_addr, 4);
  return 0;
}

namespace {

struct ArpAsk {
  IPAddr dest;
  ULONG mac[2];
  ULONG len = 6;
  DWORD rc = ERROR_IO_PENDING;
  volatile LONG done = 0;
};

}  // namespace

// SendARP waits as long as the system's own resolution takes (seconds); it runs on a
// thread of its own, which the caller leaves behind once the wait is over.
int plat_neighbour_probe(const uint8_t addr[4], unsigned /*if_index*/, int wait_ms, PlatNeighbour* out) {
  if (!addr || !out) return ERROR_INVALID_PARAMETER;
  std::memset(out, 0, sizeof *out);
  auto ask = std::make_shared<ArpAsk>();
  std::memcpy(&ask->dest, addr, 4);
  try {
    std::thread([ask] {
      ask->rc = SendARP(ask->dest, 0, ask->mac, &ask->len);
      InterlockedExchange(&ask->done, 1);
    }).detach();
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  for (int waited = 0; waited < wait_ms && !InterlockedCompareExchange(&ask->done, 0, 0); waited += 20) Sleep(20);
  if (!InterlockedCompareExchange(&ask->done, 0, 0)) {
    out->state = PLAT_NEIGH_INCOMPLETE;
    return 0;
  }
  if (ask->rc == NO_ERROR && ask->len >= 6) {
    out->state = PLAT_NEIGH_REACHABLE;
    std::memcpy(out->mac, ask->mac, 6);
  } else {
    out->state = PLAT_NEIGH_INCOMPLETE;
  }
  return 0;
}
