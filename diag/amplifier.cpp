#include "diag/amplifier.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "diag/report_text.h"
#include "commlib/qcomm.h"
#include "platform/fault_note.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "probe/wmi.h"

PnpDeviceNode* pnp_device_list = nullptr;
int pnp_device_count = 0;

namespace {

constexpr int kTextSize = 400;
constexpr int kProbeRounds = 40;  // 40 x 250 ms: the probe listens for ten seconds
constexpr int kProbeSleepMs = 250;

char* copy_text(const char* s) {
  size_t n = std::strlen(s);
  char* p = new (std::nothrow) char[n + 1];
  if (p) std::memcpy(p, s, n + 1);
  return p;
}

void free_list() {
  PnpDeviceNode* n = pnp_device_list;
  while (n) {
    PnpDeviceNode* next = n->next;
    delete[] n->device_id;
    delete[] n->name;
    delete n;
    n = next;
  }
  pnp_device_list = nullptr;
  pnp_device_count = 0;
}

void fill_list() {
  int c = wmi_open_query("Win32_PNPEntity");
  if (c != 0) {
    panel_appendf("Unable to query devices : %d\n", c);
    return;
  }
  PnpDeviceNode** tail = &pnp_device_list;
  char id[kTextSize];
  char name[kTextSize];
  for (;;) {
    int r = wmi_next_device(id, kTextSize, name, kTextSize);
    if (r < 0) break;
    if (r > 0) {
      panel_appendf("Error querying devices : %d\n", r);
      break;
    }
    PnpDeviceNode* n = new (std::nothrow) PnpDeviceNode{nullptr, copy_text(id), nullptr};
    if (n && name[0]) n->name = copy_text(name);
    if (!n || !n->device_id || (name[0] && !n->name)) {
      // Out of memory: keep what was listed so far, and say the list may be short.
      fault_note(nullptr, ENOMEM);
      if (n) {
        delete[] n->device_id;
        delete[] n->name;
        delete n;
      }
      break;
    }
    *tail = n;
    tail = &n->next;
    ++pnp_device_count;
  }
  wmi_release();
}

bool port_exists(int com) { return com >= 1 && com <= COM_PORTS && com_port_states[com] != 0; }

// BrainMaster and Wiz: the configured port must exist, and the port the device sits on
// (its name ends in "(COMn)") should be the configured one.
void port_checks(const PnpDeviceNode* dev) {
  const DeviceSettings& s = device_settings;
  if (!port_exists(s.amp_port)) panel_appendf("COM%d specified is not a valid com port\n", s.amp_port);
  if (!dev || !dev->name) return;
  const char* p = std::strstr(dev->name, "(COM");
  if (!p) return;
  int actual = std::atoi(p + 4);
  if (actual != 0 && actual != s.amp_port)
    panel_appendf("Actual port is COM%d and not COM%d as specified\n", actual, s.amp_port);
}

// ProComp/ProSB: counts the bytes that arrive on its port in ten seconds.
// Returns the byte count, or -1 when the probe could not run.
int prosb_probe() {
  const DeviceSettings& s = device_settings;
  if (!port_exists(s.amp_port)) {
    panel_appendf("COM%d specified is not a valid com port\n", s.amp_port);
    return -1;
  }
  int rate = s.procomp_protocol_b ? 19200 : 38400;
  Connection* c = conn_alloc();
  // Without an object there is nothing to connect; it is told like a connect failure
  // (code -1), so the sweep and the unhandled-device line follow as after one.
  int r = c ? conn_connect(c, "serial", s.amp_port_name, rate, 0) : -1;
  if (r != 0) {
    panel_appendf("Error connecting to %s (%d)\n", s.amp_port_name, r);
    conn_free(c);
    return -1;
  }
  conn_set_serial_raw(c, 1);
  unsigned char buf[QCOMM_MAX_MESSAGE];
  int total = 0;
  for (int i = 0; i < kProbeRounds; ++i) {
    total += rx_receive(c, -1, buf, static_cast<int>(sizeof buf));
    std::this_thread::sleep_for(std::chrono::milliseconds(kProbeSleepMs));
  }
  int errors = static_cast<int>(conn_get_rx_dropped(c));
  conn_free(c);
  panel_appendf("Received %d characters with %d errors from the ProSB\n", total, errors);
  panel_append(
      "You should receive characters with few errors if the ProComp was ON\n"
      "You shouldn't receive characters if it was OFF\n  (maybe the wrong channel?)\n");
  return total;
}

// The amplifiers the test knows, by USB vendor and product. The family (device code / 10
// of the configured input source) searches for its own entry first; when that finds
// nothing, every entry is tried in this order ("Checking other amplifiers").
struct AmplifierKind {
  int family;
  const char* vendor;
  const char* product;        // the family's own search; null: any product
  const char* sweep_product;  // the sweep's search; null: any product
  const char* missing;        // the family's search found nothing (null: device unhandled)
  const char* present;        // the family's search found it (null: nothing said)
  const char* old_driver;     // a product id that means the wrong driver is installed
  const char* old_driver_note;
  bool port_check;            // the configured COM port is checked against the device's
  const char* found;          // the sweep found it
};

const AmplifierKind kAmplifiers[] = {
    {0, "VID_0403", "PID_FF20", "PID_FF20", nullptr, "Looks like a TTUSB is plugged in\n",
     nullptr, nullptr, false, "TTUSB found\n"},
    {2, "VID_0EA9", nullptr, nullptr, "Unable to locate J&J device\n", nullptr, nullptr, nullptr,
     false, "J&J amplifier found\n"},
    {5, "VID_0AC2", nullptr, nullptr, "Unable to locate Atlantis/Discovery device\n", nullptr,
     nullptr, nullptr, true, "Atlantis/Discovery found\n"},
    {6, "VID_1167", nullptr, nullptr, "Unable to locate esiPro/A200/A400\n", nullptr, "PID_110",
     "Hmmm... looks like the esiPro/A200/A400 drivers not correct\n", false,
     "esiPro/A400/A200 found\n"},
    {7, "VID_0403", "PID_E958", "PID_E958", "Unable to locate *-Wiz device\n", nullptr, nullptr,
     nullptr, true, "*-Wiz device found\n"},
    // The family's search takes any PCAN product; the sweep names the Q20's.
    {8, "VID_0C72", nullptr, "PID_000C", "Unable to locate PCAN-USB/Q20\n", nullptr, nullptr,
     nullptr, false, "PCAN-USB Q20 device found\n"},
};

const AmplifierKind* kind_of_family(int family) {
  for (const AmplifierKind& k : kAmplifiers)
    if (k.family == family) return &k;
  return nullptr;
}

// The family's own search. Returns whether the amplifier is there; *unhandled is set
// when the family has nothing to say about a missing device.
bool family_search(const AmplifierKind& k, bool* unhandled) {
  PnpDeviceNode* dev = find_pnp_device(k.vendor, k.product);
  bool found = false;
  if (!dev) {
    if (k.missing) panel_append(k.missing);
  } else if (k.old_driver && std::strstr(dev->device_id, k.old_driver)) {
    panel_append(k.old_driver_note);
  } else {
    found = true;
    if (k.present) panel_append(k.present);
  }
  if (k.port_check) port_checks(dev);
  *unhandled = !found && !k.missing;
  return found;
}

}  // namespace

