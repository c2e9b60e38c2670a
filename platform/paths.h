// Installation root and system root: where the Qumex files and the host's
// sysfs/procfs are looked for. Both can be redirected for tests.
#pragma once
#include <cstddef>

// <root>: $QUMEX_ROOT, else /opt/qumex. No trailing separator.
const char* plat_qumex_root();

// <sysroot>: $QUMEX_SYSROOT, else "/" (returned as ""), so "<sysroot>/sys/..." works for both.
const char* plat_sysroot();

// Joins <root> and a relative path ("PREFERENCES/SETTINGS/DEVS.NIN").
// Returns 0, or 1 when the result does not fit (out is then empty).
int plat_root_path(const char* rel, char* out, size_t size);

// 1 when the program's own folder dir tells this computer's role (therapist or game),
// else 0. Windows: always, as each computer runs its own copy from its own folder.
// Linux: only when dir (an existing folder) lies inside <root>, both resolved; an
// installed /usr/bin is the same on both computers.
int plat_folder_tells_role(const char* dir);

// Joins <sysroot> and an absolute path ("/sys/bus/usb/devices").
int plat_sys_path(const char* abs, char* out, size_t size);
