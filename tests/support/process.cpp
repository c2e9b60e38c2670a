#include "tests/support/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

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

std::string visible_window(const std::string& title_regex, bool sync) {
  std::string id = run_shell(std::string(sync ? "timeout 60 xdotool search --sync" : "xdotool search") +
                             " --onlyvisible --name '" + title_regex + "' 2>/dev/null");
  size_t end = id.find_first_of("\r\n");
  if (end != std::string::npos) id.resize(end);
  return id;
}

int wait_exit(int& pid, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    usleep(100000);
  }
  return -1;
}
