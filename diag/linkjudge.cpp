// The judgement: facts into findings. Portable and free of the system: the facts may
// have been gathered here or reported by the game computer.
#include <cstdio>
#include <cstring>

#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "platform/com_probe.h"
#include "platform/sockets.h"
#include "serial/ser.h"

namespace {

struct Ip {
  char t[16];
  explicit Ip(const uint8_t a[4]) { std::snprintf(t, sizeof t, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]); }
};

// "vther (virtual: veth)"
void adapter_words(const PlatAdapterFacts& a, char* out, size_t size) {
  std::snprintf(out, size, "%s (%s%s%s)", a.name, link_kind_name(a.kind), a.driver[0] ? ": " : "", a.driver);
}

// The adapter's first address in the /24 of peer, as "a.b.c.d/n".
void subnet_address(const PlatAdapterFacts& a, const uint8_t peer[4], char* out, size_t size) {
  out[0] = '\0';
  for (int k = 0; k < a.naddrs; ++k)
    if (a.addrs[k][0] == peer[0] && a.addrs[k][1] == peer[1] && a.addrs[k][2] == peer[2]) {
      std::snprintf(out, size, "%s/%u", Ip(a.addrs[k]).t, a.prefix[k]);
      return;
    }
}

// Findings are read on this computer: the game computer's own speak of it in the third
// person and of this one as "this computer".
struct Sides {
  const char* self;       // the computer that saw it
  const char* other;      // the computer across the link
  const char* other_pos;  // the same, possessive
  explicit Sides(int side)
      : self(side == DOCTOR_GAME ? "the game computer" : "this computer"),
        other(side == DOCTOR_GAME ? "this computer" : "the game computer"),
        other_pos(side == DOCTOR_GAME ? "this computer's" : "the game computer's") {}
};

void settings_findings(const DoctorTest& t, int side, DoctorReport* r) {
  switch (t.open_code) {
    case GAME_LINK_LOCALHOST:
      doctor_add(r, side, "settings", DOCTOR_FAULT, CAUSE_SETTINGS, "set DisplayMode=2 in DEVS.NIN for two computers",
                 "the display mode is not two-computer: the game link is not used");
      break;
    case GAME_LINK_NO_SERIAL:
      doctor_add(r, side, "settings", DOCTOR_FAULT, CAUSE_SETTINGS, "name the game computer's port in Game_comm",
                 "no game port is configured (Game_comm)");
      break;
    case GAME_LINK_BAD_PORT:
      doctor_add(r, side, "settings", DOCTOR_FAULT, CAUSE_SETTINGS, "set EthernetPort=5510",
                 "EthernetPort is not 5510, the only port the game menu listens on");
      break;
    case GAME_LINK_NO_ADDRESS:
      doctor_add(r, side, "settings", DOCTOR_FAULT, CAUSE_SETTINGS,
                 "set EthernetAddress to the game computer's address (192.168.10.2)", "no EthernetAddress is configured");
      break;
    case GAME_LINK_BAD_ADDRESS:
      doctor_add(r, side, "settings", DOCTOR_FAULT, CAUSE_SETTINGS,
                 "set EthernetAddress to the game computer's numeric address (192.168.10.2)",
                 "EthernetAddress does not resolve to an address");
      break;
    default:
      break;
  }
}

