/* The public header used from plain C against the shared library: only the exported
 * entry points are reachable, the serial control and modem-line ones included.
 * Exit code 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include "qcomm.h"

static int failures = 0;
#define CHECK(cond) \
  ((cond) ? (void)0 : (void)(fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), ++failures))

int main(void) {
  static unsigned char block[QCOMM_OBJECT_SIZE];
  static const unsigned char head[8] = {224, 4, 8, 0, 1, 0, 0, 0};
  unsigned char msg[16], got[16];
  struct Connection* c = conn_alloc();
  struct Connection* u;
  int16_t status = 3;
  int err = -5, lines = -5, count = -5;

  CHECK(conn_object_size() == QCOMM_OBJECT_SIZE && conn_is_valid(c) == 1);
  CHECK(msg_build(c, msg, (int)sizeof msg, 224, 4, NULL, 0) == 8 && !memcmp(msg, head, 8));
  CHECK(rx_status(c, 0) == 0 && rx_receive(c, -1, got, (int)sizeof got) == 0 && conn_get_rx_dropped(c) == 0);
  /* A fresh object is a serial one without a port. */
  CHECK(conn_dsr(c) == 0 && conn_carrier(c) == 0 && conn_cts(c) == 0 && conn_ring(c) == 0);
  CHECK(conn_dtr(c, 1) == -1 && conn_rts(c, 1) == -1 && conn_line_errors(c, 0) == -1 && conn_break(c, -1) == -1);
  CHECK(serial_set_option(c, 1) == 0 && serial_set_option(c, 0) == 1);
  serial_set_framing(c, 1, 0);
  CHECK(serial_get_framing(c) == -1);
  CHECK(serial_set_mode(c, 0, 0) == 0 && serial_get_framing(c) == 0);
  serial_line_status(c, &err, &lines, &count);
  CHECK(lines == -99 && count == -99);
  serial_reopen(c);

  CHECK((u = conn_init_buffer(block, (int)sizeof block)) == (struct Connection*)block);
  memcpy(block + QCOMM_OFFSET_STATUS, &status, sizeof status);
  conn_set_serial_raw(u, 1);
  CHECK(conn_get_status(u) == 3 && conn_get_serial_raw(u) == 1 && block[QCOMM_OFFSET_SERIAL_RAW] == 1);
  CHECK((struct Connection*)conn_slot(1, 1) == conn_at(1) && conn_slot(1, 0) == 1);
  conn_free(u);
  conn_free(c);
  CHECK(conn_is_valid(c) == 0 && serial_set_option(c, 1) == -1);
  if (failures == 0) printf("qcomm C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
