/* The serial control and modem-line entry points reached from plain C through the
 * shared library: exported, and answering on an object without a port. */
#include <stdio.h>

#include "qcomm.h"

static int failures = 0;
#define CHECK(cond)                                               \
  do {                                                            \
    if (!(cond)) {                                                \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                 \
    }                                                             \
  } while (0)

int main(void) {
  int err = -5, lines = -5, count = -5;
  struct Connection* c = conn_alloc();
  CHECK(c != NULL);
  /* A fresh object is a serial one without a port. */
  CHECK(conn_dsr(c) == 0 && conn_carrier(c) == 0 && conn_cts(c) == 0 && conn_ring(c) == 0);
  CHECK(conn_dtr(c, 1) == -1 && conn_rts(c, 1) == -1);
  CHECK(conn_line_errors(c, 0) == -1 && conn_break(c, -1) == -1);
  CHECK(serial_set_option(c, 1) == 0 && serial_set_option(c, 0) == 1);
  serial_set_framing(c, 1, 0);
  CHECK(serial_get_framing(c) == -1);
  CHECK(serial_set_mode(c, 0, 0) == 0 && serial_get_framing(c) == 0);
  serial_line_status(c, &err, &lines, &count);
  CHECK(lines == -99 && count == -99);
  serial_reopen(c);
  conn_free(c);
  CHECK(serial_set_option(c, 1) == -1);
  return failures == 0 ? 0 : 1;
}