template <typename Facts>
void adapter_findings(const Facts& f, int side, DoctorReport* r) {
  const LinkAdapters& a = f.adapters;
  const Sides w(side);
  char words[160], addr[32];
  if (a.error != 0) {
    doctor_add(r, side, "adapter", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the adapters could not be listed (%s)",
               sock_err_text(a.error));
    return;
  }
  if (a.nsubnet == 0) {
    char others[120] = "";
    size_t used = 0;
    for (int i = 0; i < a.count && used + 1 < sizeof others; ++i) {
      if (a.all[i].naddrs == 0) continue;
      int n = std::snprintf(others + used, sizeof others - used, "%s%s %s/%u", used ? ", " : "", a.all[i].name,
                            Ip(a.all[i].addrs[0]).t, a.all[i].prefix[0]);
      if (n < 0) break;
      used += static_cast<size_t>(n) < sizeof others - used ? static_cast<size_t>(n) : sizeof others - used - 1;
    }
    char advice[DOCTOR_ADVICE];
    std::snprintf(advice, sizeof advice, "give the adapter cabled to %s the address %u.%u.%u.%u (Try setting IP address)",
                  w.other, f.peer[0], f.peer[1], f.peer[2], f.peer[3] == 1 ? 2u : 1u);
    doctor_add(r, side, "adapter", DOCTOR_FAULT, CAUSE_NO_ADAPTER, advice, "no adapter has an address in %u.%u.%u.0/24 (%s)",
               f.peer[0], f.peer[1], f.peer[2], others[0] ? others : "no addresses at all");
    return;
  }
  const PlatAdapterFacts& e = a.all[a.expected];
  adapter_words(e, words, sizeof words);
  subnet_address(e, f.peer, addr, sizeof addr);
  if (!e.up)
    doctor_add(r, side, "adapter", DOCTOR_FAULT, CAUSE_NO_CARRIER, "switch the adapter on", "%s has %s but is switched off",
               words, addr);
  else if (!e.carrier) {
    char advice[DOCTOR_ADVICE];
    std::snprintf(advice, sizeof advice, "check the cable and the switch, and that %s is on", w.other);
    doctor_add(r, side, "adapter", DOCTOR_FAULT, CAUSE_NO_CARRIER, advice, "%s has %s but no link (no carrier)", words,
               addr);
  }
  else
    doctor_add(r, side, "adapter", DOCTOR_OK, CAUSE_NONE, "", "%s has %s, link up", words, addr);
  for (int k = 0; k < a.nsubnet; ++k) {
    if (a.in_subnet[k] == a.expected) continue;
    const PlatAdapterFacts& o = a.all[a.in_subnet[k]];
    adapter_words(o, words, sizeof words);
    subnet_address(o, f.peer, addr, sizeof addr);
    char advice[DOCTOR_ADVICE];
    std::snprintf(advice, sizeof advice, "remove the address from the adapter that is not cabled to %s (often a virtual one)",
                  w.other);
    doctor_add(r, side, "adapter", DOCTOR_FAULT, CAUSE_TWO_ADAPTERS, advice, "%s also has %s, on the same subnet", words,
               addr);
  }
}

template <typename Facts>
void route_finding(const Facts& f, int side, DoctorReport* r) {
  const LinkRoute& rt = f.route;
  Ip peer(f.peer);
  const Sides w(side);
  char give[DOCTOR_ADVICE];
  std::snprintf(give, sizeof give, "give %s an address on %s subnet", w.self, w.other_pos);
  if (rt.result == PLAT_ROUTE_NONE) {
    doctor_add(r, side, "route", DOCTOR_FAULT, CAUSE_NO_ADAPTER, give, "%s has no route to %s", w.self, peer.t);
    return;
  }
  if (rt.result != 0) {
    doctor_add(r, side, "route", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the route to %s could not be read (%s)", peer.t,
               sock_err_text(rt.result));
    return;
  }
  int kind = PLAT_KIND_UNKNOWN;
  for (int i = 0; i < f.adapters.count; ++i)
    if (f.adapters.all[i].index == rt.route.if_index) kind = f.adapters.all[i].kind;
  if (rt.route.via_gateway) {
    doctor_add(r, side, "route", DOCTOR_FAULT, f.adapters.nsubnet ? CAUSE_WRONG_ROUTE : CAUSE_NO_ADAPTER, give,
               "%s is reached through the router %s on %s, not directly", peer.t, Ip(rt.route.gateway).t, rt.ifname);
    return;
  }
  const int expected = f.adapters.expected >= 0 ? static_cast<int>(f.adapters.all[f.adapters.expected].index) : -1;
  if (f.adapters.nsubnet > 1)
    doctor_add(r, side, "route", DOCTOR_WARN, CAUSE_NONE, "", "%s leaves by %s (%s), one of %d adapters on the subnet",
               peer.t, rt.ifname, link_kind_name(kind), f.adapters.nsubnet);
  else if (expected >= 0 && static_cast<unsigned>(expected) != rt.route.if_index)
    doctor_add(r, side, "route", DOCTOR_FAULT, CAUSE_WRONG_ROUTE,
               "remove the route or address that the other adapter holds (a VPN or a virtual machine's adapter)",
               "%s leaves by %s (%s), not by %s", peer.t, rt.ifname, link_kind_name(kind),
               f.adapters.all[f.adapters.expected].name);
  else
    doctor_add(r, side, "route", DOCTOR_OK, CAUSE_NONE, "", "%s leaves by %s (%s)", peer.t, rt.ifname, link_kind_name(kind));
}

