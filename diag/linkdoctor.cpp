#include "diag/linkdoctor.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct CauseWords {
  const char* key;
  const char* text;
};

const CauseWords kCauses[CAUSE_COUNT] = {
    {"none", "none, the link works"},
    {"settings", "the link settings"},
    {"port-missing", "the game port does not exist on this computer"},
    {"port-held", "another program holds the game port"},
    {"no-adapter", "this computer has no address on the game computer's subnet"},
    {"no-carrier", "the cable or the switch: the adapter has no link"},
    {"two-adapters", "two adapters of this computer are on the game computer's subnet"},
    {"wrong-route", "the link leaves by another adapter"},
    {"local-firewall", "this computer's firewall blocks the game link"},
    {"game-firewall", "the game computer's firewall blocks the game link"},
    {"loopback", "a loopback plug or an echoing device is on the port, not the game computer"},
    {"break", "breaks on the line: the other side is switching the line, or a wire is held low"},
    {"speed", "the other side talks at another speed"},
    {"no-dsr", "nothing drives the line: cable unplugged, a straight cable, or the game menu not running"},
    {"refused", "nothing listens on the game port of the game computer"},
    {"one-way", "a one-way block: the game computer's beacons arrive, but its game port takes no connection"},
    {"port-dropped", "the game computer's firewall drops the game port"},
    {"no-answer", "nothing answers at the game computer's address"},
    {"not-answering", "the program on the other side takes the link but does not answer"},
    {"unknown", "none found on this computer"},
};

const char* const kVerdictWords[] = {"ok", "FAULT", "check", "?"};
const char* const kVerdictKeys[] = {"ok", "fault", "warning", "unknown"};

// Appends to out at *used; what does not fit is dropped, the text stays terminated.
void put(char* out, size_t size, size_t* used, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
void put(char* out, size_t size, size_t* used, const char* fmt, ...) {
  if (*used >= size) return;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(out + *used, size - *used, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  *used += static_cast<size_t>(n) < size - *used ? static_cast<size_t>(n) : size - *used - 1;
}

// A JSON string: quotes, backslashes and control bytes escaped.
bool json_string(char* out, size_t size, size_t* used, const char* s) {
  put(out, size, used, "\"");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p == '"' || *p == '\\') put(out, size, used, "\\%c", *p);
    else if (*p < 0x20) put(out, size, used, "\\u%04x", *p);
    else put(out, size, used, "%c", *p);
  }
  put(out, size, used, "\"");
  return *used + 1 < size;
}

}  // namespace

void doctor_clear(DoctorReport* r) {
  std::memset(r, 0, sizeof *r);
  r->deciding = -1;
}

DoctorFinding* doctor_add(DoctorReport* r, int side, const char* check, int verdict, int cause,
                          const char* advice, const char* seen_format, ...) {
  if (r->count >= DOCTOR_FINDINGS) return nullptr;
  DoctorFinding& f = r->findings[r->count++];
  std::memset(&f, 0, sizeof f);
  f.side = side;
  f.verdict = verdict;
  f.cause = verdict == DOCTOR_FAULT ? cause : CAUSE_NONE;
  std::snprintf(f.check, sizeof f.check, "%s", check ? check : "");
  std::snprintf(f.advice, sizeof f.advice, "%s", advice ? advice : "");
  va_list ap;
  va_start(ap, seen_format);
  if (std::vsnprintf(f.seen, sizeof f.seen, seen_format, ap) < 0) f.seen[0] = '\0';
  va_end(ap);
  return &f;
}

void doctor_conclude(DoctorReport* r, int works) {
  r->cause = works ? CAUSE_NONE : CAUSE_UNKNOWN;
  r->deciding = -1;
  for (int i = 0; !works && i < r->count; ++i) {
    const DoctorFinding& f = r->findings[i];
    if (f.verdict == DOCTOR_FAULT && f.cause > CAUSE_NONE && f.cause < r->cause) {
      r->cause = f.cause;
      r->deciding = i;
    }
  }
  const char* advice = r->deciding >= 0 ? r->findings[r->deciding].advice : "";
  if (works)
    std::snprintf(r->verdict, sizeof r->verdict, "The link works: the game computer answered.");
  else if (r->cause == CAUSE_UNKNOWN && r->game_answered)
    std::snprintf(r->verdict, sizeof r->verdict,
                  "Most likely cause: none found on either computer. Check the cable and the switch between them.");
  else if (r->cause == CAUSE_UNKNOWN)
    std::snprintf(r->verdict, sizeof r->verdict,
                  "Most likely cause: none found on this computer. Check the game computer itself.");
  else
    std::snprintf(r->verdict, sizeof r->verdict, "Most likely cause: %s.%s%c%s%s", kCauses[r->cause].text,
                  advice[0] ? " " : "", advice[0] >= 'a' && advice[0] <= 'z' ? advice[0] - 'a' + 'A' : advice[0],
                  advice[0] ? advice + 1 : "", advice[0] ? "." : "");
}

