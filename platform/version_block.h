// The executable's version block: "PrivateBuild=<value>" and optionally
// "SpecialBuild=<value>" entries, each ending in a zero byte, kept in a section of
// its own in the executable file.
#pragma once
#include <cstddef>

// Name of the section that holds the block.
#define PLAT_VERSION_SECTION ".qumex_version"

// Copies the version block of the executable file at path into buf (at most size
// bytes; a longer block is cut) and sets *len.
// Returns 0, one of the codes below, or the system's error number (own codes negative,
// system errors positive, as everywhere in the platform layer).
enum {
  PLAT_VERSION_NO_FILE = -1,   // the file does not exist
  PLAT_VERSION_NO_BLOCK = -2,  // not an executable this reader understands, or no block
};
int plat_version_block(const char* path, char* buf, size_t size, size_t* len);

// The same over an executable image of image_size bytes already in memory
// (returns 0, PLAT_VERSION_NO_BLOCK, or EINVAL for null pointers).
int plat_version_block_image(const void* image, size_t image_size, char* buf, size_t size,
                             size_t* len);

// The file's modification time as the system's C runtime writes it with ctime: Linux
// "Sat Dec  5 21:20:53 2026\n", Windows "Sat Dec 05 21:20:53 2026\n".
// Returns 0, or the system's error number (out is then empty).
int plat_file_mtime_text(const char* path, char* out, size_t size);

// The full path of the running executable. Returns 0, or the system's error number.
int plat_self_exe_path(char* out, size_t size);