// The rules of the firewall of the computer that saw them. Its own rules are the cause
// that only it can see: the game computer's findings name the rule in the advice.
void firewall_findings(const PlatFirewall& fw, int port, const char* program, int side, DoctorReport* r) {
  if (fw.state == PLAT_FW_NO_TOOL) {
    doctor_add(r, side, "firewall", DOCTOR_UNKNOWN, CAUSE_NONE, "", "nft is not installed: the firewall rules were not read");
    return;
  }
  if (fw.state != PLAT_FW_READ) {
    doctor_add(r, side, "firewall", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the firewall rules could not be read (error %d)",
               fw.error);
    return;
  }
  char profiles[64] = "";
  if (fw.profiles_known)
    std::snprintf(profiles, sizeof profiles, "; profiles: domain %s, private %s, public %s", fw.domain_on ? "on" : "off",
                  fw.private_on ? "on" : "off", fw.public_on ? "on" : "off");
  if (fw.count == 0)
    doctor_add(r, side, "firewall", DOCTOR_OK, CAUSE_NONE, "", "no rule blocks ports %d-%d%s%s%s", port, port + 1,
               program[0] ? " or " : "", program, profiles);
  for (int i = 0; i < fw.count; ++i) {
    const PlatFirewallRule& w = fw.rules[i];
    char what[64], advice[DOCTOR_ADVICE];
    if (w.port)
      std::snprintf(what, sizeof what, "%s%s%s port %d", w.tcp ? "TCP" : "", w.tcp && w.udp ? "/" : "", w.udp ? "UDP" : "",
                    w.port);
    else
      std::snprintf(what, sizeof what, "the program %s", w.program);
    if (side == DOCTOR_GAME)
      std::snprintf(advice, sizeof advice,
                    "remove the rule %.48s on the game computer, or allow the game link there (TCP and UDP ports %d-%d)",
                    w.name, port, port + 1);
    else
      std::snprintf(advice, sizeof advice, "remove the rule, or allow the game link (TCP and UDP ports 5510-5511)");
    doctor_add(r, side, "firewall", DOCTOR_FAULT, side == DOCTOR_GAME ? CAUSE_GAME_FIREWALL : CAUSE_LOCAL_FIREWALL, advice,
               "rule %s blocks %s (%s)%s", w.name, what, w.inbound ? "incoming" : "outgoing", profiles);
  }
}

}  // namespace

