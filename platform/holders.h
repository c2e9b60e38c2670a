// Which programs hold a resource: the processes that have a serial device open, and the
// one listening on a TCP port.
#pragma once

struct PlatHolder {
  int pid;
  char name[64];  // the program's name
};

enum { PLAT_HOLDER_UNKNOWN = -1 };  // the system cannot tell

// The processes other than this one that have the device at path open. Returns 0 with
// *count set, PLAT_HOLDER_UNKNOWN, or the system's error number.
int plat_device_holders(const char* path, PlatHolder* out, int max, int* count);

// The process listening on TCP port (any local address). Returns 0 with *found 1 and *out
// filled, 0 with *found 0 when nothing listens, PLAT_HOLDER_UNKNOWN when a listener is
// there but not whose, or the system's error number.
int plat_tcp_listener(int port, PlatHolder* out, int* found);
