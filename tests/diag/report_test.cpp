// The system line and the rescan action, each in a child process of its own, because the
// system line is read at most once per process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

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

// Once read, the line stays; a failed attempt leaves it empty and the next one tries again.
TEST(SystemLine, ReadOnceAndTriedAgainAfterAFailure) {
  TempRoot empty;
  for (bool first_fails : {false, true})
    EXPECT_EQ(in_child([&] {
                setenv("QUMEX_SYSROOT", first_fails ? empty.path().c_str() : kSysroot.c_str(), 1);
                std::string first = system_line();
                setenv("QUMEX_SYSROOT", first_fails ? kSysroot.c_str() : empty.path().c_str(), 1);
                return first + "|" + system_line();
              }),
              (first_fails ? "" : kFigures) + "|" + kFigures);
}

std::string g_shown;
void show_address(const char* text) { g_shown = text; }

// The rescan replaces the panel's report (its text is checked through the program) and
// shows the host line in the address field.
TEST(Rescan, PanelGetsTheReportAndTheAddressFieldTheHostLine) {
  TempRoot root;
  root.mkdir("dev");  // a port map without any COM port
  ASSERT_TRUE(root.write("BIN/Tunecfg.", "1.0\n"));
  setenv("QUMEX_SYSROOT", kSysroot.c_str(), 1);
  std::string got = in_child([] {
    report_attach_address(show_address);
    panel_append("old report\n");
    rescan_action();
    return std::string(report_text).substr(0, 20) + "|" + g_shown + "|" + host_line;
  });
  size_t bar = got.find('|', 21);
  ASSERT_EQ(got.substr(0, 21), "Version       : 1.0\n|");
  EXPECT_EQ(got.substr(21, bar - 21), got.substr(bar + 1));  // the field shows host_line
  EXPECT_TRUE(got.find("|I am ") == 20 || got.find("|Network setup error") == 20) << got;
}

}  // namespace
