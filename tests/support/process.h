// Small process helpers of the tests: shell commands, child exits, X windows by title.
#pragma once
#include <string>

// Runs a shell command; returns its standard output (status gets pclose's status).
std::string run_shell(const std::string& cmd, int* status = nullptr);
// The first visible X window whose title matches the regex ("" if none); with sync,
// waits up to 60 s for one to appear.
std::string visible_window(const std::string& title_regex, bool sync = true);
// Waits up to seconds for the child to end; returns its exit code (128 + signal), or -1.
// On return other than -1, pid is set to -1.
int wait_exit(int& pid, int seconds);
