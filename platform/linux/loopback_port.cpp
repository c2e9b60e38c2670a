#include "platform/loopback_port.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>

int plat_bound_socket(int type, int port, bool reuse) {
  int s = socket(AF_INET, type, 0);
  if (s < 0) return -1;
  int one = 1;
  if (reuse && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    close(s);
    return -1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int plat_free_port_base() {
  int low = 32768;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d", &low) != 1) low = 32768;
    std::fclose(f);
  }
  auto can_bind = [](int port) {
    int s[4] = {plat_bound_socket(SOCK_STREAM, port), plat_bound_socket(SOCK_STREAM, port + 1),
                plat_bound_socket(SOCK_DGRAM, port), plat_bound_socket(SOCK_DGRAM, port + 1)};
    bool ok = true;
    for (int x : s) ok = (x >= 0 && close(x) == 0) && ok;
    return ok;
  };
  std::mt19937 gen(std::random_device{}());
  std::uniform_int_distribution<int> dist(10000, low - 2 > 12000 ? low - 2 : 30000);
  for (int i = 0; i < 500; ++i) {
    const int p = dist(gen) & ~1;
    if (can_bind(p)) return p;
  }
  return 0;
}

bool plat_send_all(int s, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t r = send(s, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}
