// Shared pieces of the diagnostics tests: a throw-away installation root and the
// responder program as a child process.
#pragma once
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// A temporary folder used as QUMEX_ROOT (and as whatever else a test needs).
class TempRoot {
 public:
  TempRoot() {
    char tmpl[] = "/tmp/lp_diag_XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempRoot() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cleanup of %s failed\n", path_.c_str());
    }
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }
  bool ok() const { return !path_.empty(); }

  // Writes rel (creating its folders) with the given content.
  bool write(const std::string& rel, const std::string& content) const {
    std::string full = path_ + "/" + rel;
    for (size_t p = full.find('/', path_.size() + 1); p != std::string::npos;
         p = full.find('/', p + 1))
      mkdir(full.substr(0, p).c_str(), 0755);
    FILE* f = std::fopen(full.c_str(), "w");
    if (!f) return false;
    bool good = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && good;
  }
  bool symlink_to(const std::string& rel, const std::string& target) const {
    std::string full = path_ + "/" + rel;
    size_t slash = full.rfind('/');
    std::string cmd = "mkdir -p '" + full.substr(0, slash) + "'";
    if (std::system(cmd.c_str()) != 0) return false;
    return ::symlink(target.c_str(), full.c_str()) == 0;
  }
  std::string read(const std::string& rel) const {
    std::string out;
    FILE* f = std::fopen((path_ + "/" + rel).c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
  }
  bool exists(const std::string& rel) const {
    struct stat st;
    return ::stat((path_ + "/" + rel).c_str(), &st) == 0;
  }

 private:
  std::string path_;
};

// A child process whose standard output is read line by line.
class Child {
 public:
  Child() = default;
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start(const std::vector<std::string>& argv) {
    // Everything the child needs is made before fork: it only execs.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) {
      close(fds[0]);
      close(fds[1]);
      return false;
    }
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
    return true;
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
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
    if (out) out->append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace diagtest
