// The wired and wireless network adapters, as the IP setup dialog offers them.
#pragma once
#include <cstdint>

enum { ADAPTER_COUNT = 16 };

struct AdapterEntry {
  char name[260];        // the adapter's name, as the address change needs it
  char line[300];        // "%s (%s) %s": name, address, "OK" or "disconnected"
  char address[20];      // dotted IPv4, empty when the adapter has none
  uint32_t if_index;
  unsigned char dynamic;     // an address came from DHCP
  unsigned char link_local;  // the address begins with "169.254"
  unsigned char is_current;  // the address is the caller's own
  unsigned char connected;
  unsigned char state;       // 0 free, 1 has an IPv4 address, 2 has none
  unsigned char if_type;     // 6 ethernet, 71 IEEE 802.11
  unsigned char wired;
};

extern AdapterEntry adapter_table[ADAPTER_COUNT];

// Fills adapter_table; current_ip may be null. Returns the table, or null when the
// system cannot list its adapters.
AdapterEntry* list_adapters(const char* current_ip);

// The friendly-name rule for systems whose names say what an adapter is (Windows:
// "Local Area Connection", "Wireless Network Connection", "Wi-Fi"): 1 wired,
// 0 wireless, -1 not offered.
int adapter_name_kind(const char* name);
