#include "tests/support/xvfb.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Opened before any test can leave the namespace (a private one cannot open another
// process's namespace again).
static const int initial_net = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);

Xvfb::Xvfb() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    close(fds[0]);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    // A server picks its display number by the abstract sockets it can see, and those
    // belong to a network namespace: started from a test's private namespace it could
    // take a display already in use elsewhere and replace that server's socket file.
    // So every server runs in the namespace the test process started in; clients in
    // other namespaces reach it through the socket file.
    if (initial_net >= 0 && setns(initial_net, CLONE_NEWNET) != 0) {
      // Not allowed without privileges: then the test could not have left it either.
    }
    char fd_text[16];
    std::snprintf(fd_text, sizeof fd_text, "%d", fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd_text, "-screen", "0", "1024x768x24", "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  close(fds[1]);
  // The server writes its display number and a line end once it accepts clients (a
  // server that dies first closes the pipe; one that hangs meets the test's time limit).
  FILE* in = fdopen(fds[0], "r");
  int number = -1;
  if (!in) close(fds[0]);
  if (in && std::fscanf(in, "%d", &number) == 1) display_ = ":" + std::to_string(number);
  if (in) std::fclose(in);
  if (!display_.empty()) setenv("DISPLAY", display_.c_str(), 1);
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int st;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
  }
}

// Test programs that talk to X link this file; the font libraries' process-long
// caches are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libXft\nleak:libX11\nleak:libfreetype\n";
}
