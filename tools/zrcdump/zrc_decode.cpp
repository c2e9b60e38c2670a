#include "tools/zrcdump/zrc_decode.h"

#include <cstring>

namespace {

uint32_t rd32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t rd16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

struct EventName {
  unsigned code;
  const char* name;
};

// Client and server share several codes (50-53); the names say what both mean.
const EventName kNames[] = {
    {0, "queued-stream"},       {1, "queued-datagram"},    {20, "replaced-latest"},
    {21, "queue-full-drop"},    {22, "c-partial-held"},    {23, "s-partial-held"},
    {24, "c-stream-discard"},   {25, "c-stream-short"},    {26, "c-stream-more"},
    {27, "s-stream-discard"},   {28, "s-stream-short"},    {29, "s-stream-more"},
    {30, "unqueued"},           {41, "sent-datagram"},     {42, "sent-stream"},
    {43, "beacon-sent"},        {50, "socket-made"},       {51, "socket-closed"},
    {52, "connected-late"},     {53, "socket-closed"},     {91, "disconnect"},
    {92, "reconnect"},          {93, "connect-step-fail"}, {99, "send-unconnected"},
    {100, "c-udp-local"},       {101, "c-nonblock-fail"},  {102, "c-connect-error"},
    {103, "c-connect-pending"}, {104, "c-connected"},      {105, "c-select-before"},
    {106, "c-select-error"},    {107, "c-select-after"},   {108, "c-tcp-receive"},
    {109, "c-tcp-lost"},        {110, "c-udp-receive"},    {124, "c-late-connect-fail"},
    {125, "c-beacon-match"},    {126, "c-connect-done"},   {127, "c-already-connected"},
    {200, "s-udp-local"},       {201, "s-listen-fail"},    {203, "s-accepted"},
    {205, "s-select-before"},   {206, "s-select-error"},   {207, "s-select-after"},
    {208, "s-tcp-receive"},     {209, "s-client-gone"},    {210, "s-udp-receive"},
    {211, "s-accept-try"},      {212, "s-accept-fail"},    {213, "s-accept-drop"},
    {224, "s-poke"},            {300, "ser-read"},         {301, "ser-raw-taken"},
    {302, "ser-raw-nearly-full"}, {303, "ser-read-fail"},  {304, "ser-line-error"},
    {305, "ser-quiet"},         {306, "ser-raw-dropped"},  {307, "ser-raw-full"},
    {308, "ser-raw-kept"},      {309, "ser-write"},        {310, "ser-no-com-number"},
    {311, "ser-open-fail"},     {312, "ser-opened"},       {313, "ser-close"},
    {314, "ser-reopen"},        {315, "ser-dtr"},          {316, "ser-rts"},
    {317, "ser-raw-empty"},     {319, "ser-byte"},         {320, "ser-bad-header"},
    {321, "ser-message"},       {322, "ser-buffer-full"},  {323, "ser-mode-switch"},
    {324, "ser-reset"},
};

}  // namespace

const char* zrc_event_name(unsigned code) {
  for (const EventName& e : kNames)
    if (e.code == code) return e.name;
  return "?";
}

ZrcResult zrc_dump_capture(const uint8_t* data, size_t size, FILE* out, size_t* consumed) {
  size_t done = 0;
  if (consumed) *consumed = 0;
  // A capture file only ever holds kinds 0 and 1; anything else in the first record
  // means the file is something else, and we print nothing.
  if (size < ZRC_RECORD || rd16(data) > 1) return ZRC_FOREIGN;
  for (; done + ZRC_RECORD <= size; done += ZRC_RECORD) {
    const uint8_t* r = data + done;
    unsigned kind = rd16(r), code = rd16(r + 2);
    uint32_t stamp = rd32(r + 4);
    if (kind > 1) {
      if (consumed) *consumed = done;
      return ZRC_CORRUPT;
    }
    if (kind == 0) {
      std::fprintf(out, "%10u event %3u %-20s %u %u %u\n", stamp, code, zrc_event_name(code),
                   rd32(r + 12), rd32(r + 8), rd32(r + 16));
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
    uint32_t stamp = rd32(r);
    unsigned tag = rd16(r + 4), len = rd16(r + 6);
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