void doctor_judge_ethernet(const DoctorEthFacts& f, const DoctorTest& test, int side, DoctorReport* r) {
  settings_findings(test, side, r);
  if (test.open_code != GAME_LINK_OPEN && test.open_code != GAME_LINK_ETH_FAIL &&
      test.open_code != GAME_LINK_NOT_CONNECTED)
    return;  // the settings alone were wrong: nothing was tried on the network
  Ip peer(f.peer);
  if (f.local) {
    doctor_add(r, side, "address", DOCTOR_OK, CAUSE_NONE, "", "%s is this computer itself", peer.t);
  } else {
    adapter_findings(f, side, r);
    route_finding(f, side, r);
  }
  const bool answered_wire = f.neighbour_checked && f.neighbour.result == 0 &&
                             f.neighbour.neigh.state == PLAT_NEIGH_REACHABLE;
  if (f.neighbour_checked) {
    Ip asked(f.neighbour.asked);
    if (f.neighbour.result != 0)
      doctor_add(r, side, "neighbour", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the neighbour table could not be read (%s)",
                 sock_err_text(f.neighbour.result));
    else if (answered_wire)
      doctor_add(r, side, "neighbour", DOCTOR_OK, CAUSE_NONE, "", "%s answers on the wire (ARP)", asked.t);
    else
      doctor_add(r, side, "neighbour", DOCTOR_FAULT, CAUSE_NO_ANSWER,
                 "check that the game computer is on, cabled, and has this address", "nothing answers for %s on the wire (no ARP reply)",
                 asked.t);
  }
  const bool beacon = f.beacons.heard != 0;
  const bool beacon_from_peer = beacon && std::memcmp(f.beacons.from, f.peer, 4) == 0;
  const LinkTcp& t = f.tcp;
  char advice[DOCTOR_ADVICE];
  switch (t.outcome) {
    case TCP_CONNECTED:
      if (test.open_code == GAME_LINK_OPEN && !test.echoed)
        doctor_add(r, side, "tcp", DOCTOR_FAULT, CAUSE_NOT_ANSWERING,
                   "restart the game menu; if another program holds the port there, end it",
                   "port %d at %s takes connections, but the echo got no answer", f.port, peer.t);
      else
        doctor_add(r, side, "tcp", DOCTOR_OK, CAUSE_NONE, "", "port %d at %s takes connections", f.port, peer.t);
      break;
    case TCP_REFUSED:
      doctor_add(r, side, "tcp", DOCTOR_FAULT, CAUSE_REFUSED, "start the game menu (or linkprobe-responder) on the game computer",
                 "%s refused port %d: the computer is there, nothing listens", peer.t, f.port);
      break;
    case TCP_SILENT:
      std::snprintf(advice, sizeof advice, "allow the game menu (TCP port %d) in the game computer's firewall", f.port);
      doctor_add(r, side, "tcp", DOCTOR_FAULT,
                 beacon_from_peer ? CAUSE_ONE_WAY : answered_wire ? CAUSE_PORT_DROPPED : CAUSE_NO_ANSWER,
                 answered_wire || beacon_from_peer ? advice : "check that the game computer is on and cabled",
                 "port %d at %s gave no answer in %.1f s%s", f.port, peer.t, t.wait_ms / 1000.0,
                 answered_wire ? " although the computer answers on the wire" : "");
      break;
    case TCP_UNREACHABLE:
      doctor_add(r, side, "tcp", DOCTOR_FAULT, f.route.result == PLAT_ROUTE_NONE ? CAUSE_NO_ADAPTER : CAUSE_NO_ANSWER,
                 "check the address, the cable and the switch", "%s cannot be reached (%s)", peer.t, sock_err_text(t.error));
      break;
    case TCP_BLOCKED_HERE:
      doctor_add(r, side, "tcp", DOCTOR_FAULT, CAUSE_LOCAL_FIREWALL, "allow the game link's ports in this computer's firewall",
                 "this computer refused to connect to port %d (%s)", f.port, sock_err_text(t.error));
      break;
    default:
      doctor_add(r, side, "tcp", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the connect to port %d failed (%s)", f.port,
                 sock_err_text(t.error));
      break;
  }
  // A computer that took or refused the connection has no waiting server to hear from.
  if (t.outcome != TCP_CONNECTED && t.outcome != TCP_REFUSED) {
    std::snprintf(advice, sizeof advice,
                  "the game computer's firewall or its network profile blocks incoming connections: allow TCP port %d there",
                  f.port);
    if (f.beacons.error != 0)
      doctor_add(r, side, "beacons", DOCTOR_UNKNOWN, CAUSE_NONE, "", "could not listen on UDP port %d (%s)", f.port,
                 sock_err_text(f.beacons.error));
    else if (beacon_from_peer)
      doctor_add(r, side, "beacons", DOCTOR_FAULT, CAUSE_ONE_WAY, advice, "a beacon of %s arrived from %s", f.beacons.host,
                 Ip(f.beacons.from).t);
    else if (beacon) {
      char moved[DOCTOR_ADVICE];
      std::snprintf(moved, sizeof moved, "set EthernetAddress=%s, or give the game computer the address %s",
                    Ip(f.beacons.from).t, peer.t);
      doctor_add(r, side, "beacons", DOCTOR_FAULT, CAUSE_SETTINGS, moved, "a beacon of %s arrived from %s, not from %s",
                 f.beacons.host, Ip(f.beacons.from).t, peer.t);
    } else {
      doctor_add(r, side, "beacons", DOCTOR_UNKNOWN, CAUSE_NONE, "",
                 "no beacon arrived on UDP port %d in %.1f s (a waiting game menu sends one every 1 to 5 s)", f.port,
                 f.beacons.wait_ms / 1000.0);
    }
  }
  firewall_findings(f.firewall, f.port, "", side, r);
  if (f.listener_checked) {
    const LinkListener& l = f.listener;
    if (l.result != 0)
      doctor_add(r, side, "listener", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the listening ports could not be read (%s)",
                 sock_err_text(l.result));
    else if (!l.found)
      doctor_add(r, side, "listener", DOCTOR_FAULT, CAUSE_REFUSED, "start the game menu (or linkprobe-responder)",
                 "nothing listens on TCP port %d on this computer", f.port);
    else
      doctor_add(r, side, "listener", test.echoed || test.open_code != GAME_LINK_OPEN ? DOCTOR_OK : DOCTOR_FAULT,
                 CAUSE_NOT_ANSWERING, "end that program and start the game menu (or linkprobe-responder)",
                 "TCP port %d here is held by %s (process %d)", f.port, l.holder.name[0] ? l.holder.name : "a program",
                 l.holder.pid);
  }
}

