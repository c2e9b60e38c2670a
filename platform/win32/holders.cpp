// Windows body of the holder queries: the TCP listener's process from the owner table;
// Windows does not say which process holds a COM port without a kernel handle walk.
#include "platform/holders.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int plat_device_holders(const char* /*path*/, PlatHolder* /*out*/, int /*max*/, int* count) {
  if (count) *count = 0;
  return PLAT_HOLDER_UNKNOWN;
}

int plat_tcp_listener(int port, PlatHolder* out, int* found) {
  if (!out || !found) return ERROR_INVALID_PARAMETER;
  *found = 0;
  std::memset(out, 0, sizeof *out);
  DWORD size = 0;
  DWORD rc = GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  if (rc != ERROR_INSUFFICIENT_BUFFER) return rc == NO_ERROR ? 0 : static_cast<int>(rc);
  auto* table = static_cast<MIB_TCPTABLE_OWNER_PID*>(std::malloc(size));
  if (!table) return ERROR_NOT_ENOUGH_MEMORY;
  rc = GetExtendedTcpTable(table, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  if (rc != NO_ERROR) {
    std::free(table);
    return static_cast<int>(rc);
  }
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) != port) continue;
    *found = 1;
    out->pid = static_cast<int>(table->table[i].dwOwningPid);
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, table->table[i].dwOwningPid);
    if (h) {
      char path[MAX_PATH];
      DWORD len = sizeof path;
      if (QueryFullProcessImageNameA(h, 0, path, &len)) {
        const char* base = std::strrchr(path, '\\');
        std::snprintf(out->name, sizeof out->name, "%.63s", base ? base + 1 : path);
      }
      CloseHandle(h);
    }
    break;
  }
  std::free(table);
  return 0;
}
