#include "diag/responder/responder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commlib/qcomm.h"
#include "diag/sound.h"
#include "platform/ascii.h"
#include "platform/little_endian.h"

void responder_defaults(ResponderOptions* o) {
  o->serial_com = 0;
  o->port = QCOMM_DEFAULT_PORT;
  std::snprintf(o->address, sizeof o->address, "%s", "127.0.0.1");
  o->baud = 115200;
  o->report_only = 0;
  std::memset(&o->report, 0, sizeof o->report);
  o->report.port = REPORT_PORT;
  o->report.host.game_port = QCOMM_DEFAULT_PORT;
  o->report.host.program = "linkprobe-responder " LP_RESPONDER_VERSION;
}

// A whole decimal number in [lo, hi]; 0 on success.
static int parse_int(const char* s, int lo, int hi, int* out) {
  if (!s || !*s) return 1;
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (*end != '\0' || v < lo || v > hi) return 1;
  *out = static_cast<int>(v);
  return 0;
}

int responder_parse_args(int argc, char** argv, ResponderOptions* o, char* err, int err_size) {
  // Every option but --report-only takes one value.
  for (int i = 1; i < argc; i += 2) {
    const char* a = argv[i];
    const char* v = (i + 1 < argc) ? argv[i + 1] : nullptr;
    if (std::strcmp(a, "--report-only") == 0) {
      o->report_only = 1;
      --i;
    } else if (std::strcmp(a, "--report-port") == 0) {
      if (parse_int(v, 0, 65535, &o->report.port) != 0) {
        std::snprintf(err, static_cast<size_t>(err_size), "--report-port needs a port number (0: none)\n");
        return 1;
      }
    } else if (std::strcmp(a, "--report-allow") == 0) {
      if (report_allow_add(&o->report, v) != 0) {
        std::snprintf(err, static_cast<size_t>(err_size), "--report-allow needs A.B.C.D/N (at most %d)\n",
                      static_cast<int>(REPORT_ALLOW_MAX));
        return 1;
      }
    } else if (std::strcmp(a, "--port") == 0) {
      if (parse_int(v, 1, 65534, &o->port) != 0) {
        std::snprintf(err, static_cast<size_t>(err_size), "--port needs a port number\n");
        return 1;
      }
    } else if (std::strcmp(a, "--baud") == 0) {
      if (parse_int(v, 1, 4000000, &o->baud) != 0) {
        std::snprintf(err, static_cast<size_t>(err_size), "--baud needs a bit rate\n");
        return 1;
      }
    } else if (std::strcmp(a, "--address") == 0) {
      if (!v || !*v || std::strlen(v) >= sizeof o->address) {
        std::snprintf(err, static_cast<size_t>(err_size), "--address needs an address\n");
        return 1;
      }
      std::snprintf(o->address, sizeof o->address, "%s", v);
    } else if (std::strcmp(a, "--serial") == 0) {
      int com = 0;
      if (!v || !ascii_starts_nocase(v, "COM") || parse_int(v + 3, 1, 32, &com) != 0) {
        std::snprintf(err, static_cast<size_t>(err_size), "--serial needs a port COM1..COM32\n");
        return 1;
      }
      o->serial_com = com;
      o->report.host.serial_com = com;
    } else {
      std::snprintf(err, static_cast<size_t>(err_size), "unknown option %.60s\n", a);
      return 1;
    }
  }
  if (o->report_only && o->report.port == 0) {
    std::snprintf(err, static_cast<size_t>(err_size), "--report-only needs a report port\n");
    return 1;
  }
  if (o->port == o->report.port && !o->serial_com && !o->report_only) {
    std::snprintf(err, static_cast<size_t>(err_size), "--report-port must differ from the game port\n");
    return 1;
  }
  return 0;
}

int responder_open(const ResponderOptions& o, Connection** out) {
  *out = nullptr;
  Connection* c = conn_alloc();
  if (!c) return -1;
  int r;
  if (o.serial_com > 0) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", o.serial_com);
    // Server role: the answering side of the line. The library opens every port with
    // DTR raised, which the other computer sees as DSR: the game menu is there.
    r = conn_connect(c, "serial", name, o.baud, QCOMM_FLAG_SERVER);
  } else {
    r = conn_connect(c, "ethernet", o.address, o.port, QCOMM_FLAG_SERVER);
  }
  if (r != 0) {
    conn_free(c);
    return r;
  }
  *out = c;
  return 0;
}

int responder_serve_one(Connection* c, char* line, int line_size,
                        void (*play_reward)(const char* line), const ResponderOptions* o) {
  uint8_t msg[QCOMM_MAX_MESSAGE];
  int n = rx_receive(c, QCOMM_CHANNEL_EITHER, msg, static_cast<int>(sizeof msg));
  if (n <= 0) return -1;
  int type = msg[0];
  int command = n > 1 ? msg[1] : 0;
  int length = n >= 4 ? le16(msg + 2) : n;
  uint32_t seq = 0;
  if (n >= 8 && length >= 8 && length <= n)
    seq = le32(msg + length - 4);
  const char* what = "";
  if (type == RESPONDER_TYPE && command == RESPONDER_CMD_ECHO) {
    // The answer echoes the request's payload; the sender only waits for any message.
    uint8_t reply[QCOMM_MAX_MESSAGE];
    int payload = (length >= 8 && length <= n) ? length - 8 : 0;
    int len = msg_build(c, reply, static_cast<int>(sizeof reply), RESPONDER_TYPE,
                        RESPONDER_CMD_ECHO, payload ? msg + 4 : nullptr, payload);
    int r = len > 0 ? conn_send(c, reply, 0) : -1;
    what = (r == QCOMM_SEND_OK) ? " -> echo answered" : " -> echo answer FAILED";
  } else if (type == RESPONDER_TYPE && command == RESPONDER_CMD_REWARD) {
    what = " -> reward sound";
  } else if (type == REPORT_TYPE && command == REPORT_CMD_REQUEST && o && o->serial_com > 0) {
    // Over the serial line the report travels on the game link itself.
    int r = report_answer_on_link(c, msg, n, o->report);
    what = (r == QCOMM_SEND_OK) ? " -> report answered" : " -> report answer FAILED";
  }
  std::snprintf(line, static_cast<size_t>(line_size),
                "message type %d command %d length %d sequence %u%s\n", type, command, length,
                static_cast<unsigned>(seq), what);
  // The line is ready before the sound starts: playing blocks for its length.
  if (type == RESPONDER_TYPE && command == RESPONDER_CMD_REWARD && play_reward) play_reward(line);
  return type * 256 + command;
}

void responder_play_reward(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
  local_sound_test();
}

void responder_close(Connection* c) {
  if (!c) return;
  conn_disconnect(c);
  conn_free(c);
}
