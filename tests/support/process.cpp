#include "tests/support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

extern char** environ;

std::string run_shell(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

bool private_network() {
  int st = -1;
  return unshare(CLONE_NEWNET) == 0 && (run_shell("ip link set lo up 2>&1", &st), st == 0);
}

using Clock = std::chrono::steady_clock;

bool Child::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& cwd, bool with_stderr) {
  int in[2] = {-1, -1}, out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    for (int fd : in) (void)(fd >= 0 && close(fd));
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (with_stderr) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  to_ = in[1];
  from_ = out[0];
  if (rc != 0) pid_ = -1;  // the destructor closes the pipes
  return rc == 0;
}

Child::~Child() {
  // Asked first, so an instrumented child still writes its coverage and leak reports.
  if (pid_ > 0 && kill(pid_, SIGTERM) == 0 && finish(3000) == -1 && kill(pid_, SIGKILL) == 0)
    waitpid(pid_, nullptr, 0);
  if (to_ >= 0) close(to_);
  if (from_ >= 0) close(from_);
}

bool Child::send(const std::string& keys) {
  return to_ >= 0 && write(to_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

// False at the end of the output.
bool Child::read_some(int timeout_ms) {
  if (from_ < 0) return false;
  pollfd p = {from_, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r <= 0) return r == 0 || errno == EINTR;
  char buf[4096];
  ssize_t n = read(from_, buf, sizeof buf);
  if (n <= 0) return close(from_), from_ = -1, false;
  output_.append(buf, static_cast<size_t>(n));
  return true;
}

size_t Child::wait_for_any(const std::vector<std::string>& texts, size_t from, int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t best = std::string::npos;
    for (const std::string& t : texts) {
      size_t at = output_.find(t, from);
      if (at != std::string::npos && (best == std::string::npos || at + t.size() < best)) best = at + t.size();
    }
    if (best != std::string::npos || Clock::now() >= deadline) return best;
    if (!read_some(50)) usleep(20000);
  }
}

int Child::finish(int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pid_ > 0 && Clock::now() < deadline) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      while (read_some(0)) continue;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    if (!read_some(50)) usleep(20000);
  }
  return -1;
}

PortHolder::PortHolder(const std::string& path) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
  if ((pid_ = fork()) == 0) {
    close(sv[0]);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    char c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0 ? 'y' : 'n';
    // Held until our end closes, then released as our driver releases: the flag would
    // outlive us on a pty held open.
    if (write(sv[1], &c, 1) == 1)
      while (read(sv[1], &c, 1) < 0 && errno == EINTR) {
      }
    _exit(fd >= 0 ? ioctl(fd, TIOCNXCL) : 0);
  }
  close(sv[1]);  // a failed fork leaves no holder: closing ours is all
  go_ = sv[0];
  char c = 'n';
  while (pid_ > 0 && read(go_, &c, 1) < 0 && errno == EINTR) {
  }
  locked_ = c == 'y';
}

PortHolder::~PortHolder() {
  if (go_ >= 0) close(go_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}
