// The Qumex device settings (DEVS.NIN, DEVOPTS.NIN) and the amplifier table.
#pragma once
#include <cstdio>

struct DeviceSettings {
  int amp_port;             // reset to 1 at each read
  char amp_port_name[20];   // "COM%d" of amp_port, rebuilt at each read
  char input_source[31];    // kept between reads
  int device_code;          // kept
  int ethernet_port;        // kept
  char* ethernet_address;   // owned copy, or null; kept
  int game_port;            // kept
  int comm_class;           // 0 serial link, 1 ethernet link; kept
  int display_mode;         // 0, 1 or 2; kept
  int procomp_protocol_b;   // reset to 0 at each read
};

extern DeviceSettings device_settings;

struct DeviceEntry {
  const char* name;  // null: end marker
  int code;          // tens digit: amplifier family
};

constexpr int DEVICE_ROWS = 27;
extern const DeviceEntry device_table[DEVICE_ROWS + 1];

// Reads both settings files under the installation root into device_settings.
void read_device_settings();

// The same from streams already open (either may be null: that file is absent).
// Both streams are closed.
void read_device_settings_from(FILE* devs, FILE* devopts);

// The value of key in line: after the first occurrence of key, past any blanks and
// "=", to the end of the line (line end included). Null when the key is absent.
const char* find_setting(const char* line, const char* key);

// Row of the first device whose name starts value, case-insensitively; 0 when none.
int find_device(const char* value);

// The number a setting value starts with: optional white space and sign, then
// decimal digits; 0 when there are none. Saturates instead of overflowing.
int setting_number(const char* value);
