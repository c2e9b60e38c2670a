// Which computer this is on the network, and the two-computer address change:
// 192.168.nn.1 for the therapist computer, 192.168.nn.2 for the game computer.
#pragma once
#include <cstddef>

enum AddressPart { PART_CLIENT = 0, PART_THERAPIST = 1, PART_AUTOMATIC = 2 };

// "I am <name> (a.b.c.d)" or "Network setup error"; empty before the first update.
extern char host_line[100];

void update_host_line();

// The address between the parentheses of host_line, or "".
const char* current_ip_text();

// Sets the address of adapter_name for part and group (0..254), then waits up to ten
// seconds for the host's address to change. host_line holds the last address seen.
void set_two_computer_address(int part, const char* adapter_name, int group);

// Whether part needs a command when the host's address is previous. The comparison is
// with the group-10 addresses whatever the group is. For the automatic part, previous
// becomes "127.0.0.2" (it must hold 16 bytes).
int address_command_needed(int part, char* previous);

// The netsh argument text of the Windows address change (at most 249 characters).
// Returns 0, or 1 when it does not fit.
int netsh_arguments(int part, const char* adapter_name, int group, char* out, size_t size);

enum { NETCMD_ARGS = 9, NETCMD_ARG_SIZE = 300 };

struct NetCommand {
  int argc;
  char argv[NETCMD_ARGS][NETCMD_ARG_SIZE];
};

// The Linux address change as one command: through NetworkManager on nm_connection when
// it is not null, else with ip (and dhclient or dhcpcd), under pkexec unless privileged.
// Returns 0, or 1 when an argument does not fit.
int linux_address_command(int part, const char* ifname, int group, const char* nm_connection,
                          int privileged, NetCommand* cmd);

// The command as one line, arguments joined with blanks (for logs and tests).
void net_command_text(const NetCommand* cmd, char* out, size_t size);
