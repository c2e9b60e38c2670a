// Shared pieces of the diagnostics tests: a private network, the shared throw-away
// installation root, and programs run as child processes.
#pragma once
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"

namespace diagtest {

// Moves this process (call it before any thread starts) into a network namespace of
// its own with only the loopback interface up, so that the fixed game port 5510 is
// ours alone even while other suites on the machine use it. Children (the responder,
// the X server) inherit it. Needs root; without it the shared namespace stays, and
// the CTest lock on the port is the only guard. Returns true when private.
inline bool private_network() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", "lo");
  bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  close(s);
  return up;
}

// A temporary folder (also set as QUMEX_ROOT when made; tests set what they need).
using TempRoot = ::TempRoot;

// Starts argv[0] with its standard output on a pipe, in cwd unless empty; returns the
// pipe's read end (or -1) and sets *pid.
inline int spawn_reading(const std::vector<std::string>& argv, const std::string& cwd, pid_t* pid) {
  // Everything the child needs is made before fork: it only execs.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  *pid = fork();
  if (*pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  if (*pid > 0) return fds[0];
  close(fds[0]);
  return -1;
}

// A child process whose standard output is read line by line.
class Child {
 public:
  Child() = default;
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start(const std::vector<std::string>& argv) {
    out_ = spawn_reading(argv, "", &pid_);
    return out_ >= 0;
  }

  // Waits up to timeout_ms for a line containing text; all lines read so far are kept.
  bool wait_for(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (output_.find(text) != std::string::npos) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || out_ < 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) {
        close(out_);
        out_ = -1;
        continue;
      }
      output_.append(buf, static_cast<size_t>(n));
    }
  }
  const std::string& output() const { return output_; }

  // Ends the child (SIGTERM) and returns its exit status, or -1.
  int stop() {
    int status = -1;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (waitpid(pid_, &status, 0) < 0) status = -1;
      pid_ = -1;
    }
    if (out_ >= 0) {
      close(out_);
      out_ = -1;
    }
    return status;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

// Runs a program to its end; returns its exit code (or -1) and fills out with stdout.
inline int run_program(const std::vector<std::string>& argv, const std::string& cwd,
                       std::string* out) {
  pid_t pid = -1;
  int fd = spawn_reading(argv, cwd, &pid);
  if (fd < 0) return -1;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0 && out) out->append(buf, static_cast<size_t>(n));
  close(fd);
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace diagtest
