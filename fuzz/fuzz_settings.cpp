// Arbitrary bytes as DEVS.NIN and DEVOPTS.NIN: the reader must neither crash nor
// read or write past a buffer, and the record must stay within its bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe/settings.h"

// A stream over the input, as the reader would get it from the file.
static FILE* open_input(const uint8_t* data, size_t size) {
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* devs = open_input(data, size);
  FILE* devopts = open_input(data, size);
  if (!devs || !devopts) std::abort();
  read_device_settings_from(devs, devopts);
  const DeviceSettings& s = device_settings;
  if (std::strlen(s.input_source) > 30) std::abort();
  if (std::strlen(s.amp_port_name) > 19) std::abort();
  if (s.amp_port == 0) std::abort();
  if (s.comm_class != 0 && s.comm_class != 1) std::abort();
  if (s.display_mode < 0 || s.display_mode > 2) std::abort();
  if (s.ethernet_address && std::strlen(s.ethernet_address) > 199) std::abort();
  bool known = false;
  for (int i = 0; i < DEVICE_ROWS; ++i) known |= (device_table[i].code == s.device_code);
  if (!known && s.device_code != 0) std::abort();
  return 0;
}
