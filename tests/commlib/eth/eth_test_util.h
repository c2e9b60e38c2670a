// Helpers for the ethernet transport tests: free ports, waiting, raw peers,
// scratch directories and capture-file decoding.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/transport.h"
#include "platform/sockets.h"

namespace ethtest {

inline int status_of(Connection* c) { return ETH_LOAD(c, status); }
inline int connect_state_of(Connection* c) { return ETH_LOAD(c, connect_state); }

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <class F>
bool wait_for(F pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    sleep_ms(5);
  }
  return pred();
}

inline bool can_bind(int type, int port) {
  int s = socket(AF_INET, type, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// A base port P with TCP P, P + 1 and UDP P, P + 1 all free, so that tests can run
// side by side (ports are picked at random, then checked).
inline int free_port_base() {
  std::random_device rd;
  std::mt19937 gen(rd());
  std::uniform_int_distribution<int> dist(20000, 59000);
  for (int i = 0; i < 500; ++i) {
    int p = dist(gen) & ~1;
    if (can_bind(SOCK_STREAM, p) && can_bind(SOCK_STREAM, p + 1) && can_bind(SOCK_DGRAM, p) &&
        can_bind(SOCK_DGRAM, p + 1))
      return p;
  }
  return 0;
}

inline sockaddr_in loop_addr(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Raw peers, without the library.
inline int raw_udp(int bind_port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind_port) {
    sockaddr_in a = loop_addr(bind_port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(s);
      return -1;
    }
  }
  timeval tv{0, 200000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

inline bool raw_sendto(int s, int port, const void* data, size_t n) {
  sockaddr_in a = loop_addr(port);
  return sendto(s, data, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(n);
}

inline int raw_tcp_connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in a = loop_addr(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

inline bool raw_send_all(int s, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t r = send(s, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// Builds a message without an object: type, command, length, payload, sequence.
inline std::vector<uint8_t> make_msg(uint8_t type, uint8_t cmd, const std::string& payload,
                                     uint32_t seq) {
  std::vector<uint8_t> m(payload.size() + 8);
  m[0] = type;
  m[1] = cmd;
  m[2] = uint8_t(m.size() & 0xff);
  m[3] = uint8_t(m.size() >> 8);
  std::memcpy(m.data() + 4, payload.data(), payload.size());
  size_t q = m.size() - 4;
  for (int i = 0; i < 4; ++i) m[q + i] = uint8_t(seq >> (8 * i));
  return m;
}

// Waits up to ms for a message on a channel; returns its length (0: none).
inline int receive_wait(Connection* c, int channel, uint8_t* buf, int size, int ms) {
  int n = 0;
  wait_for([&] { return (n = rx_receive(c, channel, buf, size)) > 0; }, ms);
  return n;
}

// Sends a built message and returns conn_send's result.
inline int send_built(Connection* c, uint8_t type, uint8_t cmd, const std::string& payload) {
  uint8_t buf[qc::kMaxMessage];
  int n = msg_build(c, buf, sizeof buf, type, cmd, payload.data(), int(payload.size()));
  if (n == 0) return -1;
  return conn_send(c, buf, 0);
}

// A temporary current directory, optionally with a ZRCLOG.INI.
class ScratchDir {
 public:
  explicit ScratchDir(const char* ini) {
    char tmpl[] = "/tmp/lp_eth_XXXXXX";
    char* d = mkdtemp(tmpl);
    if (d) path_ = d;
    if (!getcwd(old_, sizeof old_)) old_[0] = 0;
    if (!path_.empty() && chdir(path_.c_str()) == 0 && ini) {
      FILE* f = std::fopen("ZRCLOG.INI", "w");
      if (f) {
        std::fputs(ini, f);
        std::fclose(f);
      }
    }
    qc::log_options_mark_unread();
  }
  ~ScratchDir() {
    if (old_[0] && chdir(old_) != 0) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty() && std::system(cmd.c_str()) != 0) return;
  }
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    DIR* d = opendir(path_.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    closedir(d);
    return out;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  char old_[4096];
};

struct Record {
  uint16_t kind, code;
  uint32_t first, second, third;
  std::string text;
};

inline std::vector<Record> read_capture(const std::string& file) {
  std::vector<Record> out;
  FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return out;
  uint8_t r[40];
  while (std::fread(r, 1, 40, f) == 40) {
    Record x;
    x.kind = qc::le16(r);
    x.code = qc::le16(r + 2);
    x.second = qc::le32(r + 8);
    x.first = qc::le32(r + 12);
    x.third = qc::le32(r + 16);
    if (x.kind == 1) x.text.assign(reinterpret_cast<const char*>(r + 8), strnlen((const char*)r + 8, 32));
    out.push_back(x);
  }
  std::fclose(f);
  return out;
}

inline bool has_event(const std::vector<Record>& recs, uint16_t code) {
  for (const auto& r : recs)
    if (r.kind == 0 && r.code == code) return true;
  return false;
}

inline const Record* find_event(const std::vector<Record>& recs, uint16_t code) {
  for (const auto& r : recs)
    if (r.kind == 0 && r.code == code) return &r;
  return nullptr;
}

}  // namespace ethtest
