// Decoding of the library's capture files: fixed 40-byte event/text records, and the
// FULL companions (time stamp, tag, record length, data). Pure functions over bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t ZRC_RECORD = 40;
constexpr size_t ZRC_FULL_HEADER = 8;
// Largest FULL record: a raw serial read of up to 4002 bytes plus the header.
constexpr size_t ZRC_FULL_MAX = ZRC_FULL_HEADER + 4002;

enum ZrcResult {
  ZRC_OK = 0,
  ZRC_FOREIGN = 1,    // not a capture file at all: nothing printed
  ZRC_TRUNCATED = 2,  // records printed up to a partial last record
  ZRC_CORRUPT = 3,    // records printed up to an impossible record
};

// Short name of an event code ("?" when the library never writes it).
const char* zrc_event_name(unsigned code);

// Print one line per record of a capture file held in memory. *consumed receives the
// number of bytes decoded into lines (for the caller's message).
ZrcResult zrc_dump_capture(const uint8_t* data, size_t size, FILE* out, size_t* consumed);
ZrcResult zrc_dump_full(const uint8_t* data, size_t size, FILE* out, size_t* consumed);
