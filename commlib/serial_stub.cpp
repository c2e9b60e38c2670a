// PLACEHOLDER for the serial transport: the core runs one serial reader pass before
// serving a serial connection. The serial transport's own file replaces this one
// (delete it when serial.cpp lands).
#include "commlib/transport.h"

extern "C" int serial_poll(Connection*) { return 0; }  // no port can be open yet
