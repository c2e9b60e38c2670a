// The game-computer stand-in: listens on the game link and answers the therapist
// computer's commands the way the game menu does. The program (responder_main.cpp)
// wraps it; tests run it in-process on the simulated serial cable.
#pragma once

#include "diag/gamecomm.h"
#include "diag/responder/report_service.h"

struct Connection;

constexpr int RESPONDER_TYPE = GAME_MSG_TYPE;
constexpr int RESPONDER_CMD_ECHO = GAME_CMD_ECHO;
constexpr int RESPONDER_CMD_REWARD = GAME_CMD_REWARD;

struct ResponderOptions {
  int serial_com;     // 0: ethernet; else the COM number to answer on
  int port;           // ethernet TCP port (5510)
  char address[64];   // ethernet: where beacons go before a client connects
  int baud;           // serial bit rate (115200)
  int report_only;    // serve the report alone, not the game link (the game menu holds it)
  ReportServiceOptions report;  // its port (5520; 0 none) and who else may ask
};

// Defaults: ethernet, port 5510, address 127.0.0.1, 115200 bit/s, the report on 5520.
void responder_defaults(ResponderOptions* o);

// Parses the command line (argv[1..]): --port N, --address A, --serial COMn, --baud N,
// --report-port N, --report-allow A.B.C.D/N, --report-only. 0, or 1 with a one-line
// reason in err.
int responder_parse_args(int argc, char** argv, ResponderOptions* o, char* err, int err_size);

// Opens the link as the answering side: an ethernet server, or the serial port with DTR
// raised so that the other computer sees DSR. 0 with *out set; otherwise the library's
// connect code (-1 when no object could be made), and *out is null.
int responder_open(const ResponderOptions& o, Connection** out);

// Takes one waiting message, answers an echo request (and on the serial line a report
// request: o may be null, then it is refused), and describes the message in
// line (one line with its line end). On the reward command, play_reward (when given)
// is called with that line and then plays the sound: responder_play_reward prints the
// line and plays <root>/Games/reward.wav. Returns the message's command byte plus 256
// times its type when a message was taken, -1 when none was waiting.
int responder_serve_one(Connection* c, char* line, int line_size,
                        void (*play_reward)(const char* line), const ResponderOptions* o = nullptr);

// Prints the line (flushed at once) and plays the reward sound here.
void responder_play_reward(const char* line);

// Disconnects and frees.
void responder_close(Connection* c);
