// The system line and the rescan action, each in a child process of its own, because the
// system line is read at most once per process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "app/panel.h"
#include "diag/report.h"
#include "probe/netaddr.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kSysroot = std::string(LP_SOURCE_DIR) + "/tests/fixtures/sysroot-usb2cpu";
const std::string kFigures =
    "Cores=4,Procs=8,Speed=2100,Mem=16318480\nCPU=Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz\n";

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

TEST(SystemLine, ReadOnceTriedAgainAfterAFailureAndCut) {
  TempRoot sys;
  const std::string empty = sys.path();
  // Once read, the line stays; a failed attempt leaves it empty and the next one tries again.
  EXPECT_EQ(in_child([&] {
              setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
              std::string first = system_line();
              setenv("QUMEX_SYSROOT", empty.c_str(), 1);
              std::string second = system_line();
              return first + "|" + second;
            }),
            kFigures + "|" + kFigures);
  EXPECT_EQ(in_child([&] {
              setenv("QUMEX_SYSROOT", empty.c_str(), 1);
              std::string first = system_line();
              setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
              return first + "|" + system_line();
            }),
            "|" + kFigures);
  // A long processor name is cut and keeps its line end.
  sys.write("proc/meminfo", "MemTotal: 2048 kB\n");
  sys.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: " + std::string(200, 'N') +
                                "\ncpu MHz\t: 1000\nphysical id\t: 0\n\nprocessor\t: 1\nphysical id\t: 0\n");
  sys.as_sysroot();
  std::string got = in_child([] { return std::string(system_line()); });
  std::string head = "Cores=2,Procs=2,Speed=1000,Mem=2048\nCPU=";
  ASSERT_EQ(got.size(), SYSTEM_LINE_SIZE - 1);
  EXPECT_EQ(got.substr(0, head.size()), head);
  EXPECT_EQ(got.find_first_not_of('N', head.size()), got.size() - 1);
  EXPECT_EQ(got.back(), '\n');
}

std::string g_shown;
void show_address(const char* text) { g_shown = text; }

TEST(Rescan, PanelGetsTheReportAndTheAddressFieldTheHostLine) {
  TempRoot root;
  root.mkdir("dev");  // a port map without any COM port
  ASSERT_TRUE(root.write("BIN/Tunecfg.", "1.0\n"));
  setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
  std::string got = in_child([] {
    report_attach_address(show_address);
    panel_append("old report\n");
    rescan_action();
    return std::string(report_text) + "|" + g_shown + "|" + host_line;
  });
  std::string head = "Version       : 1.0\n" + kFigures + std::string(30, '*') + "\nCOMM PORTS found(NONE)\n" + std::string(32, '*') + "\n|";
  ASSERT_EQ(got.substr(0, head.size()), head);
  std::string rest = got.substr(head.size());
  size_t bar = rest.find('|');
  ASSERT_NE(bar, std::string::npos);
  EXPECT_EQ(rest.substr(0, bar), rest.substr(bar + 1));  // the field shows host_line
  EXPECT_TRUE(rest.rfind("I am ", 0) == 0 || rest.rfind("Network setup error", 0) == 0) << rest;
}

}  // namespace
