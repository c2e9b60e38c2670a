// Results of several calls compared as one line, "1 0 -3", so that a failure shows them all.
#pragma once

#include <initializer_list>
#include <string>

// Values in the order they are streamed (C++17 orders the operands of <<); "" shows as "-".
struct Seq {
  Seq& operator<<(long long v) { return *this << std::to_string(v); }
  Seq& operator<<(const std::string& t) {
    s += (s.empty() ? "" : " ") + (t.empty() ? "-" : t);
    return *this;
  }
  std::string s;
};

// Results of calls made in order (a braced list is evaluated left to right).
inline std::string results(std::initializer_list<long long> v) {
  Seq s;
  for (long long x : v) s << x;
  return s.s;
}
