// Arbitrary bytes as DEVS.NIN and DEVOPTS.NIN: the reader must neither crash nor
// read or write past a buffer, and the record must stay within its bounds.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe/settings.h"

static std::string g_root;

static void remove_root() {
  std::string base = g_root + "/PREFERENCES/SETTINGS";
  unlink((base + "/DEVS.NIN").c_str());
  unlink((base + "/DEVOPTS.NIN").c_str());
  rmdir(base.c_str());
  rmdir((g_root + "/PREFERENCES").c_str());
  rmdir(g_root.c_str());
}

static bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, size, f) == size;
  return (std::fclose(f) == 0) && ok;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) {
    char tmpl[] = "/tmp/lpfuzz.XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    g_root = tmpl;
    std::string dir = g_root + "/PREFERENCES";
    if (mkdir(dir.c_str(), 0700) != 0) std::abort();
    dir += "/SETTINGS";
    if (mkdir(dir.c_str(), 0700) != 0) std::abort();
    setenv("QUMEX_ROOT", g_root.c_str(), 1);
    std::atexit(remove_root);
  }
  std::string base = g_root + "/PREFERENCES/SETTINGS/";
  if (!write_file(base + "DEVS.NIN", data, size)) return 0;
  if (!write_file(base + "DEVOPTS.NIN", data, size)) return 0;
  read_device_settings();
  const DeviceSettings& s = device_settings;
  if (std::strlen(s.input_source) > 30) std::abort();
  if (std::strlen(s.amp_port_name) > 19) std::abort();
  if (s.amp_port == 0) std::abort();
  if (s.comm_class != 0 && s.comm_class != 1) std::abort();
  if (s.display_mode < 0 || s.display_mode > 2) std::abort();
  if (s.ethernet_address && std::strlen(s.ethernet_address) > 199) std::abort();
  bool known = false;
  for (int i = 0; i < DEVICE_ROWS; ++i) known |= (device_table[i].code == s.device_code);
  if (!known && s.device_code != 0) std::abort();
  return 0;
}
