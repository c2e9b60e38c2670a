// linkprobe-responder: run on the game computer when its menu program is not there.
// Answers the echo of "Test  Game Communications" and plays the reward sound on the
// command of "Sound Test (game computer)". One line per message on standard output.
#include <csignal>
#include <cstdio>

#include "commlib/qcomm.h"
#include "diag/responder/responder.h"

namespace {
constexpr int kStopCheckMs = 250;
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  ResponderOptions o;
  responder_defaults(&o);
  char err[128] = "";
  if (responder_parse_args(argc, argv, &o, err, sizeof err) != 0) {
    std::fputs(err, stderr);
    std::fputs("usage: linkprobe-responder [--port N] [--address A] [--serial COMn] [--baud N]\n",
               stderr);
    return 2;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  Connection* c = nullptr;
  int r = responder_open(o, &c);
  if (r != 0) {
    std::fprintf(stderr, "cannot open the link: %d\n", r);
    return 1;
  }
  if (o.serial_com > 0)
    std::printf("answering on COM%d at %d bit/s\n", o.serial_com, o.baud);
  else
    std::printf("listening on port %d\n", o.port);
  std::fflush(stdout);
  char line[200];
  while (!g_stop) {
    int got = responder_serve_one(c, line, sizeof line, responder_play_reward);
    if (got < 0) {
      // Nothing waits: sleep until something does (or a status change), and look at the
      // stop flag a few times a second.
      conn_wait(c, -1, kStopCheckMs);
      continue;
    }
    if (got != RESPONDER_TYPE * 256 + RESPONDER_CMD_REWARD) {  // that one printed itself
      std::fputs(line, stdout);
      std::fflush(stdout);
    }
  }
  responder_close(c);
  return 0;
}
