// Test pieces for the serial transport. Over pseudo-terminals (PtyRoot, shared with the
// driver's tests, maps <root>/dev/COMn to their slaves) bytes reach the port through the
// kernel's tty layer; the simulated null-modem cable shows what a pseudo-terminal cannot:
// modem lines, break and line errors.
#pragma once
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "commlib/connection.h"
#include "commlib/core.h"
#include "commlib/transport.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/commlib/capture_reader.h"
#include "tests/serial/pty_root.h"

namespace lptest {

using lpcap::Seq;

// Writes all the bytes to the (non-blocking) master.
inline void feed(int master, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
    pollfd p = {master, POLLOUT, 0};
    if (w < 0 && (errno != EAGAIN || poll(&p, 1, 5000) <= 0)) {
      ADD_FAILURE() << "pty master write failed or stays full";
      return;
    }
    done += size_t(w > 0 ? w : 0);
  }
}

// Waits until the driver's input queue of the connection's port holds at least n bytes.
inline bool wait_input(const Connection* c, int n) {
  for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (ser_in_count(int(c->serial_port) - 1) >= n) return true;
  return false;
}

// The serial half of connect: what conn_connect does for "serial" before serial_open.
inline int open_serial(Connection* c, const char* port, int baud, bool server = false) {
  c->transport = 0;
  c->serial_option = 0;
  c->beacon_count = 1;
  c->is_server = server ? 1 : 0;
  return serial_open(c, port, baud);
}

// A message as msg_build lays it out: type, command, length, payload, sequence.
inline std::vector<uint8_t> message(uint8_t type, uint8_t command, size_t payload,
                                    uint32_t seq, uint8_t fill = 0x5A) {
  std::vector<uint8_t> m{type, command, uint8_t(payload + 8), uint8_t((payload + 8) >> 8)};
  for (size_t i = 0; i < payload; ++i) m.push_back(uint8_t(fill + i * 7));
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(seq >> (8 * i)));
  return m;
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One connection opened on <root>/dev/COM<com>, a pseudo-terminal whose master the test
// keeps.
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

// Two connections on the two ends of a simulated null-modem cable: COM5 (a, the calling
// side) on end 0 and COM6 (b, the answering side) on end 1.
class CableTest : public ::testing::Test {
 protected:
  static constexpr int kComA = 5, kComB = 6;
  void SetUp() override {
    ASSERT_GT(cable_, 0);
    ASSERT_EQ(sim_cable_bind(kComA, cable_, 0) + sim_cable_bind(kComB, cable_, 1), 0);
  }
  void TearDown() override {
    for (Connection* c : {a_, b_}) {
      serial_close(c);
      conn_free(c);
    }
    sim_cable_destroy(cable_);
  }
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

  int cable_ = sim_cable_create();
  Connection* a_ = conn_alloc();
  Connection* b_ = conn_alloc();
};

}  // namespace lptest
