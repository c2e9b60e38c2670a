// The report service of the game computer: its own report (diag/hostreport.h) for the
// therapist computer, on a TCP port of its own so that it answers while the game menu
// holds the game port, and on the game link's serial line while this program serves it.
//
// It only reads and reports. It answers only peers on loopback or on the two-computer
// subnet (the /24 of one of its own 192.168.x.y addresses) or in a range given with
// --report-allow; one client at a time, each with a time limit (half a second for its
// request, three for all); a request is at most 64 bytes; a peer may open three
// connections at once and one more each second, none more after one that sent no
// request or one not understood; beyond that it is refused at once.
#pragma once
#include <cstdint>

#include "diag/hostreport.h"

struct Connection;

enum { REPORT_ALLOW_MAX = 4 };

struct ReportServiceOptions {
  int port;  // the TCP port; 0: no TCP service
  int nallow;
  uint8_t allow[REPORT_ALLOW_MAX][4];  // further ranges that may ask: address and prefix length
  int allow_bits[REPORT_ALLOW_MAX];
  HostReportOptions host;
  void (*log)(const char* line);  // one line per client ("report to ...", "refused ..."); may be null
};

// Parses "A.B.C.D/N" (or "A.B.C.D", /32) into the next free range. 0, or 1 when it is not
// one or the list is full.
int report_allow_add(ReportServiceOptions* o, const char* text);

// Whether peer may ask: loopback, the /24 of an own 192.168.x.y address, or a range given.
int report_peer_allowed(const uint8_t peer[4], const ReportServiceOptions& o);

// Opens the port and serves it on a thread of its own until report_service_stop. 0, or
// the negated system error number when the port cannot be opened.
int report_service_start(const ReportServiceOptions& o);
void report_service_stop();

// The same answer over the game link's serial connection, for a request that came on it
// (msg: the whole message, n bytes). Returns the library's send result of the last part.
int report_answer_on_link(Connection* c, const uint8_t* msg, int n, const ReportServiceOptions& o);
