// Single keys from the console, without echo and without waiting for a line.
#pragma once
#include <cstdint>

struct ConsoleKeys;  // opaque

// Starts reading keys from descriptor fd (0 for standard input). A terminal is put into
// non-canonical, no-echo mode until console_keys_close (or until the process is ended
// by SIGINT, SIGTERM, SIGHUP or SIGQUIT, which restore it first); any other input, a
// pipe or a file, is read as plain bytes. Returns null when fd cannot be used.
ConsoleKeys* console_keys_open(int fd);

// Waits at most timeout_ms (0: not at all) for one key.
// Returns the key byte 0..255, -1 when none is waiting, -2 at the end of the input, -4
// when waiting for or reading the input failed (errno says why).
int console_keys_get(ConsoleKeys* keys, int timeout_ms);

// As console_keys_get, but also ends the wait, with -3, when `other` (a descriptor, such
// as the communications library's readiness handle) turns readable first. A negative
// `other` is not waited on.
int console_keys_get_or(ConsoleKeys* keys, int timeout_ms, intptr_t other);

// Restores the terminal mode and releases the handle (null is ignored).
void console_keys_close(ConsoleKeys* keys);

// 1 when descriptor fd is a terminal, else 0.
int plat_is_terminal(int fd);