PnpDeviceNode* find_pnp_device(const char* vendor, const char* product) {
  if (!vendor) {
    free_list();
    return nullptr;
  }
  // Filled only while empty: a failed or empty query is tried again by the next search.
  if (pnp_device_count == 0) fill_list();
  for (PnpDeviceNode* n = pnp_device_list; n; n = n->next) {
    if (!std::strstr(n->device_id, vendor)) continue;
    if (product && !std::strstr(n->device_id, product)) continue;
    return n;
  }
  return nullptr;
}

int amplifier_test(bool interactive) {
  panel_clear();
  read_device_settings();
  const DeviceSettings& s = device_settings;
  if (interactive)
    panel_append(
        "These tests are just to confirm something is there!  Actual 'testing' must be\n"
        "performed with the Amplifier/Encoder Test in Qumex->Tools\n");
  int family = s.device_code / 10;
  panel_appendf("\nExamining %s\n", s.input_source);
  bool found = false;
  bool unhandled = true;
  if (s.device_code == 1) {
    int total = prosb_probe();
    if (total >= 0) {
      unhandled = false;
      found = total > 0;
    }
  } else if (const AmplifierKind* k = kind_of_family(family)) {
    found = family_search(*k, &unhandled);
  }
  if (!found) {
    panel_append("Checking other amplifiers\n");
    for (const AmplifierKind& k : kAmplifiers)
      if (find_pnp_device(k.vendor, k.sweep_product)) panel_append(k.found);
  }
  if (unhandled) panel_appendf("Unhandled device : %s\n", s.input_source);
  panel_append("\nDone\n");
  if (interactive) panel_show();
  find_pnp_device(nullptr, nullptr);
  return found ? 0 : 1;
}
