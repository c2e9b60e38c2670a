#include "app/version_text.h"

#include <cstdio>
#include <cstring>

#include "platform/version_block.h"

// Finds "key=" at the start of an entry; the value runs to the entry's zero byte
// or to the end of the block, whichever comes first.
static bool block_value(const char* block, size_t len, const char* key, const char** value,
                        size_t* value_len) {
  size_t key_len = std::strlen(key);
  size_t pos = 0;
  while (pos < len) {
    const char* entry = block + pos;
    size_t n = 0;
    while (pos + n < len && entry[n] != '\0') ++n;
    if (n > key_len && std::memcmp(entry, key, key_len) == 0 && entry[key_len] == '=') {
      *value = entry + key_len + 1;
      *value_len = n - key_len - 1;
      return true;
    }
    pos += n + 1;
  }
  return false;
}

static void append(char* out, size_t size, const char* text, size_t n) {
  size_t used = std::strlen(out);
  if (used + 1 >= size) return;
  if (n > size - 1 - used) n = size - 1 - used;
  std::memcpy(out + used, text, n);
  out[used + n] = '\0';
}

void version_text_from_block(const char* block, size_t len, char* out, size_t size) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "Unk");
  if (!block) return;
  const char* pb;
  const char* sb;
  size_t pb_len, sb_len;
  bool has_pb = block_value(block, len, "PrivateBuild", &pb, &pb_len);
  bool has_sb = block_value(block, len, "SpecialBuild", &sb, &sb_len);
  if (has_pb) {
    out[0] = '\0';
    append(out, size, "PB=", 3);
    append(out, size, pb, pb_len);
  }
  if (has_sb) {
    if (has_pb) {
      append(out, size, "    SB=", 7);
    } else {
      out[0] = '\0';
      append(out, size, "SB=", 3);
    }
    append(out, size, sb, sb_len);
  }
}

void file_version_text(const char* path, char* out, size_t size) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "Unk");
  char block[1024];
  size_t len = 0;
  if (plat_version_block(path, block, sizeof block, &len) == 0)
    version_text_from_block(block, len, out, size);
  char when[64];
  if (plat_file_mtime_text(path, when, sizeof when) == 0) {
    append(out, size, "  ", 2);
    append(out, size, when, std::strlen(when));
  }
}
