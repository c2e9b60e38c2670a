/* Two connection objects in one process over the loopback interface: a server and a
 * client on the TCP port given as the first argument (UDP uses that port and the next
 * one). The client sends one message; the server must receive it unchanged and answers
 * it. Nothing polls: the server waits in poll() on its readiness handle, as an event
 * loop would, and the client blocks in conn_wait.
 * Build: cc loopback.c $(pkg-config --cflags --libs qcomm)
 * Exit code 0 on success, 1 on a failure (with a line on standard error). */
#include <qcomm.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Waits up to ten seconds for the object to report a connection: conn_wait ends at
 * every status change (a change just before the call costs one 100 ms slice). */
static int wait_status(struct Connection* c) {
  for (int i = 0; i < 100 && conn_get_status(c) == QCOMM_STATUS_DOWN; ++i)
    conn_wait(c, QCOMM_CHANNEL_EITHER, 100);
  return conn_get_status(c) != QCOMM_STATUS_DOWN;
}

static int run(struct Connection* server, struct Connection* client, int port) {
  int rc = conn_connect(server, "ethernet", "127.0.0.1", port, QCOMM_FLAG_SERVER);
  if (rc != QCOMM_CONNECT_OK) {
    fprintf(stderr, "server connect: %d\n", rc);
    return 1;
  }
  rc = conn_connect(client, "ethernet", "127.0.0.1", port, 0);
  if (rc != QCOMM_CONNECT_OK) {
    fprintf(stderr, "client connect: %d\n", rc);
    return 1;
  }
  if (!wait_status(client) || !wait_status(server)) {
    fprintf(stderr, "no connection: client %d, server %d\n", conn_get_status(client),
            conn_get_status(server));
    return 1;
  }

  static const char payload[] = "hello from C";
  uint8_t sent[64];
  int len = msg_build(client, sent, (int)sizeof sent, 200, 7, payload, (int)sizeof payload);
  if (len != (int)sizeof payload + QCOMM_MSG_OVERHEAD) {
    fprintf(stderr, "msg_build: %d\n", len);
    return 1;
  }
  rc = conn_send(client, sent, len);
  if (rc != QCOMM_SEND_OK) {
    fprintf(stderr, "conn_send: %d\n", rc);
    return 1;
  }

  /* The handle is readable while a message waits (a status change also wakes it, so an
   * event loop receives until rx_receive answers 0). */
  uint8_t got[QCOMM_MAX_MESSAGE];
  int n = 0;
  struct pollfd ready = {(int)conn_wait_handle(server), POLLIN, 0};
  if (ready.fd < 0) {
    fprintf(stderr, "no readiness handle\n");
    return 1;
  }
  for (int i = 0; i < 10 && n == 0; ++i) {
    if (poll(&ready, 1, 1000) == 1)
      n = rx_receive(server, QCOMM_CHANNEL_STREAM, got, (int)sizeof got);
  }
  if (n != len || memcmp(got, sent, (size_t)len) != 0) {
    fprintf(stderr, "received %d bytes, expected %d\n", n, len);
    return 1;
  }
  printf("received %d bytes: type %u command %u \"%s\"\n", n, got[0], got[1],
         (const char*)got + 4);

  /* The answer: the client blocks until it arrives, ten seconds at most. */
  len = msg_build(server, sent, (int)sizeof sent, 200, 8, NULL, 0);
  rc = conn_send(server, sent, len);
  if (rc != QCOMM_SEND_OK || conn_wait(client, QCOMM_CHANNEL_STREAM, 10000) != QCOMM_POLL_STREAM) {
    fprintf(stderr, "no answer (send %d)\n", rc);
    return 1;
  }
  n = rx_receive(client, QCOMM_CHANNEL_STREAM, got, (int)sizeof got);
  printf("answer of %d bytes: type %u command %u\n", n, got[0], got[1]);
  return 0;
}

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 0;
  if (port <= 0 || port > 65534) {
    fprintf(stderr, "usage: %s <free TCP port>\n", argv[0]);
    return 1;
  }
  struct Connection* server = conn_alloc();
  struct Connection* client = conn_alloc();
  int rc = 1;
  if (server && client) {
    rc = run(server, client, port);
  } else {
    fprintf(stderr, "conn_alloc failed\n");
  }
  conn_free(client); /* disconnects first; null is ignored */
  conn_free(server);
  if (lib_cleanup() != 0) {
    fprintf(stderr, "objects left after freeing both\n");
    rc = 1;
  }
  return rc;
}
