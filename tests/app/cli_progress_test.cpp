// "linkprobe --run": a progress line on standard error only when that is a terminal;
// standard output is the exact report either way.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/pty.h"
#include "tests/support/temp_root.h"

namespace {

struct Outcome {
  std::string out, err;
  int status = -1;
};

// Runs "linkprobe --run rescan" with standard error on err_fd (or a pipe when -1).
Outcome run_rescan(int err_fd) {
  Outcome r;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err_fd >= 0 ? err_fd : err[1], 2);
    execl(LP_BINARY_DIR "/app/linkprobe", "linkprobe", "--run", "rescan", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<size_t>(n));
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) r.err.append(buf, static_cast<size_t>(n));
  close(out[0]);
  close(err[0]);
  if (pid > 0) waitpid(pid, &r.status, 0);
  return r;
}

TEST(CliProgress, OnlyOnATerminalAndNeverOnStandardOutput) {
  TempRoot root, sys;
  root.mkdir("dev");
  setenv("QUMEX_ROOT", root.path().c_str(), 1);
  setenv("QUMEX_SYSROOT", sys.path().c_str(), 1);
  unsetenv("DISPLAY");

  Outcome piped = run_rescan(-1);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out.rfind("******************************\nCOMM PORTS found(NONE)\n", 0), 0u) << piped.out;

  Pty tty;
  ASSERT_FALSE(tty.name.empty());
  Outcome on_tty = run_rescan(tty.slave);
  EXPECT_EQ(on_tty.status, 0);
  EXPECT_EQ(on_tty.out, piped.out);
  std::string shown;
  char buf[512];
  pollfd p{tty.master, POLLIN, 0};
  while (poll(&p, 1, 0) > 0) {
    ssize_t n = read(tty.master, buf, sizeof buf);
    if (n <= 0) break;
    shown.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(shown, "linkprobe: running rescan, please wait...\r\n");
  unsetenv("QUMEX_SYSROOT");
}

}  // namespace
