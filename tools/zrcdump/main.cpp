// zrcdump FILE...: prints the records of the library's capture files, one line each.
// Exit code: 0 all files decoded, 1 a file could not be read (or held: no memory) or is
// not a capture file, 2 a file is truncated or corrupt (its complete records are printed
// first), 3 standard output could not be written.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "tools/zrcdump/zrc_decode.h"

namespace {

// FULL companions carry their kind in the name: "zrc...bin" + "FULL".
bool is_full_name(const char* path) {
  size_t n = std::strlen(path);
  return n >= 4 && std::strcmp(path + n - 4, "FULL") == 0;
}

bool read_file(const char* path, std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t chunk[65536];
  size_t n;
  bool ok = true;
  // Capture buffers are bounded (RECORD x 800000, FULL 5000000): refuse absurd sizes
  // rather than reading a wrong file into memory.
  const size_t kLimit = size_t(1) << 31;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (data.size() + n > kLimit) {
      errno = EFBIG;
      ok = false;
      break;
    }
    try {
      data.insert(data.end(), chunk, chunk + n);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      ok = false;
      break;
    }
  }
  if (std::ferror(f)) ok = false;
  int err = errno;
  std::fclose(f);
  errno = err;
  return ok;
}

int dump_one(const char* path, bool header) {
  std::vector<uint8_t> data;
  if (!read_file(path, data)) {
    std::fprintf(stderr, "zrcdump: %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  if (header) std::printf("== %s\n", path);
  size_t consumed = 0;
  bool full = is_full_name(path);
  ZrcResult r = full ? zrc_dump_full(data.data(), data.size(), stdout, &consumed)
                     : zrc_dump_capture(data.data(), data.size(), stdout, &consumed);
  switch (r) {
    case ZRC_OK:
      return 0;
    case ZRC_FOREIGN:
      std::fprintf(stderr, "zrcdump: %s: not a %s file\n", path,
                   full ? "full capture" : "capture");
      return 1;
    case ZRC_TRUNCATED:
      std::fprintf(stderr, "zrcdump: %s: truncated after %zu bytes (%zu bytes left over)\n",
                   path, consumed, data.size() - consumed);
      return 2;
    case ZRC_CORRUPT:
      std::fprintf(stderr, "zrcdump: %s: impossible record at offset %zu\n", path, consumed);
      return 2;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc < 2 ? stderr : stdout,
                 "usage: zrcdump FILE...\n"
                 "Prints each record of Qumex capture files (zrc*.bin) and their FULL\n"
                 "companions (zrc*.binFULL), one line per record.\n");
    return argc < 2 ? 1 : 0;
  }
  int worst = 0;
  for (int i = 1; i < argc; ++i) {
    int r = dump_one(argv[i], argc > 2);
    if (r == 1 || (r == 2 && worst == 0)) worst = r;
  }
  // Records that never reached the output must not pass for a file's whole content.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zrcdump: standard output could not be written: %s\n",
                 std::strerror(errno));
    return 3;
  }
  return worst;
}
