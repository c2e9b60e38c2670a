#include "probe/wmi.h"

#include <cstdint>
#include <cstdio>

#include "platform/sysquery.h"

namespace {

struct WmiQueryState {
  bool is_open = false;
  PlatSysQuery* enumerator = nullptr;
  bool has_current = false;  // an object was fetched since the query opened
  char query_text[301] = {0};
};

WmiQueryState g_wmi;

// The enumerator's next object becomes the current one: WMI_OK, WMI_END or WMI_E_NEXT.
int fetch_next() {
  int rc = sysq_next(g_wmi.enumerator);
  if (rc == SYSQ_NO_OBJECT) return WMI_END;
  if (rc != SYSQ_OK) return WMI_E_NEXT;
  g_wmi.has_current = true;
  return WMI_OK;
}

// Copies a property of the current object into out the way WMI hands it over.
int read_prop(const char* name, char* out, size_t size) {
  char text[300];
  uint32_t number = 0;
  int type = SYSQ_TYPE_STRING;
  int rc = sysq_get(g_wmi.enumerator, name, text, sizeof text, &number, &type);
  if (rc != SYSQ_OK) return WMI_E_GET;
  if (!out || size == 0) return WMI_E_GET;
  // uint32 goes through a signed conversion (_itoa), so 4294967295 reads "-1".
  if (type == SYSQ_TYPE_UINT32)
    std::snprintf(out, size, "%d", static_cast<int>(static_cast<int32_t>(number)));
  else
    std::snprintf(out, size, "%s", text);
  return WMI_OK;
}

}  // namespace

// A query service (WMI) reports its own steps. Read from files, the codes keep their
// places: 1 the system root does not form a path, 3 no memory for the snapshot, 4 a source
// of the class cannot be opened (permissions), 5 a source cannot be read to its end, 6 a
// class this system does not provide.
int wmi_open_query(const char* class_name) {
  wmi_release();
  std::snprintf(g_wmi.query_text, sizeof g_wmi.query_text, "SELECT * from %s",
                class_name ? class_name : "");
  PlatSysQuery* q = nullptr;
  int rc = sysq_open(class_name, &q);
  switch (rc) {
    case SYSQ_OK: break;
    case SYSQ_BAD_ROOT: return WMI_E_SESSION;
    case SYSQ_NO_MEMORY: return WMI_E_LOCATOR;
    case SYSQ_READ_FAILED: return WMI_E_BLANKET;
    case SYSQ_NO_CLASS: return WMI_E_QUERY;
    case SYSQ_NO_SESSION: return WMI_E_SESSION;
    case SYSQ_NO_LOCATOR: return WMI_E_LOCATOR;
    case SYSQ_NO_NAMESPACE: return WMI_E_CONNECT;
    case SYSQ_NO_SECURITY: return WMI_E_BLANKET;
    case SYSQ_NO_LISTING: return WMI_E_QUERY;
    default: return WMI_E_CONNECT;  // the system's error number opening a source
  }
  g_wmi.enumerator = q;
  g_wmi.has_current = false;
  g_wmi.is_open = true;
  return WMI_OK;
}

// Every call resets the enumerator, so the index counts from the first object whatever
// was fetched before.
int wmi_get_property(const char* name, int index, char* out, size_t size) {
  if (!g_wmi.is_open) return WMI_E_NOT_OPEN;
  if (!g_wmi.enumerator) return WMI_E_NO_ENUM;
  if (sysq_reset(g_wmi.enumerator) != SYSQ_OK) return WMI_E_RESET;
  for (int i = 0; i <= index; i++) {
    int rc = fetch_next();
    if (rc != WMI_OK) return rc;
  }
  if (!g_wmi.has_current) return WMI_E_NO_OBJECT;
  return read_prop(name, out, size);
}

int wmi_next_device(char* id, size_t id_size, char* name, size_t name_size) {
  if (!g_wmi.is_open) return WMI_E_NOT_OPEN;
  if (!g_wmi.enumerator) return WMI_END;
  int rc = fetch_next();
  if (rc != WMI_OK) return rc;
  rc = read_prop("DeviceID", id, id_size);
  if (rc == WMI_OK) rc = read_prop("Name", name, name_size);
  return rc;
}

void wmi_release() {
  if (!g_wmi.is_open) return;
  sysq_close(g_wmi.enumerator);
  g_wmi.enumerator = nullptr;
  g_wmi.has_current = false;
  g_wmi.is_open = false;
}
