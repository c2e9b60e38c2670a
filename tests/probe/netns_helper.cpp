// Runs the network operations inside whatever network namespace it is started in:
//   netns_helper set <part> <ifname> <group>   set_two_computer_address, then host_line
//   netns_helper host                          host_line as it reads now
//   netns_helper list [current-ip]             list_adapters, one entry per line
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe/adapters.h"
#include "probe/netaddr.h"

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "set") == 0) {
    auto t0 = std::chrono::steady_clock::now();
    set_two_computer_address(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
    std::printf("%s\nwaited %.1f\n", host_line,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "host") == 0) {
    update_host_line();
    return std::printf("%s\n", host_line) > 0 ? 0 : 1;
  }
  AdapterEntry* t = argc >= 2 && std::strcmp(argv[1], "list") == 0 ? list_adapters(argc >= 3 ? argv[2] : nullptr) : nullptr;
  for (int i = 0; t && i < ADAPTER_COUNT && t[i].state; i++)
    std::printf("%s|%s|state=%d wired=%d type=%d conn=%d dyn=%d ll=%d cur=%d\n", t[i].name, t[i].line, t[i].state,
                t[i].wired, t[i].if_type, t[i].connected, t[i].dynamic, t[i].link_local, t[i].is_current);
  if (!t) std::fprintf(stderr, "usage: netns_helper set <part> <if> <group> | list [ip]; or no adapter table\n");
  return t ? 0 : 2;
}
