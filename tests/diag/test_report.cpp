// The ports, configuration and system report, byte for byte, over fixture roots and
// pseudo-terminals standing in for COM ports. Each report runs in a child process of
// its own, because the system line is read at most once per process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "app/panel.h"
#include "diag/report.h"
#include "probe/netaddr.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kSysroot = std::string(LP_SOURCE_DIR) + "/tests/fixtures/sysroot-usb2cpu";
const std::string kFigures =
    "Cores=4,Procs=8,Speed=2100,Mem=16318480\nCPU=Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz\n";
const std::string kStars30 = "******************************\n";
const std::string kStars32 = "********************************\n";

// Runs body in a child process and returns what it returned.
std::string in_child(const std::function<std::string()>& body) {
  FILE* f = std::tmpfile();  // the child writes at the shared offset; gone once closed
  if (!f) return "<tmpfile failed>";
  pid_t pid = fork();
  if (pid == 0) {
    std::string out = body();
    _exit(std::fwrite(out.data(), 1, out.size(), f) == out.size() && std::fflush(f) == 0 ? 0 : 2);
  }
  int st = 0;
  bool ok = pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
  std::string out;
  char buf[4096];
  std::rewind(f);
  for (size_t n; ok && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return ok ? out : "<child failed>";
}

struct SysrootEnv {
  explicit SysrootEnv(const std::string& s) { setenv("QUMEX_SYSROOT", s.c_str(), 1); }
  ~SysrootEnv() { unsetenv("QUMEX_SYSROOT"); }
};

}  // namespace

TEST(ConfigReport, VersionFiguresAndPorts) {
  TempRoot root, empty_sys;  // empty_sys: no procfs, so the figures cannot be read
  Pty free_port, busy_port;
  ASSERT_FALSE(free_port.name.empty() || busy_port.name.empty());
  ASSERT_TRUE(root.symlink_to("dev/COM1", free_port.name));
  ASSERT_TRUE(root.symlink_to("dev/COM3", busy_port.name));
  ASSERT_TRUE(root.symlink_to("dev/COM7", "/dev/nonexistent-tty"));
  PortHolder holder(busy_port.name);
  ASSERT_TRUE(holder.locked());
  setenv("QUMEX_ROOT", root.path().c_str(), 1);
  struct Case {
    const char* version;  // the version file, or null for none
    bool figures;
    std::string head;
  } cases[] = {
      {"4.2.1", true, "Version       : 4.2.1" + kFigures},  // no line end: runs into the figures
      {"7.0\nsecond line\n", false, "Version       : 7.0\n"},
      {"", true, "Version       : " + kFigures},
      {nullptr, true, kFigures},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version ? c.version : "(no file)");
    root.remove("BIN/Tunecfg.");
    if (c.version) {
      ASSERT_TRUE(root.write("BIN/Tunecfg.", c.version));
    }
    SysrootEnv sys(c.figures ? kSysroot : empty_sys.path());
    std::string got = in_child([] {
      build_config_report();
      return std::string(config_report);
    });
    EXPECT_EQ(got, c.head + kStars30 + "COMM PORTS found(2)\n   COM1  \n   COM3 *\n" + kStars32);
  }
}

TEST(SystemLine, ReadOnceThenReused) {
  SysrootEnv sys(kSysroot);
  TempRoot empty_sys;
  std::string path = empty_sys.path();
  std::string got = in_child([&] {
    std::string first = system_line();
    setenv("QUMEX_SYSROOT", path.c_str(), 1);  // the figures are gone now
    return first + "|" + system_line();
  });
  EXPECT_EQ(got, kFigures + "|" + kFigures);

  // A failed attempt leaves the line empty, and the next one tries again.
  got = in_child([&] {
    setenv("QUMEX_SYSROOT", path.c_str(), 1);
    std::string first = system_line();
    setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
    return first + "|" + system_line();
  });
  EXPECT_EQ(got, "|" + kFigures);
}

TEST(SystemLine, LongProcessorNameIsCutAndKeepsItsLineEnd) {
  TempRoot sys;
  sys.write("proc/meminfo", "MemTotal: 2048 kB\n");
  sys.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: " + std::string(200, 'N') +
                                "\ncpu MHz\t: 1000\nphysical id\t: 0\n\nprocessor\t: 1\nphysical id\t: 0\n");
  SysrootEnv env(sys.path());
  std::string got = in_child([] { return std::string(system_line()); });
  std::string head = "Cores=2,Procs=2,Speed=1000,Mem=2048\nCPU=";
  ASSERT_EQ(got.size(), SYSTEM_LINE_SIZE - 1);
  EXPECT_EQ(got.substr(0, head.size()), head);
  EXPECT_EQ(got.back(), '\n');
  EXPECT_EQ(got.find_first_not_of('N', head.size()), got.size() - 1);
}

static std::string g_shown;
static void show_address(const char* text) { g_shown = text; }

TEST(Rescan, PanelGetsTheReportAndTheAddressFieldTheHostLine) {
  TempRoot root;
  root.mkdir("dev");  // a port map without any COM port
  ASSERT_TRUE(root.write("BIN/Tunecfg.", "1.0\n"));
  SysrootEnv sys(kSysroot);
  std::string got = in_child([] {
    report_attach_address(show_address);
    panel_append("old report\n");
    rescan_action();
    return std::string(report_text) + "|" + g_shown + "|" + host_line;
  });
  std::string report = "Version       : 1.0\n" + kFigures + kStars30 + "COMM PORTS found(NONE)\n" + kStars32;
  ASSERT_EQ(got.substr(0, report.size() + 1), report + "|");
  std::string rest = got.substr(report.size() + 1);
  size_t bar = rest.find('|');
  ASSERT_NE(bar, std::string::npos);
  EXPECT_EQ(rest.substr(0, bar), rest.substr(bar + 1));  // the field shows host_line
  EXPECT_FALSE(rest.substr(0, bar).empty());
}
