// Whether a serial port exists and whether another program holds it.
#pragma once

enum {
  PLAT_COM_ABSENT = 0,
  PLAT_COM_FREE = 1,
  PLAT_COM_BUSY = 2,
};

// Opens COM<com> exclusively and releases it at once.
// Returns PLAT_COM_ABSENT, PLAT_COM_FREE or PLAT_COM_BUSY. When err is not null it
// receives the system's error number of the step that decided (0 when it opened).
int plat_com_probe(int com, int* err);
