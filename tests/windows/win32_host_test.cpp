// The Windows bodies under Wine that face the host: this program's own version block (its
// VERSIONINFO says PrivateBuild "9.8.7-test", SpecialBuild "nightly"), launches, the raw
// command line, netsh's runner, the adapters (the host's, so shapes and rules are checked)
// and the COM port pair the stage maps (LP_WIN_COM_A/LP_WIN_COM_B, e.g. 5 and 6); and the
// WMI query helper over the real COM calls, against Wine's own WMI: its values are the
// host's, so the codes and the end of each list are checked (the figures themselves
// through linkprobe.exe --run rescan, scripts/windows-linkprobe-check.sh).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <sys/utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "app/startup.h"
#include "platform/launch.h"
#include "platform/netif.h"
#include "platform/os_version.h"
#include "platform/sockets.h"
#include "platform/sysquery.h"
#include "platform/version_block.h"
#include "probe/adapters.h"
#include "probe/linkfacts.h"
#include "probe/netaddr.h"
#include "probe/ports.h"
#include "probe/wmi.h"
#include "tests/support/seq.h"

namespace {

bool appears(const char* path) {
  for (int i = 0; i < 200 && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(25);
  bool there = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  DeleteFileA(path);
  return there;
}

int env_com(const char* name) { return std::getenv(name) ? std::atoi(std::getenv(name)) : 0; }

}  // namespace

TEST(WinVersion, TheBlockFromFileAndImageAndTheWindowsRecord) {
  const std::string block("PrivateBuild=9.8.7-test\0SpecialBuild=nightly\0", 45);
  char exe[MAX_PATH], buf[256], when[64];
  size_t len = 7;
  ASSERT_EQ(plat_self_exe_path(exe, sizeof exe), 0);
  EXPECT_NE(std::string(exe).find("win32_host_test.exe"), std::string::npos) << exe;
  ASSERT_EQ(plat_version_block(exe, buf, sizeof buf, &len), 0);
  EXPECT_EQ(std::string(buf, len), block);
  ASSERT_EQ(plat_version_block(exe, buf, 20, &len), 0);  // cut to the buffer
  EXPECT_EQ(std::string(buf, len), block.substr(0, 20));
  std::ifstream f(exe, std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(f)), {});
  ASSERT_EQ(plat_version_block_image(image.data(), image.size(), buf, sizeof buf, &len), 0);
  EXPECT_EQ(std::string(buf, len), block);
  EXPECT_EQ(plat_version_block_image("MZ", 2, buf, sizeof buf, &len), 2);
  EXPECT_EQ(plat_version_block("C:\\no\\such\\file.exe", buf, sizeof buf, &len) * 10 + int(len), 10);
  std::ofstream("plain_file.txt") << "no resources here\n";
  EXPECT_EQ(plat_version_block("plain_file.txt", buf, sizeof buf, &len), 2);
  // The runtime's ctime form pads the day with a zero; a missing file has no time.
  tm fifth = {53, 20, 21, 5, 11, 126, 0, 0, -1};  // Sat Dec 5 21:20:53 2026, local time
  __utimbuf64 times = {_mktime64(&fifth), _mktime64(&fifth)};
  ASSERT_EQ(_utime64("plain_file.txt", &times), 0);
  EXPECT_EQ((Seq() << plat_file_mtime_text("plain_file.txt", when, sizeof when) << when).s,
            "0 Sat Dec 05 21:20:53 2026\n");
  std::remove("plain_file.txt");
  EXPECT_NE(plat_file_mtime_text("plain_file.txt", when, sizeof when), 0);
  EXPECT_STREQ(when, "");
  int id = -1, major = -1, minor = -1;
  ASSERT_EQ(plat_windows_version(&id, &major, &minor), 0);
  EXPECT_TRUE(id == VER_PLATFORM_WIN32_NT && major >= 5 && minor >= 0) << id << major << minor;
}

