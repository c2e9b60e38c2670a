// The ports, configuration and system report, byte for byte, over fixture roots and
// pseudo-terminals standing in for COM ports. Each report runs in a child process of
// its own, because the system line is read at most once per process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
  int p[2];
  if (pipe(p) != 0) return "<pipe failed>";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string out = body();
    size_t off = 0;
    while (off < out.size()) {
      ssize_t n = write(p[1], out.data() + off, out.size() - off);
      if (n <= 0) _exit(2);
      off += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return "<child failed>";
  return out;
}

std::string config_in_child() {
  return in_child([] {
    build_config_report();
    return std::string(config_report);
  });
}

struct SysrootEnv {
  explicit SysrootEnv(const std::string& s) { setenv("QUMEX_SYSROOT", s.c_str(), 1); }
  ~SysrootEnv() { unsetenv("QUMEX_SYSROOT"); }
};

}  // namespace

TEST(ConfigReport, NoPortsVersionWithoutLineEndRunsIntoFigures) {
  TempRoot root;
  root.mkdir("dev");  // a port map without any COM port
  root.write("BIN/Tunecfg.", "4.2.1");
  SysrootEnv sys(kSysroot);
  std::string got = config_in_child();
  EXPECT_EQ(got, "Version       : 4.2.1" + kFigures + kStars30 + "COMM PORTS found(NONE)\n" + kStars32);
}

TEST(ConfigReport, FreeAndBusyPortsWithoutFigures) {
  TempRoot root;
  Pty free_port, busy_port;
  ASSERT_FALSE(free_port.name.empty());
  ASSERT_FALSE(busy_port.name.empty());
  root.mkdir("dev");
  ASSERT_EQ(symlink(free_port.name.c_str(), (root.path() + "/dev/COM1").c_str()), 0);
  ASSERT_EQ(symlink(busy_port.name.c_str(), (root.path() + "/dev/COM3").c_str()), 0);
  ASSERT_EQ(symlink("/dev/nonexistent-tty", (root.path() + "/dev/COM7").c_str()), 0);
  root.write("BIN/Tunecfg.", "7.0\nsecond line\n");
  PortHolder holder(busy_port.name);
  ASSERT_TRUE(holder.locked());
  TempRoot empty_sys;  // no procfs: the figures cannot be read
  SysrootEnv sys(empty_sys.path());
  setenv("QUMEX_ROOT", root.path().c_str(), 1);
  std::string got = config_in_child();
  EXPECT_EQ(got, "Version       : 7.0\n" + kStars30 + "COMM PORTS found(2)\n   COM1  \n   COM3 *\n" + kStars32);
}

TEST(ConfigReport, EmptyAndMissingVersionFile) {
  TempRoot root;
  root.mkdir("dev");
  root.write("BIN/Tunecfg.", "");
  SysrootEnv sys(kSysroot);
  std::string got = config_in_child();
  EXPECT_EQ(got, "Version       : " + kFigures + kStars30 + "COMM PORTS found(NONE)\n" + kStars32);

  root.remove("BIN/Tunecfg.");
  got = config_in_child();
  EXPECT_EQ(got, kFigures + kStars30 + "COMM PORTS found(NONE)\n" + kStars32);
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
  root.mkdir("dev");
  root.write("BIN/Tunecfg.", "1.0\n");
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
