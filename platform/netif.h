// Network: the adapters and their addresses, and starting the tools that change an
// address.
#pragma once
#include <cstddef>

struct PlatNetIf {
  char name[64];
  unsigned index;
  int if_type;    // IANA ifType: 6 ethernet, 71 IEEE 802.11
  int wireless;   // 1 wireless, 0 wired, -1 unknown (the name has to tell)
  int connected;  // the link is up with a carrier
};

struct PlatNetAddr {
  unsigned if_index;
  unsigned char addr[4];  // network order: first byte first
  int dynamic;            // leased (DHCP), not configured for good
  int disconnected;       // the interface carrying it has no link
};

// The adapters, loopback excluded, in the system's order: on Linux the ethernet-like
// ones with their kind; on Windows every one, its friendly name telling the kind.
// Returns 0, or the system's error number.
int plat_netif_list(PlatNetIf* out, int max, int* count);

// Every IPv4 address row of the host, in the system's order. Returns 0 or an error number.
int plat_netif_addrs(PlatNetAddr* out, int max, int* count);

// Own codes are negative, system errors positive.
enum { PLAT_NETIF_NONE = -1 };  // no such address or connection

// 1 when NetworkManager runs on this machine.
int plat_nm_running();

// NetworkManager's connection on device ifname. Returns 0, PLAT_NETIF_NONE, or the
// system's error number.
int plat_nm_connection(const char* ifname, char* out, size_t size);

// 1 when the process may change addresses itself (no elevation needed).
int plat_is_privileged();

// How this system changes an adapter's address: with netsh (its argument text goes to
// plat_run_elevated), or with its own tools (NetworkManager, or ip and a DHCP client).
enum { PLAT_ADDR_NETSH = 0, PLAT_ADDR_OWN_TOOLS = 1 };
int plat_address_tool();

// Runs program with the argument text params (blanks separate, double quotes group, as
// a Windows program reads its command line), elevated unless plat_is_privileged(): the
// "runas" verb on Windows, which may ask the user; pkexec on Linux. With wait set, waits
// for it to end and puts its exit code into *exit_code. Returns 0 once it started (and,
// with wait, ended), or the system's error number: a missing program gives the system's
// not-found number; a refused elevation is ERROR_CANCELLED on Windows and pkexec's exit
// code (126) on Linux.
int plat_run_elevated(const char* program, const char* params, int wait, int* exit_code);
