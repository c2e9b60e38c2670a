// The kernel text parsers (cpuinfo, meminfo, sysfs attributes) over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/linux/sysparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  static CpuPackage pk[64];
  int n = sysparse_cpuinfo(text, size, pk, 64);
  if (n < 0 || n > 64) __builtin_trap();
  for (int i = 0; i < n; i++) {
    if (std::strlen(pk[i].name) >= sizeof pk[i].name) __builtin_trap();
    if (i > 0 && pk[i - 1].physical_id >= pk[i].physical_id) __builtin_trap();  // ordered, distinct
    if (pk[i].logical == 0 || pk[i].cores == 0) __builtin_trap();
  }
  char out[32];
  if (sysparse_meminfo(text, size, out, sizeof out) == 0 && out[0] == '\0') __builtin_trap();
  char attr[64];
  if (sysparse_attr(text, size, attr, sizeof attr) == 0) {
    for (const char* c = attr; *c; c++)
      if (static_cast<unsigned char>(*c) < 0x20) __builtin_trap();
  }
  char hex[8] = {0};
  std::memcpy(hex, data, size < 7 ? size : 7);
  unsigned v = 0;
  if (sysparse_hex16(hex, &v) == 0 && v > 0xFFFF) __builtin_trap();
  return 0;
}