// Each computer runs its own copy: its folder tells the role wherever it lies, inside
// the installation root or not.
TEST(WinStartup, TheProgramsFolderTellsTheRoleWhereverItIs) {
  char dir[STARTUP_DIR_SIZE];
  std::string roles;
  for (const char* exe : {"C:\\Tools\\BIN\\linkprobe.exe", "D:\\copies\\games\\linkprobe.exe", "C:\\Tools\\linkprobe.exe"})
    default_startup_dir(exe, dir, sizeof dir), roles += std::string(dir) + "=" + decide_role(dir) + "|";
  EXPECT_EQ(roles, "C:\\Tools\\BIN\\=Therapist|D:\\copies\\games\\=Game|C:\\Tools\\=|");
}

TEST(WinLaunch, ProgramsStartDetachedAndMissingOnesSaySo) {
  const char* const run[] = {"cmd.exe", "/c", "echo started> launched_marker.txt", nullptr};
  ASSERT_EQ(plat_launch_detached(run), 0);
  EXPECT_TRUE(appears("launched_marker.txt"));
  const char* const missing[] = {"no-such-program-here.exe", nullptr};
  const char* const none[] = {nullptr};
  EXPECT_EQ(plat_launch_detached(missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat_launch_detached(none), EINVAL);
  ASSERT_EQ(plat_launch_tool(PLAT_TOOL_CMD, "echo tool> tool_marker.txt"), 0);
  EXPECT_TRUE(appears("tool_marker.txt"));
  EXPECT_EQ(plat_launch_tool(7, "echo"), EINVAL);
}

// netsh through the shell's "runas" verb, checked with the command interpreter: nothing
// here touches an adapter.
TEST(WinRun, ExitCodesWordsAndTheSystemsNumbers) {
  EXPECT_EQ(plat_address_tool(), PLAT_ADDR_NETSH);
  // Whether netsh needs the prompt: the shell's own answer, which UAC also gives as no
  // for an administrator that is not elevated.
  EXPECT_EQ(plat_is_privileged(), IsUserAnAdmin() ? 1 : 0);
  char dir[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  const std::string out = std::string(dir) + "lp_run_test.txt",
                    echo = "/c echo interface ip set address name=\"Local Area Connection\" dhcp> \"" + out + "\"";
  // Quoted words stay one argument. No exit code (-1) without a program; one not waited
  // for is given no place for it.
  const struct { const char *program, *params; int wait, result, code; } runs[] = {
      {"cmd.exe", "/c exit 3", 1, 0, 3}, {"cmd.exe", "/c exit 0", 1, 0, 0},
      {"cmd.exe", "/c if \"a b\"==\"a b\" (exit 5) else (exit 6)", 1, 0, 5}, {"cmd.exe", echo.c_str(), 1, 0, 0},
      {"lp-no-such-program.exe", "x", 1, ERROR_FILE_NOT_FOUND, -1}, {"", "", 1, EINVAL, -1}, {nullptr, "", 1, EINVAL, -1},
      {"lp-no-such-program.exe", "", 0, ERROR_FILE_NOT_FOUND, -1}, {"cmd.exe", "/c exit 4", 0, 0, -1}};
  for (const auto& r : runs) {
    int code = -1;
    EXPECT_EQ(plat_run_elevated(r.program, r.params, r.wait, r.wait ? &code : nullptr), r.result) << r.params;
    EXPECT_EQ(code, r.code) << r.params;
  }
  std::ifstream in(out, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}),
            "interface ip set address name=\"Local Area Connection\" dhcp\r\n");
  in.close();
  DeleteFileA(out.c_str());
}

// With the adapters of tests/windows/netns_adapters.sh (scripts/test-windows.sh runs the
// WinProbe cases there): only the clinic's own adapters are offered, and the host line has
// the address the host-name lookup gives first (the default route's), not the first
// adapter's (169.254.3.4).
TEST(WinProbe, AdapterTableHostLineAndNames) {
  update_host_line();
  ASSERT_EQ(std::strncmp(host_line, "I am ", 5), 0) << host_line;
  if (!std::getenv("LP_NETNS_ADAPTERS")) GTEST_SKIP() << "not in the adapters' namespace";
  EXPECT_STREQ(current_ip_text(), "10.0.0.5") << host_line;
  std::string rows;
  for (const char* mine : {"", "10.0.0.5"}) {
    ASSERT_NE(list_adapters(mine), nullptr);
    for (const AdapterEntry& e : adapter_table)
      if (e.state) rows += (Seq() << e.line << int(e.wired) << int(e.is_current)).s + "|";
  }
  EXPECT_EQ(rows, "Ethernet (10.0.0.5) OK 1 0|Wi-Fi () disconnected 0 0|Ethernet (10.0.0.5) OK 1 1|Wi-Fi () disconnected 0 0|");
}

