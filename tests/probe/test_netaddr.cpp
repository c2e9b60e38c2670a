// The command texts of the address change, the skip rule, the host line's address and
// the adapter name rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "probe/adapters.h"
#include "probe/netaddr.h"

namespace {

std::string text(const NetCommand& c) {
  char buf[2048];
  net_command_text(&c, buf, sizeof buf);
  return buf;
}

std::string netsh(int part, const char* name, int group) {
  char buf[300];
  if (netsh_arguments(part, name, group, buf, sizeof buf) != 0) return "<too long>";
  return buf;
}

}  // namespace

TEST(Netsh, ArgumentTexts) {
  EXPECT_EQ(netsh(PART_CLIENT, "Local Area Connection", 12),
            "interface ip set address name=\"Local Area Connection\" static 192.168.12.2 255.255.255.0 ");
  EXPECT_EQ(netsh(PART_THERAPIST, "Ethernet", 10),
            "interface ip set address name=\"Ethernet\" static 192.168.10.1 255.255.255.0 ");
  EXPECT_EQ(netsh(PART_AUTOMATIC, "Local Area Connection", 10),
            "interface ip set address \"Local Area Connection\" dhcp");
  // 249 characters at most.
  EXPECT_EQ(netsh(PART_CLIENT, std::string(182, 'n').c_str(), 254), "<too long>");
  EXPECT_EQ(netsh(PART_AUTOMATIC, std::string(217, 'n').c_str(), 1).size(), 249u);
}

TEST(Netsh, SkipRuleUsesGroupTenTexts) {
  // Group 12 already set is issued again: the comparison is with the group 10 address.
  const struct { const char* held; int part, needed; } cases[] = {
      {"192.168.10.2", PART_CLIENT, 0}, {"192.168.10.2", PART_THERAPIST, 1}, {"192.168.12.2", PART_CLIENT, 1},
      {"192.168.10.1", PART_THERAPIST, 0}, {"192.168.10.1", PART_AUTOMATIC, 1}};
  char prev[40];
  for (const auto& c : cases) {
    std::snprintf(prev, sizeof prev, "%s", c.held);
    EXPECT_EQ(address_command_needed(c.part, prev), c.needed) << c.held << " part " << c.part;
  }
  EXPECT_STREQ(prev, "127.0.0.2");
}

TEST(LinuxCommand, NetworkManagerLines) {
  NetCommand c;
  ASSERT_EQ(linux_address_command(PART_THERAPIST, "enp3s0", 10, "Wired connection 1", 0, &c), 0);
  EXPECT_EQ(text(c),
            "/bin/sh -c nmcli connection modify \"$1\" ipv4.method manual ipv4.addresses \"$2\" && "
            "nmcli connection up \"$1\" sh Wired connection 1 192.168.10.1/24");
  EXPECT_STREQ(c.argv[4], "Wired connection 1");  // one argument, blanks and all
  ASSERT_EQ(linux_address_command(PART_CLIENT, "enp3s0", 254, "office", 1, &c), 0);
  EXPECT_STREQ(c.argv[c.argc - 1], "192.168.254.2/24");
  ASSERT_EQ(linux_address_command(PART_AUTOMATIC, "enp3s0", 10, "office", 0, &c), 0);
  EXPECT_EQ(text(c),
            "/bin/sh -c nmcli connection modify \"$1\" ipv4.method auto ipv4.addresses \"\" && "
            "nmcli connection up \"$1\" sh office");
}

TEST(LinuxCommand, IpLinesElevatedWhenNotPrivileged) {
  NetCommand c;
  ASSERT_EQ(linux_address_command(PART_CLIENT, "eth0", 10, nullptr, 0, &c), 0);
  EXPECT_EQ(text(c),
            "pkexec /bin/sh -c ip -4 addr flush dev \"$1\" && ip addr add \"$2\" dev \"$1\" sh eth0 "
            "192.168.10.2/24");
  ASSERT_EQ(linux_address_command(PART_THERAPIST, "eth0", 10, nullptr, 1, &c), 0);
  EXPECT_STREQ(c.argv[0], "/bin/sh");
  EXPECT_STREQ(c.argv[c.argc - 1], "192.168.10.1/24");
  ASSERT_EQ(linux_address_command(PART_AUTOMATIC, "eth0", 10, nullptr, 1, &c), 0);
  EXPECT_EQ(text(c),
            "/bin/sh -c ip -4 addr flush dev \"$1\"; if command -v dhclient >/dev/null 2>&1; then "
            "dhclient \"$1\"; else dhcpcd \"$1\"; fi sh eth0");
  // A name that does not fit is refused rather than cut.
  EXPECT_EQ(linux_address_command(PART_CLIENT, std::string(400, 'e').c_str(), 10, nullptr, 1, &c), 1);
}

TEST(HostLine, CurrentIpTextIsBetweenParentheses) {
  std::snprintf(host_line, sizeof host_line, "I am qumex-t (192.168.200.1)");
  EXPECT_STREQ(current_ip_text(), "192.168.200.1");
  std::snprintf(host_line, sizeof host_line, "Network setup error");
  EXPECT_STREQ(current_ip_text(), "");
  std::snprintf(host_line, sizeof host_line, "I am x (%s", std::string(60, '9').c_str());
  EXPECT_EQ(std::strlen(current_ip_text()), 39u);  // at most 40 bytes with its end
  update_host_line();
  EXPECT_TRUE(std::strncmp(host_line, "I am ", 5) == 0 || std::strcmp(host_line, "Network setup error") == 0)
      << host_line;
  // Bytes print unsigned: no negative numbers.
  EXPECT_EQ(std::strchr(current_ip_text(), '-'), nullptr);
}

TEST(AdapterNames, WindowsFriendlyNameRule) {
  // Case counts; the hyphen of "Wi-" does not reject a name.
  const struct { const char* name; int kind; } cases[] = {
      {"Local Area Connection", 1}, {"Ethernet 2", 1}, {"Local Area Connection* 9", -1}, {"Ethernet-USB", -1},
      {"ethernet", -1}, {"Wireless Network Connection", 0}, {"Wi-Fi", 0}, {"Wi-Fi-2", -1}, {"Wireless*", -1},
      {"Bluetooth Network Connection", -1}, {"Wi-", 0}};
  for (const auto& c : cases) EXPECT_EQ(adapter_name_kind(c.name), c.kind) << c.name;
}
