// "Test Configured Amplifier": is the configured EEG amplifier there?
#pragma once

// One Plug and Play device as the device query listed it.
struct PnpDeviceNode {
  PnpDeviceNode* next;
  char* device_id;  // own copy, USB\VID_xxxx&PID_yyyy\...
  char* name;       // own copy, or null when the device has no name
};

// The devices of the current run, in the order the query gave them; filled by the first
// search while empty, emptied at the end of amplifier_test.
extern PnpDeviceNode* pnp_device_list;
extern int pnp_device_count;

// The first device whose id contains vendor and, when given, product (case-sensitive).
// Null vendor: empties the list and returns null.
PnpDeviceNode* find_pnp_device(const char* vendor, const char* product);

// Runs the test for the configured amplifier and reports into the output panel
// (interactive: with the opening text and showing the panel at the end).
// 0 when the amplifier was found, 1 when not.
int amplifier_test(bool interactive);