const char* doctor_cause_key(int cause) {
  return cause >= 0 && cause < CAUSE_COUNT ? kCauses[cause].key : "unknown";
}

const char* doctor_side_name(int side) { return side == DOCTOR_GAME ? "game computer" : "this computer"; }

const char* doctor_verdict_key(int verdict) { return kVerdictKeys[verdict & 3]; }

int doctor_cause_by_key(const char* key) {
  for (int i = 0; key && i < CAUSE_COUNT; ++i)
    if (std::strcmp(key, kCauses[i].key) == 0) return i;
  return -1;
}

int doctor_verdict_by_key(const char* key) {
  for (int i = 0; key && i < 4; ++i)
    if (std::strcmp(key, kVerdictKeys[i]) == 0) return i;
  return -1;
}

void doctor_text(const DoctorReport* r, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  // This computer's findings first, then what the game computer says of itself.
  for (int side = DOCTOR_HERE; side <= DOCTOR_GAME; ++side) {
    if (side == DOCTOR_GAME && r->game_answered) {
      put(out, size, &used, "Game computer says:\n");
      for (int i = 0; i < r->game_nlines; ++i) put(out, size, &used, "  %s\n", r->game_lines[i]);
    }
    for (int i = 0; i < r->count; ++i) {
      const DoctorFinding& f = r->findings[i];
      if ((f.side == DOCTOR_GAME) != (side == DOCTOR_GAME)) continue;
      put(out, size, &used, "[%s] %s%s%s: %s", kVerdictWords[f.verdict & 3],
          f.side == DOCTOR_GAME ? doctor_side_name(f.side) : "", f.side == DOCTOR_GAME ? ", " : "", f.check, f.seen);
      if (f.advice[0] && f.verdict != DOCTOR_OK) put(out, size, &used, " -> %s", f.advice);
      put(out, size, &used, "\n");
    }
  }
  if (r->verdict[0]) put(out, size, &used, "%s\n", r->verdict);
}

int doctor_json(const DoctorReport* r, char* out, size_t size) {
  if (!out || size == 0) return 1;
  size_t used = 0;
  put(out, size, &used, "{\"link\":\"%s\",\"target\":", r->serial ? "serial" : "ethernet");
  json_string(out, size, &used, r->target);
  put(out, size, &used, ",\"works\":%s,\"findings\":[", r->cause == CAUSE_NONE ? "true" : "false");
  for (int i = 0; i < r->count; ++i) {
    const DoctorFinding& f = r->findings[i];
    put(out, size, &used, "%s{\"side\":\"%s\",\"check\":", i ? "," : "", doctor_side_name(f.side));
    json_string(out, size, &used, f.check);
    put(out, size, &used, ",\"seen\":");
    json_string(out, size, &used, f.seen);
    put(out, size, &used, ",\"verdict\":\"%s\",\"advice\":", kVerdictKeys[f.verdict & 3]);
    json_string(out, size, &used, f.verdict == DOCTOR_OK ? "" : f.advice);
    if (f.verdict == DOCTOR_FAULT) put(out, size, &used, ",\"cause\":\"%s\"", doctor_cause_key(f.cause));
    put(out, size, &used, "}");
  }
  put(out, size, &used, "],\"game_report\":");
  if (!r->game_answered) {
    put(out, size, &used, "null");
  } else {
    put(out, size, &used, "[");
    for (int i = 0; i < r->game_nlines; ++i) {
      if (i) put(out, size, &used, ",");
      json_string(out, size, &used, r->game_lines[i]);
    }
    put(out, size, &used, "]");
  }
  put(out, size, &used, ",\"cause\":\"%s\",\"verdict\":", doctor_cause_key(r->cause));
  json_string(out, size, &used, r->verdict);
  put(out, size, &used, ",\"ms\":%d}\n", r->ms);
  if (used + 1 >= size) {
    out[0] = '\0';
    return 1;
  }
  return 0;
}
