// Compiled for a 32-bit target only: the block keeps its size and public offsets there,
// so a caller's conn_object_size() block fits on either kind of build.
#include "commlib/connection.h"
#include "commlib/qcomm.h"

static_assert(sizeof(void*) == 4, "this check must be compiled for a 32-bit target");
static_assert(sizeof(Connection) == QCOMM_OBJECT_SIZE, "object size");
static_assert(offsetof(Connection, status) == QCOMM_OFFSET_STATUS, "status offset");
static_assert(offsetof(Connection, serial_raw) == QCOMM_OFFSET_SERIAL_RAW, "serial_raw offset");
static_assert(offsetof(Connection, rx_dropped) == QCOMM_OFFSET_RX_DROPPED, "rx_dropped offset");
