// Parsers of the kernel's text files (procfs, sysfs attributes). Pure functions over
// bounded memory so that malformed files can be fuzzed without a system root.
#pragma once
#include <cstddef>
#include <cstdint>

struct CpuPackage {
  int physical_id;
  uint32_t cores;    // "cpu cores", else distinct "core id"s, else the logical count
  uint32_t logical;  // processor blocks of this package
  uint32_t mhz;      // "cpu MHz" of the package's first processor, rounded
  char name[128];    // "model name" of the package's first processor
};

// /proc/cpuinfo: fills out[0..max) ordered by physical id; returns the package count.
int sysparse_cpuinfo(const char* text, size_t len, CpuPackage* out, int max);

// /proc/meminfo: MemTotal in kB as decimal text. Returns 0, or 1 when absent or malformed
// (out is then empty).
int sysparse_meminfo(const char* text, size_t len, char* out, size_t size);

// One-line sysfs attribute: the text up to the first line end. Returns 0, or 1 when it
// holds control bytes or does not fit (out is then empty).
int sysparse_attr(const char* text, size_t len, char* out, size_t size);

// Exactly four hexadecimal digits (idVendor, idProduct). Returns 0, or 1.
int sysparse_hex16(const char* text, unsigned* value);
