// Two connections on the two ends of a simulated null-modem cable: COM5 on end 0 and
// COM6 on end 1. For what a pseudo-terminal cannot show: modem lines, break and line
// errors.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "commlib/core.h"
#include "commlib/transport.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/commlib/serial/serial_test_util.h"

namespace lptest {

class CableTest : public ::testing::Test {
 protected:
  static constexpr int kComA = 5, kComB = 6;

  void SetUp() override {
    cable_ = sim_cable_create();
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(kComA, cable_, 0), 0);
    ASSERT_EQ(sim_cable_bind(kComB, cable_, 1), 0);
    a_ = conn_alloc();
    b_ = conn_alloc();
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
  }
  void TearDown() override {
    if (a_) {
      serial_close(a_);
      conn_free(a_);
    }
    if (b_) {
      serial_close(b_);
      conn_free(b_);
    }
    sim_cable_destroy(cable_);
  }
  // Opens both ends: a the calling (client) side, b the answering (server) side.
  void open_both(int baud) {
    ASSERT_EQ(open_serial(a_, "COM5", baud, false), 0);
    ASSERT_EQ(open_serial(b_, "COM6", baud, true), 0);
  }
  // Writes raw bytes into b's port from a's side of the cable.
  void send_to_b(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(serial_write(a_, bytes.data(), int(bytes.size())), 0);
    ASSERT_TRUE(wait_input(b_, int(bytes.size())));
  }
  int lines(int end) const { return sim_cable_lines(cable_, end); }

  int cable_ = -1;
  Connection* a_ = nullptr;
  Connection* b_ = nullptr;
};

}  // namespace lptest
