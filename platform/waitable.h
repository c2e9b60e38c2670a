// Readiness objects: level-triggered, they stay signalled from waitable_set until
// waitable_clear, and an application's own event loop can wait on them (a descriptor
// for poll/epoll on Linux; the Windows body is a manual-reset event).
//
// A handle is a small positive number (0 is never issued, so a block can keep 0 for
// "none"). Set and clear may come from any thread; the caller keeps them in order (the
// library does both under one lock). Create and close are safe from any thread.
#pragma once
#include <cstdint>

// A new object, not signalled: its handle (>= 1), or a negated system error number.
int waitable_create();
void waitable_close(int h);
int waitable_set(int h);    // 0, or a negated system error number
int waitable_clear(int h);  // 0, or a negated system error number
// The object also reads as signalled while `source` (what a device seam hands out as its
// input handle, see serial_device.h) has input waiting; -1 stops following. Replaces the
// previous source. 0, or a negated system error number.
int waitable_follow(int h, intptr_t source);
// What the application waits on: a descriptor on Linux; -1 for an unknown handle.
intptr_t waitable_native(int h);
