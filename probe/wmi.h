// Device and system queries by WMI class: one query open at a time, process-wide.
#pragma once
#include <cstddef>

// Result codes. wmi_open_query: 0, WMI_E_SESSION (1), WMI_E_LOCATOR (3), WMI_E_CONNECT (4),
// WMI_E_BLANKET (5), WMI_E_QUERY (6). wmi_get_property: 0, WMI_END (-1), WMI_E_NOT_OPEN (1),
// WMI_E_RESET (8), WMI_E_NEXT (9), WMI_E_GET (10), WMI_E_NO_OBJECT (11),
// WMI_E_NO_ENUM (12). wmi_next_device: 0, WMI_END, WMI_E_NOT_OPEN, WMI_E_NEXT, WMI_E_GET.
enum {
  WMI_END = -1,
  WMI_OK = 0,
  WMI_E_SESSION = 1,
  WMI_E_NOT_OPEN = 1,
  WMI_E_LOCATOR = 3,
  WMI_E_CONNECT = 4,
  WMI_E_BLANKET = 5,
  WMI_E_QUERY = 6,
  WMI_E_RESET = 8,
  WMI_E_NEXT = 9,
  WMI_E_GET = 10,
  WMI_E_NO_OBJECT = 11,
  WMI_E_NO_ENUM = 12,
};

// "SELECT * from <class_name>". Opening while a query is open releases that one first.
int wmi_open_query(const char* class_name);

// Property name of object index (0 = first), counted from the first object on every call.
// Whole numbers (CIM uint32) come as signed decimal text, everything else as text.
int wmi_get_property(const char* name, int index, char* out, size_t size);

// The next object's DeviceID and Name, walking on from where the last walk stopped
// (a wmi_get_property walk counts too).
int wmi_next_device(char* id, size_t id_size, char* name, size_t name_size);

// Closes the query; nothing happens when none is open.
void wmi_release();