// The link doctor's Windows facts as far as Wine answers: the adapters (the host's, so
// shapes), the route and neighbour of a loopback peer, a refused and a taken port with
// the listener's process, the firewall's COM interface (Wine's may refuse: then a code).
TEST(WinProbe, LinkDoctorFacts) {
  const uint8_t loop[4] = {127, 0, 0, 1};
  LinkAdapters a;
  link_adapters(loop, &a);
  EXPECT_EQ(a.error, 0);
  for (int i = 0; i < a.count; ++i) {
    SCOPED_TRACE(a.all[i].name);
    EXPECT_TRUE(a.all[i].kind >= PLAT_KIND_WIRED && a.all[i].kind <= PLAT_KIND_VIRTUAL) << a.all[i].kind;
    EXPECT_TRUE(a.all[i].naddrs >= 0 && a.all[i].naddrs <= 4);
  }
  EXPECT_EQ(link_is_local(loop, &a), 1);
  PlatRoute r;
  int rc = plat_route_to(loop, &r);
  // Wine answers GetBestRoute2 with an error of its own: then only the number passes on.
  EXPECT_TRUE(rc == 0 ? r.if_index != 0 : rc != 0) << rc;
  std::printf("route under Wine: %d\n", rc);
  PlatNeighbour n;
  EXPECT_EQ(plat_neighbour_probe(loop, 0, 300, &n), 0);
  EXPECT_TRUE(n.state == PLAT_NEIGH_INCOMPLETE || n.state == PLAT_NEIGH_REACHABLE) << n.state;
  LinkTcp t;
  link_tcp_connect(loop, 5597, 1000, &t);
  EXPECT_EQ(t.outcome, TCP_REFUSED) << t.error;
  LinkListener l;
  link_listener(5597, &l);
  EXPECT_EQ(l.result * 10 + l.found, 0);
  int s = sock_create(kSockStream);
  ASSERT_GT(s, 0);
  ASSERT_EQ(sock_bind_any(s, 5597), 0);
  ASSERT_EQ(sock_listen(s, 4), 0);
  link_tcp_connect(loop, 5597, 1000, &t);
  EXPECT_EQ(t.outcome, TCP_CONNECTED) << t.error;
  link_listener(5597, &l);
  EXPECT_EQ(l.result * 10 + l.found, 1);
  // Wine's owner table carries no process numbers (0); Windows names this process.
  EXPECT_TRUE(l.holder.pid == 0 || l.holder.pid == int(GetCurrentProcessId())) << l.holder.pid;
  sock_close(s);
  PlatFirewall fw;
  link_firewall(5510, &fw);
  EXPECT_TRUE(fw.state == PLAT_FW_READ || (fw.state == PLAT_FW_REFUSED && fw.error != 0)) << fw.state << " " << fw.error;
  std::printf("firewall under Wine: state %d, error 0x%x, profiles %d, rules %d\n", fw.state, unsigned(fw.error),
              fw.profiles_known, fw.count);
  int holders = -5;
  EXPECT_EQ(plat_device_holders("COM5", nullptr, 0, &holders), int(PLAT_HOLDER_UNKNOWN));
}

TEST(WinProbe, ComPortsOfThePair) {
  int a = env_com("LP_WIN_COM_A"), b = env_com("LP_WIN_COM_B");
  if (!a || !b) GTEST_SKIP() << "no COM port pair given (LP_WIN_COM_A, LP_WIN_COM_B)";
  unsigned char states[33];
  std::memset(states, 0xEE, sizeof states);
  probe_com_ports(32, states);
  EXPECT_EQ(states[a] * 10 + states[b], 11);
  EXPECT_EQ(states[32], 0) << "no COM32 in the prefix";
  EXPECT_GE(states[0], a > b ? a : b) << "the highest port found";
  for (int n = 1; n <= 32; ++n) EXPECT_LE(states[n], 2) << "COM" << n;
}

