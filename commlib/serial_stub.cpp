// PLACEHOLDER for the serial transport: the core runs one serial reader pass before
// serving a serial connection. The serial transport's own file replaces this one
// (delete it when serial.cpp lands).
#include "commlib/transport.h"

extern "C" int serial_poll(Connection*) { return 0; }  // no port can be open yet

// Until the serial transport lands no port can be opened or written.
extern "C" int serial_open(Connection*, const char*, int) { return 1; }
extern "C" int serial_close(Connection*) { return 0; }
extern "C" int serial_write(Connection*, const uint8_t*, int) { return 1; }  // no port open
