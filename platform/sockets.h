// Network sockets for the ethernet transport: IPv4 TCP and UDP over plain integer
// handles. Every call returns a result >= 0 on success and the negated system error
// number on failure (the error is passed through unchanged, only its sign differs),
// so callers never read a thread-global error variable. Handles are never 0..2:
// the connection block uses 0 for "no socket".
#pragma once
#include <cstdint>

#include "platform/sock_addr.h"

enum SockKind { kSockStream = 1, kSockDatagram = 2 };

// ---- error meanings (argument: a positive error number) ----
int sock_err_would_block(int err);       // connect/accept/recv cannot finish now
int sock_err_invalid(int err);           // invalid argument or state
int sock_err_already_connected(int err); // connect on a connected socket
int sock_err_net_down(int err);          // the network is down
int sock_err_refused(int err);           // the peer answered: nothing listens there
int sock_err_unreachable(int err);       // no way to the peer (no route, no answer on the wire)
int sock_err_blocked_here(int err);      // this computer's own rules refused it
const char* sock_err_text(int err);      // system text of an error number

// ---- creation and options ----
int sock_create(int kind);  // new socket, close-on-exec, handle >= 3
int sock_close(int s);
int sock_shutdown(int s);  // ends both directions; the handle stays open
int sock_set_nonblocking(int s, int on);
int sock_set_reuseaddr(int s);
int sock_set_nodelay(int s);
int sock_set_broadcast(int s);
int sock_pending_error(int s);  // SO_ERROR of a finished non-blocking connect (>= 0)

// ---- addresses ----
void sock_addr_make(SockAddr4* a, const uint8_t ip[4], uint16_t port);
uint16_t sock_addr_port(const SockAddr4* a);
void sock_addr_text(const SockAddr4* a, char* out, int size);  // "a.b.c.d"
int sock_local_name(int s, SockAddr4* out);

// ---- connection set-up ----
int sock_bind_any(int s, uint16_t port);
int sock_listen(int s, int backlog);  // backlog < 0: the system's largest
int sock_accept(int s, SockAddr4* peer);  // new handle (>= 3)
int sock_connect(int s, const SockAddr4* to);

// ---- data ----
int sock_recv(int s, void* buf, int size);
// One datagram; *full_length receives its length before any truncation to size.
int sock_recvfrom(int s, void* buf, int size, SockAddr4* from, int* full_length);
int sock_send(int s, const void* buf, int size);  // never raises a broken-pipe signal
int sock_sendto(int s, const void* buf, int size, const SockAddr4* to);

// ---- waiting ----
// A wake-up handle: signalled by another thread, it ends a sock_wait at once. A signal
// stays set until sock_wake_clear takes it (any number of signals read as one).
int sock_wake_create();
int sock_wake_signal(int w);
int sock_wake_clear(int w);
int sock_wake_close(int w);

// A deadline handle: it reads as ready in sock_wait from its expiry until sock_timer_clear.
// Armed once for a far deadline, it spares every wait before it a timer of its own (a
// timed wait arms and cancels one each time, which costs more than the wait's receive).
// Where the system has no such handle sock_timer_create fails and waits carry their limit.
int sock_timer_create();
int sock_timer_arm(int t, int ms_from_now);  // below 1 counts as 1; replaces an earlier arming
int sock_timer_clear(int t);                 // 1 when it had expired, 0 when not, or error
int sock_timer_close(int t);

struct SockWaitSet {
  int fd[4];           // handles; 0 = unused entry
  bool want_write[4];  // also wait for writability
  bool readable[4];    // results
  bool writable[4];
};
// Waits until a handle is ready, the wake handle is signalled (then *woken = 1 and the
// signal stays set) or timeout_ms passes. Returns the number of ready handles (0 on
// time-out) or a negated error. Closed or failed handles count as readable/writable.
int sock_wait(SockWaitSet* set, int wake, int timeout_ms, int* woken);

// ---- local identity (the one place the host's name and address come from) ----
// This computer's name, terminated even when cut to size. Returns 0 or a negated error.
int sock_hostname(char* out, int size);
// IPv4 addresses of a name (getaddrinfo, no hints), up to max into out, their number
// into *count. Returns 0 or the resolver's own non-zero error code (not an errno).
int sock_lookup(const char* name, uint8_t (*out)[4], int max, int* count);
const char* sock_lookup_text(int code);
// This computer's first IPv4 address. Windows: the first address of the host-name lookup
// (gethostbyname). Linux: the first up, non-loopback interface, else what the host name
// resolves to (Debian's resolver answers 127.0.1.1). Returns 0, or 1 when there is none.
int sock_local_ipv4(uint8_t out[4]);
int sock_peer_name(int s, SockAddr4* out);  // fails when the socket is not connected
int sock_err_not_connected_code();             // the system's "not connected" number

// The calling thread's system identifier (for per-thread figures such as CPU time).
uint32_t plat_thread_id();
