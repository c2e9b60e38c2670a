// Processes of the tests: shell commands, child programs driven
// through pipes, a private network namespace, and pseudo-terminals standing in for COM ports.
#pragma once
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs a shell command; returns its standard output (status gets pclose's status).
std::string run_shell(const std::string& cmd, int* status = nullptr);
// Moves this process (before any thread starts) into a network namespace of its own with
// only loopback up, so fixed ports are ours alone; children inherit it. Needs root;
// false when the shared namespace stays (the CTest lock is then the only guard).
bool private_network();

// A program (argv[0] looked up on PATH) with standard input and output on pipes;
// killed at the end if it still runs.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // env: extra "NAME=value" entries; cwd: where it runs ("" for here); with_stderr:
  // standard error joins the output instead of staying ours.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::string& cwd = "", bool with_stderr = true);
  bool send(const std::string& keys);
  // Reads until the output holds one of the texts after from; returns the position just
  // past the earliest ending one, or std::string::npos when the time is up.
  size_t wait_for_any(const std::vector<std::string>& texts, size_t from, int timeout_ms);
  size_t wait_for(const std::string& text, size_t from = 0, int timeout_ms = 15000) {
    return wait_for_any({text}, from, timeout_ms);
  }
  // Waits for the end and the rest of the output: the exit code, 128 + signal, or -1
  // if it did not end in time.
  int finish(int timeout_ms = 15000);
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

 private:
  bool read_some(int timeout_ms);
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string output_;
};

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    char buf[128];
    if (openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// Another process holding a port the way our own driver does (open, flock, exclusive
// mode) until released.
class PortHolder {
 public:
  explicit PortHolder(const std::string& path);
  ~PortHolder();
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  bool locked_ = false;
};