namespace {

// The values of prop, object by object (each call counts from the first), one a line.
std::string by_index(const char* prop, int* n) {
  char buf[300];
  std::string all;
  for (*n = 0; wmi_get_property(prop, *n, buf, sizeof buf) == WMI_OK; ++*n) all += std::string(buf) + "\n";
  EXPECT_EQ(wmi_get_property(prop, *n, buf, sizeof buf), WMI_END);
  return all;
}

class Wmi : public ::testing::Test {
 protected:
  void TearDown() override { wmi_release(); }
};

}  // namespace

TEST_F(Wmi, TheDeviceWalkGivesTheIndexedObjectsOnceThenEndsAndStaysOpen) {
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  int n = 0;
  const std::string ids = by_index("DeviceID", &n);
  ASSERT_GE(n, 2) << "Wine lists its own devices";
  EXPECT_EQ(by_index("DeviceID", &n), ids);  // every call counts from the first object
  char id[300], name[300];
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);  // past the index walk's end
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  std::string walked;
  while (wmi_next_device(id, sizeof id, name, sizeof name) == WMI_OK) walked += std::string(id) + "\n";
  EXPECT_EQ(walked, ids);
  EXPECT_EQ(wmi_next_device(id, sizeof id, name, sizeof name), WMI_END);
  char small[4];  // a cut, terminated text
  ASSERT_EQ(wmi_get_property("DeviceID", 0, small, sizeof small), WMI_OK);
  EXPECT_EQ(std::string(small), ids.substr(0, std::min<size_t>(3, ids.find('\n'))));
}

TEST_F(Wmi, FailingQueriesAndClosedState) {
  char buf[300];
  EXPECT_EQ(wmi_open_query("Win32_Processor WHERE"), WMI_E_QUERY);  // malformed
  EXPECT_EQ(wmi_get_property("Name", 0, buf, sizeof buf), WMI_E_NOT_OPEN) << "a failed open stays closed";
  EXPECT_EQ(wmi_open_query(std::string(300, 'C').c_str()), WMI_E_QUERY) << "longer than the query text";
  PlatSysQuery* q = reinterpret_cast<PlatSysQuery*>(1);
  EXPECT_EQ(sysq_open(nullptr, &q), SYSQ_NO_CLASS);
  EXPECT_EQ(q, nullptr);
  // Opening again releases the open query; release closes and may be repeated.
  ASSERT_EQ(wmi_open_query("Win32_Processor"), WMI_OK);
  ASSERT_EQ(wmi_open_query("Win32_PNPEntity"), WMI_OK);
  EXPECT_EQ(wmi_get_property("DeviceID", 0, buf, sizeof buf), WMI_OK);
  wmi_release();
  wmi_release();
  EXPECT_EQ(wmi_get_property("DeviceID", 0, buf, sizeof buf), WMI_E_NOT_OPEN);
}

// A 32-bit figure comes as a number, a 64-bit one (memory) as the text WMI hands it over as.
TEST_F(Wmi, NumbersKeepTheirKind) {
  const struct {
    const char *cls, *prop;
    int type;
  } cases[] = {{"Win32_Processor", "NumberOfCores", SYSQ_TYPE_UINT32},
               {"Win32_OperatingSystem", "TotalVisibleMemorySize", SYSQ_TYPE_STRING}};
  for (const auto& k : cases) {
    PlatSysQuery* q = nullptr;
    ASSERT_EQ(sysq_open(k.cls, &q), SYSQ_OK) << k.cls;
    int type = -1;
    uint32_t number = 7;
    char text[64];
    EXPECT_EQ(sysq_next(q), SYSQ_OK) << k.cls;
    EXPECT_EQ(sysq_get(q, k.prop, text, sizeof text, &number, &type), SYSQ_OK) << k.prop;
    EXPECT_EQ(type, k.type) << k.prop;
    EXPECT_TRUE(k.type == SYSQ_TYPE_UINT32 ? number >= 1 : number == 0 && std::atoll(text) > 0)
        << k.prop << " " << number << " '" << text << "'";
    sysq_close(q);
  }
}
