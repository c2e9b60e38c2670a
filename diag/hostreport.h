// The game computer's report of itself, as its report service answers: this computer's
// name and adapters, its COM ports and who holds them, its sound output and reward file,
// and its findings on the game link judged by the link doctor's own rules (side game).
// Only reads: nothing here changes the computer or runs what a request names.
#pragma once
#include <cstdint>

#include "diag/remotereport.h"

struct HostReportOptions {
  int game_port;        // the game link's TCP port (5510)
  int serial_com;       // the COM port this program answers the game link on (0: none)
  const char* program;  // this program's name and version
};

// Gathers and writes the whole text into t. peer: the address that asked (its adapters
// and route are judged toward it); null when the request came over the serial line.
// Returns the text's length.
int host_report(const uint8_t* peer, const HostReportOptions& o, ReportText* t);
