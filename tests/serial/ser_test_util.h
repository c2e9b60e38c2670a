// Shared set-up for the driver tests: every test starts from the driver's initial
// defaults with all ports closed, whatever an earlier test in the process left.
#pragma once
#include "serial/ser.h"

inline void ser_reset_for_test() {
  for (int p = 0; p < SER_PORTS; ++p) ser_close(p);
  ser_open(-1, 0, 0);
  ser_set_baud(-1, 19200);
  ser_format(-1, 0, 0, 8);
}

// Background writes on for the scope ('W' flips them).
struct BackgroundWrites {
  BackgroundWrites() { ser_option('W'); }
  ~BackgroundWrites() { ser_option('W'); }
  BackgroundWrites(const BackgroundWrites&) = delete;
  BackgroundWrites& operator=(const BackgroundWrites&) = delete;
};
