// Fuzzes the ZRCLOG.INI reader on arbitrary text and checks what it promises: the
// identifier is at most 8 characters with no blank or line end in it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "commlib/core.h"

static bool contains(const uint8_t* data, size_t size, const char* key) {
  const uint8_t* k = reinterpret_cast<const uint8_t*>(key);
  return std::search(data, data + size, k, k + std::strlen(key)) != data + size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qc::LogOptions o = {5, 5, "PREV", 5, 5};
  qc::log_options_parse(&o, reinterpret_cast<const char*>(data), size);
  size_t n = 0;
  while (n < sizeof o.ident && o.ident[n]) ++n;
  if (n >= sizeof o.ident) __builtin_trap();  // not terminated
  if (std::strpbrk(o.ident, " \r\n")) __builtin_trap();
  // RECORD, LOGALL and IDENT are reset on every reading; they keep 5/"PREV" only if named.
  if (!contains(data, size, "IDENT=") && n != 0) __builtin_trap();
  if (!contains(data, size, "RECORD=") && o.record != 0) __builtin_trap();
  return 0;
}
