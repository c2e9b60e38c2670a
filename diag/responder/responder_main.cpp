// linkprobe-responder: run on the game computer when its menu program is not there.
// Answers the echo of "Test  Game Communications" and plays the reward sound on the
// command of "Sound Test (game computer)". One line per message on standard output.
// Beside the game link it serves the game computer's own report on a port of its own
// (5520); --report-only serves that alone, while the game menu holds the game link.
#include <csignal>
#include <cstdio>
#include <chrono>
#include <mutex>
#include <thread>

#include "commlib/qcomm.h"
#include "diag/responder/responder.h"
#include "diag/sound.h"

namespace {
constexpr int kStopCheckMs = 250;
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
std::mutex g_out;  // the report service writes its lines from a thread of its own
void say(const char* line) {
  std::lock_guard<std::mutex> hold(g_out);
  std::fputs(line, stdout);
  std::fflush(stdout);
}
void play(const char* line) {
  say(line);
  local_sound_test();
}
}  // namespace

int main(int argc, char** argv) {
  ResponderOptions o;
  responder_defaults(&o);
  char err[128] = "";
  if (responder_parse_args(argc, argv, &o, err, sizeof err) != 0) {
    std::fputs(err, stderr);
    std::fputs("usage: linkprobe-responder [--port N] [--address A] [--serial COMn] [--baud N]\n"
               "       [--report-port N] [--report-allow A.B.C.D/N] [--report-only]\n",
               stderr);
    return 2;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  o.report.log = say;
  int rs = report_service_start(o.report);
  if (rs != 0) {
    std::fprintf(stderr, "the report service cannot open port %d (%d)\n", o.report.port, -rs);
    if (o.report_only) return 1;
  } else if (o.report.port > 0) {
    std::printf("report service on port %d\n", o.report.port);
  }
  if (o.report_only) {
    std::fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
    report_service_stop();
    return 0;
  }
  Connection* c = nullptr;
  int r = responder_open(o, &c);
  if (r != 0) {
    std::fprintf(stderr, "cannot open the link: %d\n", r);
    report_service_stop();
    return 1;
  }
  {
    std::lock_guard<std::mutex> hold(g_out);
    if (o.serial_com > 0)
      std::printf("answering on COM%d at %d bit/s\n", o.serial_com, o.baud);
    else
      std::printf("listening on port %d\n", o.port);
    std::fflush(stdout);
  }
  char line[200];
  while (!g_stop) {
    int got = responder_serve_one(c, line, sizeof line, play, &o);
    if (got < 0) {
      // Nothing waits: sleep until something does (or a status change), and look at the
      // stop flag a few times a second.
      conn_wait(c, -1, kStopCheckMs);
      continue;
    }
    if (got != RESPONDER_TYPE * 256 + RESPONDER_CMD_REWARD) say(line);  // that one printed itself
  }
  responder_close(c);
  report_service_stop();
  return 0;
}
