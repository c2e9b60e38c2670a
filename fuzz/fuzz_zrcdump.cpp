// Capture-file decoder: any bytes, as a capture file and as a FULL companion.
#include <cstdio>

#include "tools/zrcdump/zrc_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = std::fopen("/dev/null", "w");
  size_t used = 0;
  zrc_dump_capture(data, size, sink, &used);
  if (used > size) __builtin_trap();
  zrc_dump_full(data, size, sink, &used);
  if (used > size) __builtin_trap();
  return 0;
}
