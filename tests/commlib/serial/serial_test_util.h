// Test pieces for the serial transport over pseudo-terminals (PtyRoot, shared with the
// driver's tests, maps <root>/dev/COMn to their slaves): a feeder thread that writes the
// master side, so bytes reach the port through the kernel's tty layer, and helpers to
// read what a connection wrote.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commlib/connection.h"
#include "commlib/core.h"
#include "commlib/transport.h"
#include "serial/ser.h"
#include "tests/serial/pty_root.h"

namespace lptest {

// The connection block is packed: gtest's macros bind references, so fields are read
// out by value first.
template <class T>
T val(T v) {
  return v;
}

// Writes the bytes to the master from another thread and waits until they are written.
inline void feed(int master, const std::vector<uint8_t>& bytes) {
  std::thread t([master, &bytes] {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
      if (w < 0 && errno == EAGAIN) {  // the master is non-blocking: wait for room
        pollfd p = {master, POLLOUT, 0};
        if (poll(&p, 1, 5000) <= 0) {
          ADD_FAILURE() << "pty master stays full";
          return;
        }
        continue;
      }
      if (w < 0) {
        ADD_FAILURE() << "write to pty master failed";
        return;
      }
      done += size_t(w);
    }
  });
  t.join();
}

// Reads up to n bytes from the master (the bytes a connection wrote), waiting up to
// limit_ms for them.
inline std::vector<uint8_t> drain_master(int master, size_t n, int limit_ms = 5000) {
  std::vector<uint8_t> out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  const int fl = fcntl(master, F_GETFL);
  if (fl < 0 || fcntl(master, F_SETFL, fl | O_NONBLOCK) != 0) {
    ADD_FAILURE() << "fcntl on the pty master failed";
    return out;
  }
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    uint8_t buf[4096];
    ssize_t r = read(master, buf, sizeof buf);
    if (r > 0) {
      out.insert(out.end(), buf, buf + r);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  if (fcntl(master, F_SETFL, fl) != 0) ADD_FAILURE() << "fcntl on the pty master failed";
  return out;
}

// Waits until the driver's input queue of the connection's port holds at least n bytes.
inline bool wait_input(const Connection* c, int n) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    if (ser_in_count(int(c->serial_port) - 1) >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
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
  std::vector<uint8_t> m(payload + 8, fill);
  m[0] = type;
  m[1] = command;
  m[2] = uint8_t((payload + 8) & 0xFF);
  m[3] = uint8_t((payload + 8) >> 8);
  for (size_t i = 0; i < payload; ++i) m[4 + i] = uint8_t(fill + i * 7);
  for (int i = 0; i < 4; ++i) m[payload + 4 + i] = uint8_t(seq >> (8 * i));
  return m;
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace lptest
