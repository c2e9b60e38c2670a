// The game computer's own report, asked for from the therapist computer: the messages
// that carry it, the text it is written in, and the asking side.
//
// Messages have the library's layout (type, command, 16-bit little-endian length of the
// whole message, payload, 32-bit sequence). The type is the game menu's, 224, with
// commands the game menu does not use:
//   40 request   payload REPORT_REQUEST ("qumex-report 1")
//   41 part      payload the next piece of the text (at most 1592 bytes)
//   42 end       payload the text's length in bytes, in decimal
//   43 refused   payload the reason, one line
// Over TCP (REPORT_PORT) one request is answered per connection; over the serial line
// the same messages travel through the library's serial connection.
//
// The text, lines ending in "\n", fields split by tabs:
//   qumex-report 1
//   say      <a line of the human report>
//   finding  <check> <verdict key> <cause key> <seen> <advice>
//   end      <number of lines before this one>
// A reader skips line kinds it does not know, so later versions may add some.
#pragma once
#include <cstddef>
#include <cstdint>

struct DoctorReport;

constexpr int REPORT_PORT = 5520;  // the report service's own TCP port, apart from the game port
constexpr int REPORT_TYPE = 224;
enum { REPORT_CMD_REQUEST = 40, REPORT_CMD_PART = 41, REPORT_CMD_END = 42, REPORT_CMD_REFUSED = 43 };
constexpr char REPORT_REQUEST[] = "qumex-report 1";
constexpr int REPORT_MSG_MAX = 1600;
constexpr int REPORT_PIECE = REPORT_MSG_MAX - 8;
constexpr int REPORT_TEXT_MAX = 12000;  // the longest text either side handles

// One message of the protocol into buf; its length, or 0 when it does not fit.
int report_msg(uint8_t* buf, int size, int command, const void* payload, int len, uint32_t seq);
// The header at buf (have bytes, at least 4): 1 with *command and *len when it is one of
// ours (type 224, command 40 to 43, length 8 to 1600), else 0.
int report_msg_header(const uint8_t* buf, int have, int* command, int* len);
// 1 when a request's payload asks for a report this side can give.
int report_request_ok(const uint8_t* payload, int len);

// ---- the text ----
struct ReportText {
  char buf[REPORT_TEXT_MAX + 1];
  size_t used;
  int lines;
};
void report_text_begin(ReportText* t);
// A "say" line; tabs and control bytes in it become blanks.
void report_text_say(ReportText* t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The findings of r (of any side) as "finding" lines.
void report_text_findings(ReportText* t, const DoctorReport& r);
// The end line. Returns the text's length; a text that outgrew the buffer ends early,
// whole lines only.
int report_text_end(ReportText* t);

// Reads a text into r: its say lines as r's game lines, its findings as the game
// computer's. 0; 1 not a report; 2 it stops short (no end line, or the count differs).
// Nothing is added unless the text is whole.
int report_parse(const char* text, int len, DoctorReport* r);

// ---- asking ----
enum RemoteState {
  REMOTE_ANSWERED = 0,
  REMOTE_REFUSED,      // the service said no; its reason in reason
  REMOTE_NO_SERVICE,   // the computer is there, nothing listens on the report port
  REMOTE_SILENT,       // no (whole) answer within the limit
  REMOTE_UNREACHABLE,  // no way to the address
  REMOTE_BROKEN,       // what came is not a report, or stops short
  REMOTE_FAILED,       // this side could not ask (the number in error)
};

struct RemoteReport {
  int state;
  int error;
  int ms;
  char where[64];    // "192.168.10.2 port 5520", "COM2"
  char reason[200];  // the refusal, or what was wrong
  int len;
  char text[REPORT_TEXT_MAX + 1];
};

// Asks over TCP: connect, request, answer, all within limit_ms.
void remote_report_fetch(const uint8_t addr[4], int port, int limit_ms, RemoteReport* out);
// Asks over the serial line through the library's serial connection.
void remote_report_fetch_serial(int com, int baud, int limit_ms, RemoteReport* out);
// Adds what came to the doctor's report: the lines and findings of a whole answer, or
// one finding of this side that says why none came.
void remote_report_merge(const RemoteReport& rr, DoctorReport* r);

// "linkprobe --run remote-report [TARGET]": asks the game computer at TARGET ("COMn", or
// an address or name with an optional ":port"; null: the configured game link, as last
// read) and writes the report, or why none came, into out. 0 when the report came.
int remote_report_run(const char* target, char* out, size_t size);
