// The library's console test harness: one connection as slave (server) or master
// (client) over serial or ethernet, test messages on keys, a hex dump of what arrives.
#pragma once
#include <cstdio>

struct ConsoleKeys;

// argv[0] is the program name. Writes to out, reads keys from keys.
// Returns 0 after the x key (or the end of the key input), 4 when it cannot start, 3 after
// the x key when out, a capture file or the trace could not be written whole (standard
// error says so; a failed send and a dropped connection are told there at once).
int harness_run(int argc, char** argv, FILE* out, ConsoleKeys* keys);

// Writes "received %d bytes\n" and the bytes as " %02x ", four to a line.
void harness_dump(FILE* out, const unsigned char* bytes, int count);
