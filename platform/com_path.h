// Where COMn lives on this machine. Driver index n is COM(n+1).
#pragma once
#include <cstddef>

// Fills out with the device node of COM<com> (com >= 1).
// Returns 0, or 1 when COM<com> has no node under this machine's mapping
// (no <root>/dev/COM<com> entry when <root>/dev exists), or 2 when it does not fit.
int plat_com_device_path(int com, char* out, size_t size);
