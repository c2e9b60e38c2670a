#include "probe/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commlib/qcomm.h"
#include "platform/ascii.h"
#include "platform/fault_note.h"
#include "platform/parse_int.h"
#include "platform/paths.h"

DeviceSettings device_settings = {1, "", "", 0, QCOMM_DEFAULT_PORT, nullptr, 0, 1, 0, 0};

const DeviceEntry device_table[DEVICE_ROWS + 1] = {
    {"ProSB", 1},        {"TTUSB", 2},     {"A/D", 10},    {"BrainLynx", 20},
    {"C2+mini", 21},     {"C2+", 22},      {"Spectrum2", 20}, {"Spectrum4", 20},
    {"J202", 20},        {"J404", 20},     {"C2mini", 23}, {"C2", 24},
    {"GP+", 25},         {"GP", 26},       {"GP8", 26},    {"PET2.0", 30},
    {"QPET", 31},        {"Pendant", 40},  {"BrainMaster", 50}, {"Atlantis", 51},
    {"esiPRO", 60},      {"A400", 60},     {"A200", 60},   {"A404", 60},
    {"A202", 60},        {"Wiz", 70},      {"Q20", 80},    {nullptr, 0},
};

// Lines are read into this many bytes; longer lines arrive in pieces.
constexpr int LINE_BUF = 200;

const char* find_setting(const char* line, const char* key) {
  if (!line || !key || !*key) return nullptr;
  const char* p = std::strstr(line, key);
  if (!p) return nullptr;
  p += std::strlen(key);
  while (*p == ' ' || *p == '=') ++p;
  return p;
}

int find_device(const char* value) {
  if (!value) return 0;
  for (int row = 0; device_table[row].name; ++row) {
    if (ascii_starts_nocase(value, device_table[row].name)) return row;
  }
  return 0;
}

int setting_number(const char* value) { return parse_int_saturating(value); }

// "C" and two more characters are skipped unread ("COM"); a value too short for
// that has no number, rather than reading beyond its end.
static int port_number(const char* v) {
  if (!v[0] || !v[1] || !v[2]) return 0;
  return setting_number(v + 3);
}

// Copies at most size-1 bytes of v, stopping at the first byte that, read as a
// signed 8-bit number, is below limit (control characters and every byte >= 128).
static void copy_cut(char* out, size_t size, const char* v, int limit) {
  size_t i = 0;
  for (; i + 1 < size && v[i]; ++i) {
    if (static_cast<signed char>(v[i]) < limit) break;
    out[i] = v[i];
  }
  out[i] = '\0';
}

static void apply_devs_line(const char* line) {
  DeviceSettings& s = device_settings;
  const char* v;
  if ((v = find_setting(line, "ProComp")) && v[0] == 'C') {
    s.amp_port = port_number(v);
    if (s.amp_port == 0) s.amp_port = 1;
  }
  if ((v = find_setting(line, "Input_Source"))) {
    copy_cut(s.input_source, sizeof s.input_source, v, 15);
    s.device_code = device_table[find_device(v)].code;
  }
  if ((v = find_setting(line, "EthernetPort"))) s.ethernet_port = setting_number(v);
  if ((v = find_setting(line, "EthernetAddress"))) {
    std::free(s.ethernet_address);
    s.ethernet_address = nullptr;
    size_t n = 0;
    while (v[n] && static_cast<signed char>(v[n]) >= 32) ++n;
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy) {
      std::memcpy(copy, v, n);
      copy[n] = '\0';
      s.ethernet_address = copy;
    } else {
      fault_note(nullptr, ENOMEM);
    }
  }
  if ((v = find_setting(line, "Game_comm")) && v[0] == 'C') s.game_port = port_number(v);
  if ((v = find_setting(line, "Communications_class"))) s.comm_class = (v[0] == 'S') ? 0 : 1;
  if ((v = find_setting(line, "DisplayMode"))) {
    s.display_mode = (v[0] == '2') ? 2 : (v[0] == 'D') ? 1 : 0;
  }
}

static void apply_devopts_line(const char* line) {
  const char* v = find_setting(line, "ProCompProtocol");
  if (v && v[0] == 'B') device_settings.procomp_protocol_b = 1;
}

// A name that opens but cannot be read (a directory) counts as not opened, as it
// would where the settings were first kept, so the fallback location is tried. A file
// that is there but fails to open or read is noted: the settings read are not all.
static FILE* open_settings(const char* rel, char* path, size_t size) {
  if (plat_root_path(rel, path, size) != 0) return nullptr;
  errno = 0;
  FILE* f = std::fopen(path, "r");
  if (!f) {
    fault_note_read(path, errno);
    return nullptr;
  }
  int c = std::getc(f);
  if (c == EOF && std::ferror(f)) {
    if (errno != EISDIR) fault_note(path, errno);
    std::fclose(f);
    return nullptr;
  }
  if (c != EOF) std::ungetc(c, f);
  return f;
}

static void read_lines(FILE* f, void (*apply)(const char*), const char* name) {
  char line[LINE_BUF];
  while (std::fgets(line, sizeof line, f)) apply(line);
  if (std::ferror(f)) fault_note(name, errno);
  std::fclose(f);
}

static void read_settings(FILE* devs, const char* devs_name, FILE* devopts,
                          const char* devopts_name) {
  DeviceSettings& s = device_settings;
  s.amp_port = 1;
  s.procomp_protocol_b = 0;
  if (devs) read_lines(devs, apply_devs_line, devs_name);
  if (devopts) read_lines(devopts, apply_devopts_line, devopts_name);
  std::snprintf(s.amp_port_name, sizeof s.amp_port_name, "COM%d", s.amp_port);
}

void read_device_settings_from(FILE* devs, FILE* devopts) {
  read_settings(devs, "DEVS.NIN", devopts, "DEVOPTS.NIN");
}

void read_device_settings() {
  char devs_path[4096], devopts_path[4096];
  FILE* devs = open_settings("PREFERENCES/SETTINGS/DEVS.NIN", devs_path, sizeof devs_path);
  if (!devs) devs = open_settings("BIN/SETTINGS/DEVS.NIN", devs_path, sizeof devs_path);
  FILE* devopts =
      open_settings("PREFERENCES/SETTINGS/DEVOPTS.NIN", devopts_path, sizeof devopts_path);
  read_settings(devs, devs_path, devopts, devopts_path);
}
