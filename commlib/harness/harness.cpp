#include "commlib/harness/harness.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commlib/qcomm.h"
#include "platform/console_keys.h"
#include "platform/sockets.h"

namespace {

constexpr int kEthernetPort = 8881;
constexpr int kSerialBaud = 115200;
constexpr int kBufSize = 1000;
// Port text and slave address are kept in 50 characters; a longer argument is cut,
// which for a port or host name means it is not found and connect reports the error.
constexpr int kNameSize = 50;
// The loop waits for a key or a message (the library's readiness handle) together; the
// time limit only bounds a wait on a handle that could not be made.
constexpr int kKeyWaitMs = 1000;
constexpr int kKeyPollMs = 1;  // without a handle: poll for messages between keys

struct Setup {
  bool serial;
  bool master;
  const char* transport;
  char address[kNameSize];
  int port;  // TCP port or bit rate
};

int connect_side(Connection* c, const Setup& s) {
  return conn_connect(c, s.transport, s.address, s.port, s.master ? 0 : QCOMM_FLAG_SERVER);
}

void say(FILE* out, const char* text) {
  std::fputs(text, out);
  std::fflush(out);
}

void send_test(FILE* out, Connection* c, unsigned char type, const char* text) {
  unsigned char buf[kBufSize];
  int len = msg_build(c, buf, sizeof buf, type, 0, nullptr, 0);
  int rc = len > 0 ? conn_send(c, buf, len) : 0;
  if (rc != QCOMM_SEND_OK) std::fprintf(stderr, "qcomm-harness: send failed: %d\n", rc);
  say(out, text);
}

}  // namespace

void harness_dump(FILE* out, const unsigned char* bytes, int count) {
  std::fprintf(out, "received %d bytes\n", count);
  for (int i = 0; i < count; ++i) {
    if (i > 0 && i % 4 == 0) std::fputs("\n", out);
    std::fprintf(out, " %02x ", bytes[i]);
  }
  std::fputs("\n", out);
  std::fflush(out);
}

int harness_run(int argc, char** argv, FILE* out, ConsoleKeys* keys) {
  say(out, "debug messages enabled\n");
  Connection* c = conn_alloc();
  if (!c) {
    say(out, "Unable to start Winsock!!!!\n");
    return 4;
  }
  conn_set_class(c, 144, 191, QCOMM_CLASS_DATAGRAM);

  char host[1000] = "";
  if (sock_hostname(host, sizeof host) != 0) host[0] = '\0';
  std::fprintf(out, "I am %.32s\n", host);
  std::fflush(out);

  if (argc < 2) {
    say(out, "need   s/e and id of slave\n");
    conn_free(c);  // callable in-process: leave nothing behind
    return 4;
  }

  Setup s{};
  s.master = argc >= 3;
  s.serial = argv[1][0] == 's' || argv[1][0] == 'S';
  if (s.serial) {
    s.transport = "serial";
    s.port = kSerialBaud;
    std::snprintf(s.address, sizeof s.address, "%s", argv[1][1] ? argv[1] + 1 : "COM2");
  } else {
    s.transport = "ethernet";
    s.port = kEthernetPort;
    std::snprintf(s.address, sizeof s.address, "%s", s.master ? argv[2] : host);
  }

  int rc = connect_side(c, s);
  if (s.master) {
    if (rc != QCOMM_CONNECT_OK) std::fprintf(out, "master make connection error %d\n", rc);
  } else {
    if (rc != QCOMM_CONNECT_OK) std::fprintf(out, "slave make connection error %d\n", rc);
    std::fputs("slave waiting\n", out);
  }
  say(out, "\nwaiting for user input :");

  unsigned char buf[kBufSize];
  const intptr_t ready = conn_wait_handle(c);
  bool input_failed = false;
  bool was_up = false;
  for (;;) {
    int key = console_keys_get_or(keys, ready >= 0 ? kKeyWaitMs : kKeyPollMs, ready);
    // The end of a piped key input ends the session as x does, so a script that
    // closes its pipe gets a clean disconnect and exit; an input that fails ends it too,
    // but not as a clean one.
    if (key == -4) {
      std::fprintf(stderr, "qcomm-harness: the key input failed: %s\n", std::strerror(errno));
      input_failed = true;
    }
    if (key == 'x' || key == -2 || key == -4) break;
    if (key == 'u') {
      send_test(out, c, 0x99, "\nsent U\nwaiting for user input :");
    } else if (key == 't') {
      send_test(out, c, 0x82, "\nsent T\nwaiting for user input :");
    } else if (key == 'r') {
      say(out, "\nReset initiated\n");
      conn_disconnect(c);
      rc = connect_side(c, s);
      if (rc != QCOMM_CONNECT_OK) {
        std::fprintf(out, s.master ? "Client restart connection error : %d\n"
                                   : "Slave restart connection error : %d\n", rc);
        std::fflush(out);
      }
    }
    int n = rx_receive(c, QCOMM_CHANNEL_EITHER, buf, sizeof buf);
    if (n > 0) harness_dump(out, buf, n);
    // A link that drops can take a message with it: the operator hears of the drop.
    int status = conn_get_status(c);
    if (was_up && status == QCOMM_STATUS_DOWN)
      std::fputs("qcomm-harness: the connection was lost\n", stderr);
    was_up = status != QCOMM_STATUS_DOWN;
  }

  say(out, "Disconnecting\n");
  conn_disconnect(c);
  conn_free(c);  // callable in-process: leave nothing behind
  // A session log with lines missing must not end as a clean one; the library has named
  // its own files.
  if (std::ferror(out)) std::fputs("qcomm-harness: the output could not be written whole\n", stderr);
  return input_failed || std::ferror(out) || capture_failures() > 0 ? 3 : 0;
}
