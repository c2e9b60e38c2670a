// Feeds arbitrary bytes to the settings parser as a settings message of that size,
// then walks the lists it filled.
#include <cstddef>
#include <cstdint>

#include "commlib/settings_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int n = settings_parse(data, size > 0x7fffffff ? 0x7fffffff : int(size));
  int names = 0;
  while (settings_next_changed()) ++names;
  if (names > n) __builtin_trap();  // every counted line gave at most one name
  settings_get("a");
  settings_remove("a");
  qc::settings_clear_all();
  return 0;
}
