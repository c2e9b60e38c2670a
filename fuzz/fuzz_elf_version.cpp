// Arbitrary bytes as an executable file: the version block reader must treat any
// damage as "no block", and the text rules must keep to their buffer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/version_text.h"
#include "platform/version_block.h"

static std::string path;

static void remove_file() { unlink(path.c_str()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (path.empty()) {
    char tmpl[] = "/tmp/lpfuzzelf.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) std::abort();
    close(fd);
    path = tmpl;
    std::atexit(remove_file);
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  bool ok = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !ok) return 0;
  char block[64];
  size_t len = 12345;
  int rc = plat_version_block(path.c_str(), block, sizeof block, &len);
  if (rc == 0 && len > sizeof block) std::abort();
  if (rc != 0 && len != 0) std::abort();
  char text[VERSION_TEXT_SIZE];
  file_version_text(path.c_str(), text, sizeof text);
  if (std::strlen(text) >= sizeof text) std::abort();
  // The rules alone, straight over the input.
  version_text_from_block(reinterpret_cast<const char*>(data), size, text, 40);
  if (std::strlen(text) >= 40) std::abort();
  return 0;
}
