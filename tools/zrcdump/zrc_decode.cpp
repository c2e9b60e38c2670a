#include "tools/zrcdump/zrc_decode.h"

#include <cstring>

#include "commlib/events.h"
#include "platform/little_endian.h"

const char* zrc_event_name(unsigned code) { return qc::event_name(code); }

ZrcResult zrc_dump_capture(const uint8_t* data, size_t size, FILE* out, size_t* consumed) {
  size_t done = 0;
  if (consumed) *consumed = 0;
  // A capture file only ever holds kinds 0 and 1; anything else in the first record
  // means the file is something else, and we print nothing.
  if (size < ZRC_RECORD || le16(data) > 1) return ZRC_FOREIGN;
  for (; done + ZRC_RECORD <= size; done += ZRC_RECORD) {
    const uint8_t* r = data + done;
    unsigned kind = le16(r), code = le16(r + 2);
    uint32_t stamp = le32(r + 4);
    if (kind > 1) {
      if (consumed) *consumed = done;
      return ZRC_CORRUPT;
    }
    if (kind == 0) {
      std::fprintf(out, "%10u event %3u %-20s %u %u %u\n", stamp, code, zrc_event_name(code),
                   le32(r + 12), le32(r + 8), le32(r + 16));
    } else {
      char text[32 * 4 + 1];
      size_t n = 0;
      for (size_t i = 0; i < 32 && r[8 + i] != 0; ++i) {
        unsigned char ch = r[8 + i];
        if (ch >= 0x20 && ch < 0x7f && ch != '"' && ch != '\\') {
          text[n++] = static_cast<char>(ch);
        } else {
          n += static_cast<size_t>(std::snprintf(text + n, sizeof text - n, "\\x%02x", ch));
        }
      }
      text[n] = '\0';
      std::fprintf(out, "%10u text  %3u %-20s \"%s\"\n", stamp, code, zrc_event_name(code), text);
    }
  }
  if (consumed) *consumed = done;
  return done == size ? ZRC_OK : ZRC_TRUNCATED;
}

ZrcResult zrc_dump_full(const uint8_t* data, size_t size, FILE* out, size_t* consumed) {
  size_t done = 0;
  if (consumed) *consumed = 0;
  while (done < size) {
    if (size - done < ZRC_FULL_HEADER) {
      if (done == 0) return ZRC_FOREIGN;
      if (consumed) *consumed = done;
      return ZRC_TRUNCATED;
    }
    const uint8_t* r = data + done;
    uint32_t stamp = le32(r);
    unsigned tag = le16(r + 4), len = le16(r + 6);
    if (len < ZRC_FULL_HEADER || len > ZRC_FULL_MAX) {
      if (consumed) *consumed = done;
      return done == 0 ? ZRC_FOREIGN : ZRC_CORRUPT;
    }
    if (len > size - done) {
      if (consumed) *consumed = done;
      return done == 0 ? ZRC_FOREIGN : ZRC_TRUNCATED;
    }
    std::fprintf(out, "%10u full  tag=%u len=%u ", stamp, tag, len);
    for (unsigned i = ZRC_FULL_HEADER; i < len; ++i) std::fprintf(out, "%02x", r[i]);
    std::fputc('\n', out);
    done += len;
  }
  if (consumed) *consumed = done;
  return done == 0 ? ZRC_FOREIGN : ZRC_OK;
}
