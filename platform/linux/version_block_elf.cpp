// Reads the version section from an ELF file. Every offset and count in the file is
// checked against the file's size before use, so a damaged or hostile file only
// means "no version block".
#include "platform/version_block.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// The file is read either from a descriptor or from an image already in memory.
struct ElfFile {
  int fd;
  const unsigned char* mem;
  uint64_t size;
  bool is64;
  bool big;
};

// Reads exactly n bytes at off; false when they are not all inside the file.
bool read_at(const ElfFile& f, uint64_t off, void* out, size_t n) {
  if (off > f.size || n > f.size - off) return false;
  if (f.mem) {
    std::memcpy(out, f.mem + off, n);
    return true;
  }
  unsigned char* p = static_cast<unsigned char*>(out);
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(f.fd, p + done, n - done, static_cast<off_t>(off + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

uint64_t get(const ElfFile& f, const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    int k = f.big ? i : bytes - 1 - i;
    v = (v << 8) | p[k];
  }
  return v;
}

struct Section {
  uint32_t name;
  uint32_t type;
  uint64_t offset;
  uint64_t size;
  uint32_t link;
};

constexpr uint32_t SHT_NOBITS_ = 8;
constexpr uint32_t SHN_XINDEX_ = 0xffff;
constexpr uint64_t MAX_SECTIONS = 1u << 20;

bool section_at(const ElfFile& f, uint64_t shoff, uint64_t entsize, uint64_t i, Section* s) {
  unsigned char e[64];
  size_t need = f.is64 ? 64 : 40;
  if (i > (UINT64_MAX - shoff) / entsize) return false;
  if (!read_at(f, shoff + i * entsize, e, need)) return false;
  s->name = static_cast<uint32_t>(get(f, e, 4));
  s->type = static_cast<uint32_t>(get(f, e + 4, 4));
  if (f.is64) {
    s->offset = get(f, e + 24, 8);
    s->size = get(f, e + 32, 8);
    s->link = static_cast<uint32_t>(get(f, e + 40, 4));
  } else {
    s->offset = get(f, e + 16, 4);
    s->size = get(f, e + 20, 4);
    s->link = static_cast<uint32_t>(get(f, e + 24, 4));
  }
  return true;
}

// 0 found (block copied), 2 no block.
int find_block(const ElfFile& fin, char* buf, size_t size, size_t* len) {
  ElfFile f = fin;
  unsigned char h[64];
  if (f.size < 52 || !read_at(f, 0, h, 16)) return PLAT_VERSION_NO_BLOCK;
  if (h[0] != 0x7f || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return PLAT_VERSION_NO_BLOCK;
  if (h[4] != 1 && h[4] != 2) return PLAT_VERSION_NO_BLOCK;
  if (h[5] != 1 && h[5] != 2) return PLAT_VERSION_NO_BLOCK;
  f.is64 = (h[4] == 2);
  f.big = (h[5] == 2);
  if (!read_at(f, 0, h, f.is64 ? 64 : 52)) return PLAT_VERSION_NO_BLOCK;
  uint64_t shoff;
  uint64_t entsize, shnum, shstrndx;
  if (f.is64) {
    shoff = get(f, h + 40, 8);
    entsize = get(f, h + 58, 2);
    shnum = get(f, h + 60, 2);
    shstrndx = get(f, h + 62, 2);
  } else {
    shoff = get(f, h + 32, 4);
    entsize = get(f, h + 46, 2);
    shnum = get(f, h + 48, 2);
    shstrndx = get(f, h + 50, 2);
  }
  if (shoff == 0 || entsize < (f.is64 ? 64u : 40u)) return PLAT_VERSION_NO_BLOCK;
  Section s0;
  if (!section_at(f, shoff, entsize, 0, &s0)) return PLAT_VERSION_NO_BLOCK;
  // Files with very many sections keep the real counts in section 0.
  if (shnum == 0) shnum = s0.size;
  if (shstrndx == SHN_XINDEX_) shstrndx = s0.link;
  if (shnum == 0 || shnum > MAX_SECTIONS || shstrndx >= shnum) return PLAT_VERSION_NO_BLOCK;
  // The whole table must lie inside the file (no overflow: both factors are small).
  if (shoff > f.size || shnum * entsize > f.size - shoff) return PLAT_VERSION_NO_BLOCK;
  Section strs;
  if (!section_at(f, shoff, entsize, shstrndx, &strs) || strs.type == SHT_NOBITS_)
    return PLAT_VERSION_NO_BLOCK;
  if (strs.offset > f.size || strs.size > f.size - strs.offset) return PLAT_VERSION_NO_BLOCK;

  const char want[] = PLAT_VERSION_SECTION;
  const size_t want_len = sizeof want;  // with its zero byte
  for (uint64_t i = 1; i < shnum; ++i) {
    Section s;
    if (!section_at(f, shoff, entsize, i, &s)) return PLAT_VERSION_NO_BLOCK;
    if (s.name >= strs.size || want_len > strs.size - s.name) continue;
    char name[sizeof want];
    if (!read_at(f, strs.offset + s.name, name, want_len)) continue;
    if (std::memcmp(name, want, want_len) != 0) continue;
    if (s.type == SHT_NOBITS_) return PLAT_VERSION_NO_BLOCK;
    if (s.offset > f.size || s.size > f.size - s.offset) return PLAT_VERSION_NO_BLOCK;
    size_t n = (s.size < size) ? static_cast<size_t>(s.size) : size;
    if (!read_at(f, s.offset, buf, n)) return PLAT_VERSION_NO_BLOCK;
    *len = n;
    return 0;
  }
  return PLAT_VERSION_NO_BLOCK;
}

}  // namespace

int plat_version_block(const char* path, char* buf, size_t size, size_t* len) {
  if (len) *len = 0;
  if (!path || !buf || !len) return EINVAL;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? PLAT_VERSION_NO_FILE : errno;
  struct stat st;
  int rc;
  if (fstat(fd, &st) != 0) {
    rc = errno;
  } else if (!S_ISREG(st.st_mode)) {
    rc = PLAT_VERSION_NO_BLOCK;
  } else {
    ElfFile f{fd, nullptr, static_cast<uint64_t>(st.st_size), false, false};
    rc = find_block(f, buf, size, len);
  }
  close(fd);
  return rc;
}

int plat_version_block_image(const void* image, size_t image_size, char* buf, size_t size,
                             size_t* len) {
  if (len) *len = 0;
  if (!image || !buf || !len) return EINVAL;
  ElfFile f{-1, static_cast<const unsigned char*>(image), image_size, false, false};
  return find_block(f, buf, size, len);
}

int plat_file_mtime_text(const char* path, char* out, size_t size) {
  if (!out || size == 0) return EINVAL;
  out[0] = '\0';
  struct stat st;
  if (!path || stat(path, &st) != 0) return path ? errno : EINVAL;
  struct tm tm;
  if (!localtime_r(&st.st_mtime, &tm)) return EOVERFLOW;
  // ctime's own layout; strftime keeps it inside the buffer.
  if (strftime(out, size, "%a %b %e %H:%M:%S %Y\n", &tm) == 0) {
    out[0] = '\0';
    return ERANGE;
  }
  return 0;
}

int plat_self_exe_path(char* out, size_t size) {
  if (!out || size == 0) return EINVAL;
  ssize_t n = readlink("/proc/self/exe", out, size - 1);
  if (n < 0) {
    out[0] = '\0';
    return errno;
  }
  if (static_cast<size_t>(n) >= size - 1) {
    // The path may have been cut: report it as not fitting.
    out[0] = '\0';
    return ENAMETOOLONG;
  }
  out[n] = '\0';
  return 0;
}
