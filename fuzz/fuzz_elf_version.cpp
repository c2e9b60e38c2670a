// Arbitrary bytes as an executable image: the version block reader must treat any
// damage as "no block", and the text rules must keep to their buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/version_text.h"
#include "platform/version_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char block[64];
  size_t len = 12345;
  int rc = plat_version_block_image(data, size, block, sizeof block, &len);
  if (rc == 0 && len > sizeof block) std::abort();
  if (rc != 0 && len != 0) std::abort();
  char text[VERSION_TEXT_SIZE];
  version_text_from_block(block, len, text, sizeof text);
  if (std::strlen(text) >= sizeof text) std::abort();
  // The rules alone, straight over the input.
  version_text_from_block(reinterpret_cast<const char*>(data), size, text, 40);
  if (std::strlen(text) >= 40) std::abort();
  return 0;
}
