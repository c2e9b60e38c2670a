#include "platform/linux/sysparse.h"

#include <cstdio>
#include <cstring>

namespace {

struct Span {
  const char* p;
  size_t n;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

Span trim(Span s) {
  while (s.n > 0 && is_blank(s.p[0])) {
    s.p++;
    s.n--;
  }
  while (s.n > 0 && (is_blank(s.p[s.n - 1]) || s.p[s.n - 1] == '\r')) s.n--;
  return s;
}

bool equals(Span s, const char* word) {
  size_t w = std::strlen(word);
  return s.n == w && std::memcmp(s.p, word, w) == 0;
}

// Leading decimal digits, clamped at UINT32_MAX; false when there are none.
bool parse_u32(Span s, uint32_t* v) {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i < s.n && s.p[i] >= '0' && s.p[i] <= '9'; i++) {
    acc = acc * 10 + static_cast<uint64_t>(s.p[i] - '0');
    if (acc > 0xFFFFFFFFull) acc = 0xFFFFFFFFull + 1;  // saturate, keep scanning
  }
  if (i == 0) return false;
  *v = acc > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(acc);
  return true;
}

// "2399.998" -> 2400: Windows reports whole megahertz.
uint32_t parse_mhz(Span s) {
  uint32_t whole = 0;
  if (!parse_u32(s, &whole)) return 0;
  const char* dot = static_cast<const char*>(std::memchr(s.p, '.', s.n));
  if (dot && dot + 1 < s.p + s.n && dot[1] >= '5' && dot[1] <= '9' && whole < 0xFFFFFFFFu) whole++;
  return whole;
}

// Walks text line by line: key before the first ':', value after it, both trimmed.
template <typename F>
void for_each_field(const char* text, size_t len, F f) {
  size_t i = 0;
  while (i < len) {
    size_t start = i;
    while (i < len && text[i] != '\n') i++;
    Span line{text + start, i - start};
    i++;  // past the line end
    const char* colon = static_cast<const char*>(std::memchr(line.p, ':', line.n));
    if (!colon) {
      f(Span{nullptr, 0}, Span{nullptr, 0}, trim(line).n == 0);
      continue;
    }
    Span key = trim(Span{line.p, static_cast<size_t>(colon - line.p)});
    Span val = trim(Span{colon + 1, line.n - static_cast<size_t>(colon - line.p) - 1});
    f(key, val, false);
  }
}

struct Block {
  bool open = false;
  uint32_t physical = 0;
  bool has_core = false;
  uint32_t core = 0;
  bool has_cpu_cores = false;
  uint32_t cpu_cores = 0;
  uint32_t mhz = 0;
  Span name{nullptr, 0};
};

constexpr int kMaxCoreIds = 256;

struct PackageWork {
  uint32_t core_ids[kMaxCoreIds];
  int core_id_count;
  bool has_cpu_cores;
};

}  // namespace

