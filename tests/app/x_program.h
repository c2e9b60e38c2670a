// The real program on a private X server: started as a child, clicked with xdotool and
// captured with ImageMagick.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/xvfb.h"

const std::string kProgram = std::string(LP_BINARY_DIR) + "/app/linkprobe";
const std::string kArtifacts = std::string(LP_BINARY_DIR) + "/tests/app";

// argv[0] found on PATH, killed at the end if it is still running.
class Running {
 public:
  explicit Running(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      // The sanitizer build must not count the X font libraries' caches as leaks.
      setenv("LSAN_OPTIONS", "suppressions=" LP_SOURCE_DIR "/tests/support/lsan_x11.supp", 1);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~Running() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  bool started() const { return pid_ > 0; }
  int wait_exit(int seconds) { return ::wait_exit(pid_, seconds); }

 private:
  int pid_ = -1;
};

inline void click(const std::string& window, const std::string& xy) {
  run_shell("xdotool mousemove --window " + window + " " + xy + " click 1");
}

// Captures a window (or "root") into the build folder; returns the picture's path.
inline std::string shot(const std::string& window, const std::string& name) {
  std::string path = kArtifacts + "/" + name;
  int st = -1;
  run_shell("import -window " + window + " " + path, &st);
  EXPECT_EQ(st, 0) << path;
  return path;
}
