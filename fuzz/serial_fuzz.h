// What both serial framing fuzzers share: a trap that libFuzzer reports as a crash,
// and a drain that checks every delivered message's header.
#pragma once
#include <cstdint>

#include "commlib/core.h"
#include "commlib/serial.h"
#include "commlib/transport.h"

namespace serial_fuzz {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Receives all that is queued. Every message must have a header the framing accepts
// (length field equal to its size, 8 up to the maximum, type with its top bit set,
// command below 128); rule(buf, len) adds the framing's own checks.
template <typename Rule>
void drain(Connection* c, Rule rule) {
  uint8_t buf[qc::kMaxMessage];
  int n;
  while ((n = rx_receive(c, -1, buf, sizeof buf)) > 0) {
    const int len = qc::le16(buf + 2);
    check(n == len && len >= 8 && len <= qc::kMaxMessage);
    check((buf[0] & 0x80) && buf[1] < 0x80);
    rule(buf, len);
  }
}

}  // namespace serial_fuzz
