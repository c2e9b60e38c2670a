// Winsock must be started before any socket or resolver call; once per process is
// enough, and it stays started until the process ends.
#pragma once
#include <winsock2.h>

inline int winsock_ready() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return started;
}
