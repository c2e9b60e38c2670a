#include "probe/adapters.h"

#include <cstdio>
#include <cstring>

#include "platform/netif.h"

AdapterEntry adapter_table[ADAPTER_COUNT];

int adapter_name_kind(const char* name) {
  if (!name) return -1;
  if (std::strncmp(name, "Loc", 3) == 0 || std::strncmp(name, "Eth", 3) == 0)
    return (std::strchr(name, '-') || std::strchr(name, '*')) ? -1 : 1;
  if (std::strncmp(name, "Wire", 4) == 0 || std::strncmp(name, "Wi-", 3) == 0) {
    if (std::strchr(name, '*')) return -1;
    // From the fifth character on, so the hyphen of "Wi-" does not count.
    if (std::strlen(name) > 4 && std::strchr(name + 4, '-')) return -1;
    return 0;
  }
  return -1;
}

// A line too long for its field (a 260-character name) is cut.
static void set_line(AdapterEntry& e) {
  char line[sizeof e.line];
  int n = std::snprintf(line, sizeof line, "%s (%s) %s", e.name, e.address,
                        e.connected ? "OK" : "disconnected");
  if (n < 0) line[0] = '\0';
  std::memcpy(e.line, line, sizeof line);
}

AdapterEntry* list_adapters(const char* current_ip) {
  std::memset(adapter_table, 0, sizeof adapter_table);
  static PlatNetIf ifs[64];
  int nif = 0;
  if (plat_netif_list(ifs, 64, &nif) != 0) return nullptr;
  int taken = 0;
  for (int i = 0; i < nif && taken < ADAPTER_COUNT; i++) {
    int wired;
    if (ifs[i].wireless < 0) {
      // The system cannot tell: the adapter's name has to.
      wired = adapter_name_kind(ifs[i].name);
      if (wired < 0) continue;
    } else {
      wired = ifs[i].wireless ? 0 : 1;
    }
    AdapterEntry& e = adapter_table[taken++];
    size_t len = strnlen(ifs[i].name, sizeof ifs[i].name - 1);
    std::memcpy(e.name, ifs[i].name, len);
    e.name[len] = '\0';
    e.if_index = ifs[i].index;
    e.if_type = static_cast<unsigned char>(ifs[i].if_type & 0xFF);
    e.wired = static_cast<unsigned char>(wired);
  }

  static PlatNetAddr rows[256];
  int nrows = 0;
  if (plat_netif_addrs(rows, 256, &nrows) != 0) return nullptr;
  for (int r = 0; r < nrows; r++) {
    for (int k = 0; k < ADAPTER_COUNT && adapter_table[k].if_index != 0; k++) {
      AdapterEntry& e = adapter_table[k];
      if (e.if_index != rows[r].if_index) continue;
      e.connected = 1;
      e.state = 1;
      const unsigned char* a = rows[r].addr;
      std::snprintf(e.address, sizeof e.address, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
      if (std::strncmp(e.address, "169.254", 7) == 0) e.link_local = 1;
      if (current_ip && std::strcmp(current_ip, e.address) == 0) e.is_current = 1;
      if (rows[r].dynamic) e.dynamic = 1;
      if (rows[r].disconnected) e.connected = 0;
      set_line(e);
      break;
    }
  }
  for (int k = 0; k < taken; k++) {
    AdapterEntry& e = adapter_table[k];
    if (e.state != 0) continue;
    e.state = 2;
    set_line(e);
  }
  return adapter_table;
}
