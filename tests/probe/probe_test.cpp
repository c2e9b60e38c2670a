// Serial port probing over pseudo-terminals, device and system queries against fixture
// system roots, and the address-change commands, host line and adapter name rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
// here the table's bounds, the error codes and what a probe leaves behind.
TEST(Ports, TableBoundsErrorsAndWhatAProbeLeaves) {
  TempRoot root;
  Pty a, b;
  ASSERT_FALSE(a.name.empty() || b.name.empty());
  auto link = [&](int com, const std::string& to) { root.symlink_to("dev/COM" + std::to_string(com), to); };
  unsigned char states[COM_PORTS + 2];
  std::memset(states, 9, sizeof states);
  root.mkdir("dev");
  probe_com_ports(COM_PORTS, states);  // nothing found: entry 0 keeps its value
  EXPECT_EQ(states[0], 9);
  link(3, a.name);
  link(6, root.path() + "/dev/gone");
  root.write("dev/COM7", "not a tty");
  link(32, b.name);
  // Only the first count ports are probed; entry 0 is the highest found; a count past
  // the table is held to it.
  std::memset(states, 9, sizeof states);
  probe_com_ports(4, states);
  EXPECT_EQ(std::string(states, states + 6), std::string("\x03\0\0\x01\0\x09", 6));
  probe_com_ports(1000, states);
  EXPECT_EQ(states[0], 32);
  EXPECT_EQ(states[COM_PORTS + 1], 9);
  const struct { int com, result, err; } probes[] = {
      {6, PLAT_COM_ABSENT, ENOENT}, {7, PLAT_COM_ABSENT, ENOTTY}, {0, PLAT_COM_ABSENT, ENOENT}};
  for (const auto& p : probes) {
    int err = -1;
    EXPECT_EQ(plat_com_probe(p.com, &err), p.result) << "COM" << p.com;
    EXPECT_EQ(err, p.err) << "COM" << p.com;
  }
  EXPECT_EQ(plat_com_probe(2, nullptr), PLAT_COM_ABSENT);
  // Nothing is left behind: another program can lock it, and the exclusive flag is off.
  EXPECT_EQ(plat_com_probe(3, nullptr), PLAT_COM_FREE);
  int fd = open(a.name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), excl = -1;
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 0);
  close(fd);
  {  // held by our own driver's scheme: busy, and free again once released
    PortHolder holder(a.name);
    ASSERT_TRUE(holder.locked);
    int err = 0;
    EXPECT_EQ(plat_com_probe(3, &err), PLAT_COM_BUSY);
    EXPECT_EQ(err, EWOULDBLOCK);
  }
  EXPECT_EQ(plat_com_probe(3, nullptr), PLAT_COM_FREE);
  // Another program's exclusive flag without a flock stays, and the port is in use.
  ASSERT_EQ(ioctl(b.slave, TIOCEXCL), 0);
  int err = 0;
  EXPECT_EQ(plat_com_probe(32, &err), PLAT_COM_BUSY);
  EXPECT_EQ(err, EBUSY);
  ASSERT_EQ(ioctl(b.slave, TIOCGEXCL, &excl), 0);
  EXPECT_EQ(excl, 1);
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
