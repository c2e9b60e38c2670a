#include "probe/netaddr.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/launch.h"
#include "platform/netif.h"
#include "platform/sockets.h"

char host_line[100];
static char g_ip_text[40];

void update_host_line() {
  char name[300];
  if (sock_hostname(name, sizeof name) != 0) {
    std::snprintf(host_line, sizeof host_line, "Network setup error");
    return;
  }
  // An interface's own address comes first: the resolver's answer for a Debian host's
  // name (127.0.1.1) tells a technician nothing.
  uint8_t a[4];
  if (sock_local_ipv4(a) != 0) {
    std::snprintf(host_line, sizeof host_line, "Network setup error");
    return;
  }
  // A name too long for the line is cut; the line stays terminated.
  int n = std::snprintf(host_line, sizeof host_line, "I am %s (%u.%u.%u.%u)", name, a[0], a[1], a[2], a[3]);
  if (n < 0) std::snprintf(host_line, sizeof host_line, "Network setup error");
}

const char* current_ip_text() {
  g_ip_text[0] = '\0';
  const char* open = std::strchr(host_line, '(');
  if (!open) return g_ip_text;
  std::snprintf(g_ip_text, sizeof g_ip_text, "%s", open + 1);
  g_ip_text[std::strcspn(g_ip_text, ")")] = '\0';
  return g_ip_text;
}

int address_command_needed(int part, char* previous) {
  switch (part) {
    case PART_CLIENT: return std::strcmp(previous, "192.168.10.2") != 0;
    case PART_THERAPIST: return std::strcmp(previous, "192.168.10.1") != 0;
    default:
      // Any real address ends the wait after a return to DHCP.
      std::snprintf(previous, 16, "127.0.0.2");
      return 1;
  }
}

int netsh_arguments(int part, const char* adapter_name, int group, char* out, size_t size) {
  if (!out || size == 0) return 1;
  const char* name = adapter_name ? adapter_name : "";
  size_t cap = size < 250 ? size : 250;
  int n;
  if (part == PART_AUTOMATIC)
    n = std::snprintf(out, cap, "interface ip set address \"%s\" dhcp", name);
  else
    n = std::snprintf(out, cap, "interface ip set address name=\"%s\" static 192.168.%d.%d 255.255.255.0 ",
                      name, group, part == PART_CLIENT ? 2 : 1);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    out[0] = '\0';
    return 1;
  }
  return 0;
}

static int add_arg(NetCommand* cmd, const char* text) {
  if (cmd->argc >= NETCMD_ARGS) return 1;
  int n = std::snprintf(cmd->argv[cmd->argc], NETCMD_ARG_SIZE, "%s", text);
  if (n < 0 || n >= NETCMD_ARG_SIZE) return 1;
  cmd->argc++;
  return 0;
}

// The steps run as one /bin/sh script so that a single elevation covers them all; the
// interface, connection and address travel as positional arguments, never inside the
// script text, so no name can inject shell syntax.
int linux_address_command(int part, const char* ifname, int group, const char* nm_connection,
                          int privileged, NetCommand* cmd) {
  if (!cmd || !ifname) return 1;
  std::memset(cmd, 0, sizeof *cmd);
  char cidr[32];
  std::snprintf(cidr, sizeof cidr, "192.168.%d.%d/24", group, part == PART_CLIENT ? 2 : 1);
  const char* script;
  const char* arg1;
  bool elevate;
  if (nm_connection) {
    // NetworkManager asks polkit itself.
    elevate = false;
    arg1 = nm_connection;
    script = part == PART_AUTOMATIC
                 ? "nmcli connection modify \"$1\" ipv4.method auto ipv4.addresses \"\" && "
                   "nmcli connection up \"$1\""
                 : "nmcli connection modify \"$1\" ipv4.method manual ipv4.addresses \"$2\" && "
                   "nmcli connection up \"$1\"";
  } else {
    elevate = !privileged;
    arg1 = ifname;
    script = part == PART_AUTOMATIC
                 ? "ip -4 addr flush dev \"$1\"; if command -v dhclient >/dev/null 2>&1; "
                   "then dhclient \"$1\"; else dhcpcd \"$1\"; fi"
                 : "ip -4 addr flush dev \"$1\" && ip addr add \"$2\" dev \"$1\"";
  }
  int rc = 0;
  if (elevate) rc |= add_arg(cmd, "pkexec");
  rc |= add_arg(cmd, "/bin/sh");
  rc |= add_arg(cmd, "-c");
  rc |= add_arg(cmd, script);
  rc |= add_arg(cmd, "sh");
  rc |= add_arg(cmd, arg1);
  if (part != PART_AUTOMATIC) rc |= add_arg(cmd, cidr);
  return rc ? 1 : 0;
}

void net_command_text(const NetCommand* cmd, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  if (!cmd) return;
  size_t used = 0;
  for (int i = 0; i < cmd->argc && used < size; i++) {
    int n = std::snprintf(out + used, size - used, "%s%s", i ? " " : "", cmd->argv[i]);
    if (n < 0) break;
    used += static_cast<size_t>(n);
  }
}

static void start_address_change(int part, const char* adapter_name, int group) {
  if (plat_address_tool() == PLAT_ADDR_NETSH) {
    char params[250];
    if (netsh_arguments(part, adapter_name, group, params, sizeof params) != 0) return;
    // Not waited for: the wait below watches the address, and a refused or failed
    // change shows as an unchanged one.
    plat_run_elevated("netsh", params, 0, nullptr);
    return;
  }
  char conn[256];
  const char* nm = nullptr;
  if (plat_nm_running() && plat_nm_connection(adapter_name, conn, sizeof conn) == 0) nm = conn;
  // An adapter NetworkManager does not manage is changed with ip directly.
  NetCommand cmd;
  if (linux_address_command(part, adapter_name, group, nm, plat_is_privileged(), &cmd) != 0) return;
  const char* argv[NETCMD_ARGS + 1];
  for (int i = 0; i < cmd.argc; i++) argv[i] = cmd.argv[i];
  argv[cmd.argc] = nullptr;
  plat_launch_detached(argv);  // a refused or failed change shows as an unchanged address
}

void set_two_computer_address(int part, const char* adapter_name, int group) {
  update_host_line();
  char previous[40];
  std::snprintf(previous, sizeof previous, "%s", current_ip_text());
  if (address_command_needed(part, previous)) start_address_change(part, adapter_name ? adapter_name : "", group);
  // A reading asks the interfaces and maybe the resolver; a short pause between readings
  // keeps the ten seconds from spinning a core while the tool does its work.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    update_host_line();
    const char* now = current_ip_text();
    if (std::strcmp(now, "127.0.0.1") != 0 && std::strcmp(now, previous) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