int sysparse_cpuinfo(const char* text, size_t len, CpuPackage* out, int max) {
  if (!text || !out || max <= 0) return 0;
  static constexpr int kMaxPackages = 64;
  if (max > kMaxPackages) max = kMaxPackages;
  static thread_local PackageWork work[kMaxPackages];
  int count = 0;
  Block b;

  auto commit = [&]() {
    if (!b.open) return;
    int phys = b.physical > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(b.physical);
    int at = 0;
    while (at < count && out[at].physical_id < phys) at++;
    if (at == count || out[at].physical_id != phys) {
      if (count == max) {
        b = Block{};
        return;  // more packages than the table holds: the first ones count
      }
      std::memmove(&out[at + 1], &out[at], sizeof(CpuPackage) * static_cast<size_t>(count - at));
      std::memmove(&work[at + 1], &work[at], sizeof(PackageWork) * static_cast<size_t>(count - at));
      CpuPackage& p = out[at];
      std::memset(&p, 0, sizeof p);
      std::memset(&work[at], 0, sizeof work[at]);
      p.physical_id = phys;
      p.mhz = b.mhz;
      size_t n = b.name.n < sizeof p.name - 1 ? b.name.n : sizeof p.name - 1;
      if (n) std::memcpy(p.name, b.name.p, n);
      p.name[n] = '\0';
      count++;
    }
    CpuPackage& p = out[at];
    PackageWork& w = work[at];
    if (p.logical < 0xFFFFFFFFu) p.logical++;
    if (b.has_cpu_cores && !w.has_cpu_cores) {
      w.has_cpu_cores = true;
      p.cores = b.cpu_cores;
    }
    if (b.has_core && !w.has_cpu_cores) {
      bool seen = false;
      for (int k = 0; k < w.core_id_count; k++) seen = seen || w.core_ids[k] == b.core;
      if (!seen) {
        // Past kMaxCoreIds ids a repeat may count twice; no real package has that many.
        if (w.core_id_count < kMaxCoreIds) w.core_ids[w.core_id_count++] = b.core;
        if (p.cores < 0xFFFFFFFFu) p.cores++;
      }
    }
    b = Block{};
  };

  for_each_field(text, len, [&](Span key, Span val, bool blank) {
    if (blank) {
      commit();
      return;
    }
    if (!key.p) return;
    if (equals(key, "processor")) {
      commit();
      b.open = true;
      return;
    }
    if (!b.open) return;
    uint32_t v = 0;
    if (equals(key, "physical id") && parse_u32(val, &v)) b.physical = v;
    else if (equals(key, "core id") && parse_u32(val, &v)) { b.has_core = true; b.core = v; }
    else if (equals(key, "cpu cores") && parse_u32(val, &v)) { b.has_cpu_cores = true; b.cpu_cores = v; }
    else if (equals(key, "cpu MHz")) b.mhz = parse_mhz(val);
    else if (equals(key, "model name")) b.name = val;
  });
  commit();

  // A package without core figures (no "cpu cores", no "core id") counts one core per
  // logical processor; control bytes in a name make it empty.
  for (int i = 0; i < count; i++) {
    if (out[i].cores == 0) out[i].cores = out[i].logical;
    for (const char* c = out[i].name; *c; c++) {
      if (static_cast<unsigned char>(*c) < 0x20) {
        out[i].name[0] = '\0';
        break;
      }
    }
  }
  return count;
}

int sysparse_meminfo(const char* text, size_t len, char* out, size_t size) {
  if (!out || size == 0) return 1;
  out[0] = '\0';
  if (!text) return 1;
  int rc = 1;
  for_each_field(text, len, [&](Span key, Span val, bool) {
    if (rc == 0 || !key.p || !equals(key, "MemTotal")) return;
    size_t digits = 0;
    while (digits < val.n && val.p[digits] >= '0' && val.p[digits] <= '9') digits++;
    if (digits == 0 || digits >= size || digits > 20) return;
    std::memcpy(out, val.p, digits);
    out[digits] = '\0';
    rc = 0;
  });
  return rc;
}

int sysparse_attr(const char* text, size_t len, char* out, size_t size) {
  if (!out || size == 0) return 1;
  out[0] = '\0';
  if (!text) return 1;
  const char* nl = static_cast<const char*>(std::memchr(text, '\n', len));
  Span s = trim(Span{text, nl ? static_cast<size_t>(nl - text) : len});
  if (s.n >= size) return 1;
  for (size_t i = 0; i < s.n; i++) {
    unsigned char c = static_cast<unsigned char>(s.p[i]);
    if (c < 0x20 || c == 0x7F) return 1;
  }
  if (s.n) std::memcpy(out, s.p, s.n);
  out[s.n] = '\0';
  return 0;
}

int sysparse_hex16(const char* text, unsigned* value) {
  if (!text || !value) return 1;
  unsigned v = 0;
  for (int i = 0; i < 4; i++) {
    char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return 1;
    v = v * 16 + d;
  }
  if (text[4] != '\0') return 1;
  *value = v;
  return 0;
}
