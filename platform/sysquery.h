// Device and system queries: the objects of one class, walked one by one as a query
// service (WMI) hands them out. The class and property names are the WMI ones, so the
// Windows body is a thin wrapper and callers stay the same.
#pragma once
#include <cstddef>
#include <cstdint>

struct PlatSysQuery;  // opaque: the snapshot

enum {
  SYSQ_OK = 0,
  SYSQ_NO_CLASS = -2,     // class not provided by this system
  SYSQ_NO_MEMORY = -3,    // the snapshot could not be allocated
  SYSQ_BAD_ROOT = -4,     // the system root does not form a usable path
  SYSQ_NO_OBJECT = -5,    // index past the last object
  SYSQ_NO_PROPERTY = -6,  // the class has no such property
  SYSQ_READ_FAILED = -7,  // a source opened but could not be read to its end
  // The steps of a system that asks a query service (WMI) for its objects:
  SYSQ_NO_SESSION = -8,    // the service's session (COM) could not be started
  SYSQ_NO_LOCATOR = -9,    // the service's locator could not be made
  SYSQ_NO_NAMESPACE = -10, // the namespace could not be connected
  SYSQ_NO_SECURITY = -11,  // the call security of the connection could not be set
  SYSQ_NO_LISTING = -12,   // the query was refused or its listing broke off
  SYSQ_NO_RESET = -13,     // the walk could not start again
};

enum { SYSQ_TYPE_STRING = 8, SYSQ_TYPE_UINT32 = 19 };  // CIM type numbers

// Opens the query of class_name, before its first object. Returns SYSQ_OK with *out set,
// a SYSQ_ code, or the system's error number when a source could not be opened.
int sysq_open(const char* class_name, PlatSysQuery** out);

// Starts the walk again before the first object; the current object stays until the
// next one is fetched. Returns SYSQ_OK, or SYSQ_NO_RESET.
int sysq_reset(PlatSysQuery* q);

// Fetches the next object, which becomes the current one. Returns SYSQ_OK, SYSQ_NO_OBJECT
// past the last one (the current object stays), or SYSQ_NO_LISTING when the listing
// broke off.
int sysq_next(PlatSysQuery* q);

// Property prop of the current object: text into out (always terminated when size > 0),
// or for SYSQ_TYPE_UINT32 the number into *number. *type gets the CIM type.
// Returns SYSQ_OK, SYSQ_NO_OBJECT (none fetched yet) or SYSQ_NO_PROPERTY.
int sysq_get(const PlatSysQuery* q, const char* prop, char* out, size_t size, uint32_t* number,
             int* type);

void sysq_close(PlatSysQuery* q);
