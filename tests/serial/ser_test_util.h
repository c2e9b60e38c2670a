// Shared set-up for the driver tests: every test starts from the driver's initial
// defaults with all ports closed, whatever an earlier test in the process left.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

#include "pty_root.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"

inline void ser_reset_for_test() {
  for (int p = 0; p < SER_PORTS; ++p) ser_close(p);
  ser_open(-1, 0, 0);
  ser_set_baud(-1, 19200);
  ser_format(-1, 0, 0, 8);
}

// Results of calls made in order (a braced list is evaluated left to right), as "1 0 -3".
inline std::string results(std::initializer_list<long long> v) {
  std::string s;
  for (long long x : v) s += (s.empty() ? "" : " ") + std::to_string(x);
  return s;
}

// Polls cond every 2 ms for up to 10 s.
template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 5000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

// Background writes on for the scope ('W' flips them).
struct BackgroundWrites {
  BackgroundWrites() { ser_option('W'); }
  ~BackgroundWrites() { ser_option('W'); }
  BackgroundWrites(const BackgroundWrites&) = delete;
  BackgroundWrites& operator=(const BackgroundWrites&) = delete;
};

// Driver defaults reset, COM1 a pseudo-terminal whose master the test keeps; with
// open_port, port 0 is open too.
template <bool open_port>
class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ser_reset_for_test();
    master_ = root_.add_com(1);
    ASSERT_GE(master_, 0);
    if (open_port) {
      ASSERT_EQ(ser_open(0, 4000, 4000), 0);
    }
  }
  void TearDown() override { ser_reset_for_test(); }
  // Writes the bytes on the master and waits until port 0 holds at least `queued`.
  void arrive(const void* bytes, int n, int queued) {
    ASSERT_EQ(write(master_, bytes, size_t(n)), ssize_t(n));
    ASSERT_TRUE(eventually([&] { return ser_in_count(0) >= queued; }));
  }

  PtyRoot root_;
  int master_ = -1;
};

// Driver defaults reset, COM1 and COM2 (driver ports 0 and 1) the two ends of a
// simulated null-modem cable.
class CableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ser_reset_for_test();
    cable_ = sim_cable_create();
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(1, cable_, 0), 0);
    ASSERT_EQ(sim_cable_bind(2, cable_, 1), 0);
  }
  void TearDown() override {
    ser_reset_for_test();
    sim_cable_destroy(cable_);
  }
  void open_both() {
    ASSERT_EQ(ser_open(0, 4000, 4000), 0);
    ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  }

  int cable_ = -1;
};
