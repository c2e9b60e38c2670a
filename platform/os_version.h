// The Windows version record the launchers choose their commands by.
#pragma once

// Fills the platform id, major and minor version as Windows reports them.
// Returns 0, or the system's error number where there is no Windows version.
int plat_windows_version(int* platform_id, int* major, int* minor);
