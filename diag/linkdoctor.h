// The link doctor: when the game link fails, the facts of probe/linkfacts.h and
// probe/serialfacts.h are judged into findings (what was checked, what was seen, what
// to do) and one most likely cause. The findings are a list open to more sources: each
// says which computer saw it, so findings the game computer reports about itself join
// the same list and the same conclusion.
#pragma once
#include <cstddef>
#include <cstdint>

#include "probe/linkfacts.h"
#include "probe/serialfacts.h"

enum DoctorSide { DOCTOR_HERE = 0, DOCTOR_GAME = 1 };

enum DoctorVerdict { DOCTOR_OK = 0, DOCTOR_FAULT = 1, DOCTOR_WARN = 2, DOCTOR_UNKNOWN = 3 };

// The causes, most fundamental first: of the faults found, the first in this order is
// the most likely cause (a missing address explains a silent port, not the other way).
enum DoctorCause {
  CAUSE_NONE = 0,          // the link works
  CAUSE_SETTINGS,          // the link settings, or the game computer at another address
  CAUSE_PORT_MISSING,      // serial: no such port here
  CAUSE_PORT_HELD,         // serial: another program holds the port
  CAUSE_NO_ADAPTER,        // no adapter on the game computer's subnet
  CAUSE_NO_CARRIER,        // the adapter is off or has no link: cable, switch
  CAUSE_TWO_ADAPTERS,      // two adapters hold the subnet
  CAUSE_WRONG_ROUTE,       // the link leaves by another adapter
  CAUSE_LOCAL_FIREWALL,    // this computer's firewall blocks the ports
  CAUSE_GAME_FIREWALL,     // a rule of the game computer's firewall, as it reports it
  CAUSE_LOOPBACK,          // serial: our bytes come back (a loopback plug, an echoing device)
  CAUSE_BREAK,             // serial: breaks on the line
  CAUSE_SPEED,             // serial: line errors or unreadable bytes (another speed)
  CAUSE_NO_DSR,            // serial: nothing drives DSR
  CAUSE_REFUSED,           // nothing listens on the game port
  CAUSE_ONE_WAY,           // beacons arrive, connections do not go through
  CAUSE_PORT_DROPPED,      // the game computer answers on the wire but drops the port
  CAUSE_NO_ANSWER,         // nothing answers at the address
  CAUSE_NOT_ANSWERING,     // the link opens but the echo gets no answer
  CAUSE_UNKNOWN,           // the test failed and no fault was found
  CAUSE_COUNT
};

enum { DOCTOR_FINDINGS = 32, DOCTOR_CHECK = 16, DOCTOR_SEEN = 200, DOCTOR_ADVICE = 160, DOCTOR_GAME_LINES = 24 };

struct DoctorFinding {
  int side;                  // DoctorSide: which computer saw it
  char check[DOCTOR_CHECK];  // what was looked at: "adapter", "route", "tcp", ...
  int verdict;               // DoctorVerdict
  int cause;                 // the cause a fault points to (CAUSE_NONE otherwise)
  char seen[DOCTOR_SEEN];
  char advice[DOCTOR_ADVICE];  // what to do; "" when nothing
};

struct DoctorReport {
  int serial;                  // 1 serial link, 0 ethernet
  char target[64];             // "192.168.10.2 port 5510" or "COM2"
  int count;
  DoctorFinding findings[DOCTOR_FINDINGS];
  int game_answered;           // the game computer's own report came: its lines below
  int game_nlines;
  char game_lines[DOCTOR_GAME_LINES][DOCTOR_SEEN];  // what it says of itself, one line each
  int cause;                   // DoctorCause, set by doctor_conclude
  int deciding;                // the finding that named it, -1 none
  char verdict[DOCTOR_SEEN + DOCTOR_ADVICE + 64];
  int ms;                      // how long the diagnosis took
};

void doctor_clear(DoctorReport* r);
// Adds a finding; the seen text is formatted. Null when the list is full.
DoctorFinding* doctor_add(DoctorReport* r, int side, const char* check, int verdict, int cause,
                          const char* advice, const char* seen_format, ...)
    __attribute__((format(printf, 7, 8)));
// Picks the most likely cause among the faults of every side and words the verdict.
// works: the game link answered, so the cause is none whatever else was seen.
void doctor_conclude(DoctorReport* r, int works);

const char* doctor_cause_key(int cause);  // "refused", "no-carrier", ... for scripts
const char* doctor_side_name(int side);   // "this computer", "game computer"
const char* doctor_verdict_key(int verdict);  // "ok", "fault", "warning", "unknown"
// The reverse of the two above: -1 for a key that is not known.
int doctor_cause_by_key(const char* key);
int doctor_verdict_by_key(const char* key);

// One finding a line (the game computer's below the heading "Game computer says:" and
// its own lines), then the verdict line. Cut to size, always terminated.
void doctor_text(const DoctorReport* r, char* out, size_t size);
// The same as one JSON object. Returns 0, or 1 when it did not fit (out is then "").
int doctor_json(const DoctorReport* r, char* out, size_t size);

// ---- judgement over facts (portable; the facts may come from either computer) ----

// What the game test saw: the result of open_game_link and whether the echo came back.
struct DoctorTest {
  int open_code;
  int echoed;
};

struct DoctorEthFacts {
  uint8_t peer[4];
  int port;
  int local;               // the address is this computer's own
  LinkAdapters adapters;
  LinkRoute route;
  LinkNeighbour neighbour;
  int neighbour_checked;
  LinkTcp tcp;
  LinkBeacons beacons;
  PlatFirewall firewall;
  LinkListener listener;
  int listener_checked;
};
void doctor_judge_ethernet(const DoctorEthFacts& f, const DoctorTest& test, int side, DoctorReport* r);

struct DoctorSerialFacts {
  SerialPortFacts port;
  SerialLineFacts line;
  int line_checked;
};
void doctor_judge_serial(const DoctorSerialFacts& f, const DoctorTest& test, int side, DoctorReport* r);

// The answering side judged by itself: the adapters and route toward the computer that
// asked (peer; skipped when it asked over loopback), who listens on the game port, and
// the firewall's rules for the game ports and the game menu's program. The causes are
// worded from the asking computer's view: side DOCTOR_GAME.
struct DoctorHostFacts {
  uint8_t peer[4];
  int port;
  int peer_local;          // asked over loopback or from an address of its own
  LinkAdapters adapters;
  LinkRoute route;
  PlatFirewall firewall;
  char program[64];        // the program the firewall was asked about ("" none)
  LinkListener listener;
};
void doctor_judge_host(const DoctorHostFacts& f, int side, DoctorReport* r);

// ---- the diagnosis of the configured link ----

// Bounds beyond the test's own wait.
constexpr int DOCTOR_ETHERNET_MS = 3000;
constexpr int DOCTOR_SERIAL_MS = 2000;

// Gathers the facts of the link the settings describe (as last read, the ports as last
// probed) and judges them with the test's outcome. Returns the cause.
int link_doctor_run(const DoctorTest& test, DoctorReport* r);

// The game test of the window failed: the findings go below its text. Nothing for a
// one-computer setup, whose test does not use the link.
void link_doctor_after_test(const DoctorTest& test);
