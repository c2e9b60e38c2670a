// Decimal numbers in settings and option texts, read by atoi's rules (leading blanks,
// optional sign, digits up to the first other character, 0 when there are none) but
// saturating at the int range instead of overflowing.
#pragma once
#include <climits>

inline int parse_int_saturating(const char* p) {
  if (!p) return 0;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  long long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    if (v > INT_MAX) return neg ? INT_MIN : INT_MAX;
  }
  return int(neg ? -v : v);
}
