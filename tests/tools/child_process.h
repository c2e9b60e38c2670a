// A child program with its standard input and output on pipes, for driving console
// programs from tests.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  // Starts argv[0] (a path) with extra "NAME=value" entries added to the environment.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) env_text.push_back(*e);
    for (auto& e : env) env_text.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
      pid_ = -1;
      close(in[1]);
      close(out[0]);
      return false;
    }
    to_child_ = in[1];
    from_child_ = out[0];
    return true;
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close_input();
    if (from_child_ >= 0) close(from_child_);
  }

  bool send(const std::string& keys) {
    return to_child_ >= 0 &&
           write(to_child_, keys.data(), keys.size()) == ssize_t(keys.size());
  }
  void close_input() {
    if (to_child_ >= 0) close(to_child_);
    to_child_ = -1;
  }

  // Reads until the output holds text after position from (or the time is up).
  // Returns the position just past the text, or std::string::npos.
  size_t wait_for(const std::string& text, size_t from = 0, int timeout_ms = 15000) {
    return wait_for_any({text}, from, timeout_ms);
  }

  // Like wait_for, for whichever of the texts appears first after from.
  size_t wait_for_any(const std::vector<std::string>& texts, size_t from, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    for (;;) {
      size_t best = std::string::npos;
      for (auto& t : texts) {
        size_t at = output_.find(t, from);
        if (at != std::string::npos && (best == std::string::npos || at + t.size() < best))
          best = at + t.size();
      }
      if (best != std::string::npos || now_ms() >= deadline || !read_some(50)) return best;
    }
  }

  // Waits for the end of the child and collects the rest of its output.
  // Returns its exit code, or -1 when it was ended by a signal or did not end.
  int finish(int timeout_ms = 15000) {
    long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      read_some(50);
    }
    return -1;
  }

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

 private:
  static long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
  }

  // False at the end of the output.
  bool read_some(int timeout_ms) {
    if (from_child_ < 0) return false;
    struct pollfd p = {from_child_, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r <= 0) return r == 0 || errno == EINTR;
    char buf[4096];
    ssize_t n = read(from_child_, buf, sizeof buf);
    if (n <= 0) {
      close(from_child_);
      from_child_ = -1;
      return false;
    }
    output_.append(buf, size_t(n));
    return true;
  }

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string output_;
};
