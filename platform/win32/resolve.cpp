#include "platform/resolve.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/winsock_ready.h"

int plat_resolve_ipv4(const char* node, int numeric_only) {
  int ws = winsock_ready();
  if (ws != 0) return ws;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  if (numeric_only) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  int e = getaddrinfo(node, nullptr, &hints, &res);
  if (e == 0) {
    freeaddrinfo(res);
    return 0;
  }
  return e;
}

const char* plat_resolve_error_text(int code, char* buf, size_t size) {
  if (!buf || size == 0) return "";
  std::snprintf(buf, size, "%s", gai_strerrorA(code));
  // The text goes inside a report line: no line breaks of its own.
  for (char* p = buf; *p; ++p)
    if (*p == '\n' || *p == '\r') *p = ' ';
  return buf;
}
