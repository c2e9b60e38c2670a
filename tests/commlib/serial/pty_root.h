// Test fixture pieces for the serial transport: a private installation root whose
// dev/COMn entries are pseudo-terminal slaves, and a feeder thread that writes the
// master side, so bytes reach the port through the kernel's tty layer.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
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

namespace lptest {

// The connection block is packed: gtest's macros bind references, so fields are read
// out by value first.
template <class T>
T val(T v) {
  return v;
}

class PtyRoot {
 public:
  PtyRoot() {
    char tmpl[] = "/tmp/lp-serial-XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (!d) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    root_ = d;
    std::string dev = root_ + "/dev";
    if (mkdir(dev.c_str(), 0700) != 0) ADD_FAILURE() << "mkdir dev failed";
    setenv("QUMEX_ROOT", root_.c_str(), 1);
  }
  ~PtyRoot() {
    for (auto& p : ports_) {
      unlink(p.link.c_str());
      close(p.master);
    }
    std::string dev = root_ + "/dev";
    rmdir(dev.c_str());
    rmdir(root_.c_str());
    unsetenv("QUMEX_ROOT");
  }
  PtyRoot(const PtyRoot&) = delete;
  PtyRoot& operator=(const PtyRoot&) = delete;

  // Creates a pseudo-terminal and maps COM<com> to its slave; returns the master.
  int add(int com) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      if (m >= 0) close(m);
      return -1;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0) {
      close(m);
      ADD_FAILURE() << "ptsname_r failed";
      return -1;
    }
    char link[512];
    std::snprintf(link, sizeof link, "%s/dev/COM%d", root_.c_str(), com);
    if (symlink(name, link) != 0) {
      close(m);
      ADD_FAILURE() << "symlink failed";
      return -1;
    }
    ports_.push_back({m, link});
    return m;
  }

  const std::string& path() const { return root_; }

 private:
  struct Port {
    int master;
    std::string link;
  };
  std::string root_;
  std::vector<Port> ports_;
};

// Writes the bytes to the master from another thread and waits until they are written.
inline void feed(int master, const std::vector<uint8_t>& bytes) {
  std::thread t([master, &bytes] {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
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
