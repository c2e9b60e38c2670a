// Serial port probing over pseudo-terminals, device and system queries against fixture
// system roots, and the address-change commands, host line and adapter name rules.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/com_probe.h"
#include "probe/adapters.h"
#include "probe/netaddr.h"
#include "probe/ports.h"
#include "probe/wmi.h"
#include "tests/support/golden.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kFixtures = std::string(LP_SOURCE_DIR) + "/tests/fixtures";

// Free, busy and absent ports as the rescan shows them are checked through the program;
// here the table's bounds, the error codes and what a probe leaves behind, as a
// transcript (tests/golden/probe_ports.txt): "link N pty|M|path" makes COMN a link,
// "file N" a plain file, "probe COUNT" probes into a table of 9s and shows its entries 0
// to 7 and the last, "com N" probes one port (its state and the system's number), "lock
// N" opens, flocks and reads the exclusive flag of COMN's terminal, "hold" holds COM3 as
// our driver does until "release", "excl" sets the exclusive flag on COM32's terminal.
TEST(Ports, Transcript) {
  TempRoot root;
  root.mkdir("dev");
  Pty a, b;
  std::unique_ptr<PortHolder> holder;
  EXPECT_TRUE(script_match("probe_ports.txt", [&](const std::string& w, const std::vector<std::string>& v) {
    const std::string dev = root.path() + "/dev/COM" + (v.empty() ? "" : v[0]);
    char out[64] = "";
    int excl = -1, err = -1, r = 0;
    if (w == "link") root.symlink_to("dev/COM" + v[0], v[1] == "pty" ? (v[0] == "3" ? a.name : b.name) : v[1]);
    if (w == "file") root.write("dev/COM" + v[0], "not a tty");
    if (w == "probe") {
      unsigned char t[COM_PORTS + 2];
      std::memset(t, 9, sizeof t);
      probe_com_ports(std::stoi(v[0]), t);
      std::snprintf(out, sizeof out, "%d %d %d %d %d %d %d %d | %d", t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
                    t[COM_PORTS + 1]);
    }
    if (w == "com") {
      r = plat_com_probe(std::stoi(v[0]), &err);
      std::snprintf(out, sizeof out, "%d err %d", r, err);
    }
    if (w == "lock" && (r = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) >= 0) {
      int locked = flock(r, LOCK_EX | LOCK_NB), got = ioctl(r, TIOCGEXCL, &excl);
      std::snprintf(out, sizeof out, "flock %d excl %d %d", locked, got, excl);
      close(r);
    }
    if (w == "hold") holder.reset(new PortHolder(a.name));
    if (w == "hold") std::snprintf(out, sizeof out, "%s", holder->locked() ? "held" : "not held");
    if (w == "release") holder.reset();
    if (w == "excl") std::snprintf(out, sizeof out, "%d", ioctl(b.slave, TIOCEXCL));
    return out[0] ? std::string(out) + "\n" : "";
  }));
}

// Device and system queries against fixture system roots, and the address commands,
// host line and adapter name rules, as transcripts.
TEST(Wmi, Transcript) {
  TempRoot t;
  std::string pattern;
  for (int i = 0; i < 4096; i++) pattern.push_back(static_cast<char>((i * 131) & 0xFF));
  EXPECT_TRUE(script_match("probe_wmi.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    char id[400], name[400];
    std::string at = a.empty() ? "" : a[0][0] == '/' ? a[0] : kFixtures + "/" + a[0];
    int r = 0;
    if (w == "sysroot" || w == "root") setenv(w == "root" ? "QUMEX_ROOT" : "QUMEX_SYSROOT", at.c_str(), 1);
    if (w == "temp") t.as_sysroot();
    if (w == "write") t.write(a[0], a[1]);
    if (w == "mkdir") t.mkdir(a[0]);
    if (w == "rm") t.remove(a[0]);
    if (w == "pattern") t.write(a[0], pattern);
    if (w == "repeat") {
      std::string big;
      while (big.size() < std::stoul(a[1])) big += a[2];
      t.write(a[0], big);
    }
    if (w == "long") setenv("QUMEX_SYSROOT", ("/" + std::string(5000, 'x')).c_str(), 1);
    if (w == "release") wmi_release();
    if (w == "open") r = wmi_open_query(a[0].c_str());
    if (w == "prop")
      r = wmi_get_property(a[0].c_str(), std::stoi(a[1]), name, a.size() > 2 ? std::stoul(a[2]) : sizeof name);
    if (w == "next") r = wmi_next_device(id, sizeof id, name, sizeof name);
    if (w == "open" || r != 0) return "= " + std::to_string(r) + "\n";
    if (w == "prop") return std::string(name) + "\n";
    return w == "next" ? std::string(id) + "|" + name + "\n" : "";
  }));
  wmi_release();
}

TEST(NetAddr, Transcript) {
  EXPECT_TRUE(script_match("probe_netaddr.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    char buf[2048];
    if (w == "netsh") {
      int r = netsh_arguments(std::stoi(a[0]), a[1].c_str(), std::stoi(a[2]), buf, 300);
      return r ? "refused " + std::to_string(r) + "\n" : std::string(buf) + "|\n";
    }
    if (w == "command") {
      NetCommand c;
      int r = linux_address_command(std::stoi(a[0]), a[1].c_str(), std::stoi(a[2]),
                                    a[3] == "-" ? nullptr : a[3].c_str(), std::stoi(a[4]), &c);
      if (r) return "refused " + std::to_string(r) + "\n";
      std::string out;
      for (int i = 0; i < c.argc; i++) out += std::string(c.argv[i]) + "\n";
      net_command_text(&c, buf, sizeof buf);
      return out + "text: " + buf + "\n";
    }
    if (w == "needed") {
      std::snprintf(buf, 40, "%s", a[0].c_str());
      int r = address_command_needed(std::stoi(a[1]), buf);
      return std::to_string(r) + " " + buf + "\n";
    }
    if (w == "host") {  // this machine's own line: either form, bytes printed unsigned
      update_host_line();
      std::string h = host_line;
      bool ok = (h.rfind("I am ", 0) == 0 || h == "Network setup error") && !std::strchr(current_ip_text(), '-');
      return ok ? std::string("ok\n") : h + "\n";
    }
    if (w == "ip") {
      std::snprintf(host_line, sizeof host_line, "%s", a[0].c_str());
      return std::string(current_ip_text()) + "|\n";
    }
    return w == "kind" ? std::to_string(adapter_name_kind(a[0].c_str())) + "\n" : "unknown\n";
  }));
}

}  // namespace
