// This computer's firewall as the link doctor needs it: whether it is on, and the rules
// that block given ports. Windows reads the firewall's own rule list (INetFwPolicy2);
// Linux the nftables rule set.
#pragma once

enum PlatFirewallState {
  PLAT_FW_READ = 0,       // the rules were read
  PLAT_FW_NO_TOOL = 1,    // the system has no way to say (Linux without nft)
  PLAT_FW_REFUSED = 2,    // reading was refused (not privileged) or failed
};

enum { PLAT_FW_RULES = 16 };

struct PlatFirewallRule {
  char name[96];     // the rule's name, or where it stands ("inet filter input #4")
  char program[96];  // the program it names, "" for any
  int inbound;       // 1 incoming, 0 outgoing
  int tcp, udp;      // the protocols it covers
  int port;          // the first of the asked ports that it blocks; 0 when it names a program
};

struct PlatFirewall {
  int state;               // PlatFirewallState
  int error;               // the system's number when refused
  int profiles_known;      // Windows: the profile flags below were read
  int domain_on, private_on, public_on;
  char program[64];        // the program the rules were read for; "" where rules name none
  int count;               // blocking rules found (at most PLAT_FW_RULES kept)
  PlatFirewallRule rules[PLAT_FW_RULES];
};

// Reads the enabled rules that drop or reject traffic to or from one of ports (TCP or
// UDP), or that block the program whose file name is program (null: this program's
// own). Always fills *out; returns its state.
int plat_firewall_read(const int* ports, int nports, const char* program, PlatFirewall* out);
