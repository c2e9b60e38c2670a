// Test pieces for the serial transport over pseudo-terminals (PtyRoot maps
// <root>/dev/COMn to their slaves) and over the simulated null-modem cable, which shows
// what a pseudo-terminal cannot: modem lines, break and line errors.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/ser.h"
#include "tests/commlib/conn_script.h"
#include "tests/serial/pty_root.h"

namespace lptest {

using connscript::message;
using connscript::open_serial;

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Writes all the bytes to the (non-blocking) master.
inline void feed(int master, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
    pollfd p = {master, POLLOUT, 0};
    if (w < 0 && (errno != EAGAIN || poll(&p, 1, 5000) <= 0)) return ADD_FAILURE() << "pty master stays full", void();
    done += size_t(w > 0 ? w : 0);
  }
}

// Waits until the driver's input queue of the connection's port holds at least n bytes.
inline bool wait_input(const Connection* c, int n) {
  for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (ser_in_count(int(c->serial_port) - 1) >= n) return true;
  return false;
}

// One connection opened on <root>/dev/COM<com>, a pseudo-terminal whose master the test keeps.
class PtyConnection : public ::testing::Test {
 protected:
  PtyConnection(int com, int baud) : com_(com), baud_(baud) {}
  void SetUp() override {
    ASSERT_GE(master_ = root_.add_com(com_), 0);
    ASSERT_EQ(open_serial(c_, ("COM" + std::to_string(com_)).c_str(), baud_), 0);
  }
  void TearDown() override {
    serial_close(c_);
    conn_free(c_);
  }
  const int com_, baud_;
  PtyRoot root_;
  int master_ = -1;
  Connection* c_ = conn_alloc();
};

// Two connections on the ends of a simulated null-modem cable, opened at baud: COM5
// (a, the calling side) on end 0 and COM6 (b, the answering side) on end 1.
class CableTest : public ::testing::Test {
 protected:
  static constexpr int kComB = 6;
  void SetUp() override {
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(5, cable_, 0) + sim_cable_bind(kComB, cable_, 1), 0);
  }
  void TearDown() override {
    for (Connection* c : {a_, b_}) serial_close(c), conn_free(c);
    sim_cable_destroy(cable_);
  }
  void open_both(int baud) { ASSERT_EQ(open_serial(a_, "COM5", baud) + open_serial(b_, "COM6", baud, true), 0); }
  int lines(int end) const { return sim_cable_lines(cable_, end); }
  int cable_ = sim_cable_create();
  Connection* a_ = conn_alloc();
  Connection* b_ = conn_alloc();
};

}  // namespace lptest
