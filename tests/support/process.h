// Processes of the tests: shell commands, X windows by title, child programs driven
// through pipes, a private network namespace, and pseudo-terminals standing in for COM ports.
#pragma once
#include <pty.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs a shell command; returns its standard output (status gets pclose's status).
std::string run_shell(const std::string& cmd, int* status = nullptr);
// The first visible X window whose title matches the regex ("" if none); with sync,
// waits up to 60 s for one to appear.
std::string visible_window(const std::string& title_regex, bool sync = true);
// Clicks at "x y" inside an X window.
void click(const std::string& window, const std::string& xy);
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

// Another program holding a port the way our own driver does (open, flock, exclusive
// mode) until the end, when it drops the exclusive mode as our driver does: the flag
// would outlive it on a pty held open.
struct PortHolder {
  explicit PortHolder(const std::string& path) {
    locked = p.start({"python3", "-c",
                      "import fcntl,os,signal,sys,termios\n"
                      "fd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY|os.O_NONBLOCK)\n"
                      "fcntl.flock(fd,fcntl.LOCK_EX|fcntl.LOCK_NB)\nfcntl.ioctl(fd,termios.TIOCEXCL)\n"
                      "signal.pthread_sigmask(signal.SIG_BLOCK,[signal.SIGTERM])\nprint('held',flush=True)\n"
                      "signal.sigwait([signal.SIGTERM])\n"
                      "fcntl.ioctl(fd,termios.TIOCNXCL)",
                      path}) &&
             p.wait_for("held\n") != std::string::npos;
  }
  Child p;
  bool locked = false;
};