void doctor_judge_serial(const DoctorSerialFacts& f, const DoctorTest& test, int side, DoctorReport* r) {
  settings_findings(test, side, r);
  if (test.open_code == GAME_LINK_LOCALHOST || test.open_code == GAME_LINK_NO_SERIAL) return;
  const SerialPortFacts& p = f.port;
  if (p.state == PLAT_COM_ABSENT) {
    doctor_add(r, side, "port", DOCTOR_FAULT, CAUSE_PORT_MISSING, "plug the adapter in, or name an existing port in Game_comm",
               "COM%d does not exist%s%s", p.com, p.path[0] ? " at " : "", p.path);
    return;
  }
  if (p.state == PLAT_COM_BUSY) {
    char who[120] = "another program (the system does not say which)";
    if (p.holders_result == 0 && p.nholders > 0)
      std::snprintf(who, sizeof who, "%s (process %d)%s", p.holders[0].name, p.holders[0].pid,
                    p.nholders > 1 ? " and others" : "");
    doctor_add(r, side, "port", DOCTOR_FAULT, CAUSE_PORT_HELD, "end that program, then test again", "COM%d is held by %s",
               p.com, who);
    return;
  }
  doctor_add(r, side, "port", DOCTOR_OK, CAUSE_NONE, "", "COM%d is there and free", p.com);
  if (!f.line_checked) return;
  const SerialLineFacts& l = f.line;
  if (l.open_result < 0) {
    doctor_add(r, side, "lines", DOCTOR_UNKNOWN, CAUSE_NONE, "", "COM%d would not open (driver code %d)", p.com, l.open_result);
    return;
  }
  const bool dsr = (l.lines & SER_LINE_DSR) != 0;
  doctor_add(r, side, "lines", dsr ? DOCTOR_OK : DOCTOR_FAULT, CAUSE_NO_DSR,
             "plug in the null-modem cable (not a straight one) and start the game menu",
             "with our DTR and RTS on: DSR %s, CTS %s, DCD %s, RI %s", dsr ? "on" : "off",
             (l.lines & SER_LINE_CTS) ? "on" : "off", (l.lines & SER_LINE_CARRIER) ? "on" : "off",
             (l.lines & SER_LINE_RING) ? "on" : "off");
  if (l.echoed)
    doctor_add(r, side, "echo", DOCTOR_FAULT, CAUSE_LOOPBACK, "take the loopback plug off and connect the game computer",
               "the %d bytes sent came back unchanged", l.sent);
  else if (l.messages > 0)
    doctor_add(r, side, "echo", test.echoed ? DOCTOR_OK : DOCTOR_WARN, CAUSE_NONE, "",
               "the game computer answered this time (%d message%s)", l.messages, l.messages == 1 ? "" : "s");
  else if (l.received == 0)
    doctor_add(r, side, "echo", dsr ? DOCTOR_FAULT : DOCTOR_UNKNOWN, CAUSE_NOT_ANSWERING,
               "start the game menu on the game computer, on this port's cable", "nothing came back in %.1f s", l.wait_ms / 1000.0);
  if (l.errors || l.unreadable) {
    char errs[48];
    std::snprintf(errs, sizeof errs, "%s%s%s", (l.errors & SER_ERR_FRAMING) ? " framing" : "",
                  (l.errors & SER_ERR_PARITY) ? " parity" : "",
                  (l.errors & (SER_ERR_OVERRUN | SER_ERR_OVERFLOW)) ? " overrun" : "");
    doctor_add(r, side, "speed", DOCTOR_FAULT, CAUSE_SPEED,
               "set the game computer's port to 115200 bit/s, 8 data bits, no parity, one stop bit",
               "at 115200 bit/s: %s, line errors:%s", l.unreadable ? "bytes that start no message" : "no stray bytes",
               errs[0] ? errs : " none");
  }
  if (l.breaks)
    doctor_add(r, side, "break", DOCTOR_FAULT, CAUSE_BREAK,
               "run the game computer's program as the answering side; if it is not running, check the cable's wires",
               "%d break%s seen on the line", l.breaks, l.breaks == 1 ? "" : "s");
}

void doctor_judge_host(const DoctorHostFacts& f, int side, DoctorReport* r) {
  if (!f.peer_local) {
    adapter_findings(f, side, r);
    route_finding(f, side, r);
  }
  const LinkListener& l = f.listener;
  if (l.result != 0)
    doctor_add(r, side, "listener", DOCTOR_UNKNOWN, CAUSE_NONE, "", "the listening ports could not be read (%s)",
               sock_err_text(l.result));
  else if (!l.found)
    doctor_add(r, side, "listener", DOCTOR_FAULT, CAUSE_REFUSED, "start the game menu (or linkprobe-responder) there",
               "nothing listens on TCP port %d", f.port);
  else
    doctor_add(r, side, "listener", DOCTOR_OK, CAUSE_NONE, "", "TCP port %d is held by %s (process %d)", f.port,
               l.holder.name[0] ? l.holder.name : "a program", l.holder.pid);
  firewall_findings(f.firewall, f.port, f.program, side, r);
}
