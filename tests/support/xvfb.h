// A private X server for one test process: Xvfb on a free display number
// (-displayfd), so window tests can run side by side.
#pragma once
#include <string>

class Xvfb {
 public:
  Xvfb();  // starts the server and sets DISPLAY; ok() tells whether it came up
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  int pid_ = -1;
  std::string display_;
};
