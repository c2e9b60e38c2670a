// The game-computer stand-in: listens on the game link and answers the therapist
// computer's commands the way the game menu does. The program (responder_main.cpp)
// wraps it; tests run it in-process on the simulated serial cable.
#pragma once

#include "diag/gamecomm.h"

struct Connection;

constexpr int RESPONDER_TYPE = GAME_MSG_TYPE;
constexpr int RESPONDER_CMD_ECHO = GAME_CMD_ECHO;
constexpr int RESPONDER_CMD_REWARD = GAME_CMD_REWARD;

struct ResponderOptions {
  int serial_com;     // 0: ethernet; else the COM number to answer on
  int port;           // ethernet TCP port (5510)
  char address[64];   // ethernet: where beacons go before a client connects
  int baud;           // serial bit rate (115200)
};

// Defaults: ethernet, port 5510, address 127.0.0.1, 115200 bit/s.
void responder_defaults(ResponderOptions* o);

// Parses the command line (argv[1..]): --port N, --address A, --serial COMn, --baud N.
// 0, or 1 with a one-line reason in err.
int responder_parse_args(int argc, char** argv, ResponderOptions* o, char* err, int err_size);

// Opens the link as the answering side: an ethernet server, or the serial port with DTR
// raised so that the other computer sees DSR. 0 with *out set; otherwise the library's
// connect code (-1 when no object could be made), and *out is null.
int responder_open(const ResponderOptions& o, Connection** out);

// Takes one waiting message, answers an echo request, and describes the message in
// line (one line with its line end). On the reward command, play_reward (when given)
// is called with that line and then plays the sound: responder_play_reward prints the
// line and plays <root>/Games/reward.wav. Returns the message's command byte plus 256
// times its type when a message was taken, -1 when none was waiting.
int responder_serve_one(Connection* c, char* line, int line_size,
                        void (*play_reward)(const char* line));

// Prints the line (flushed at once) and plays the reward sound here.
void responder_play_reward(const char* line);

// Disconnects and frees.
void responder_close(Connection* c);
