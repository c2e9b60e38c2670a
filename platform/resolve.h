// Name and address lookup, used to check an address text before connecting.
#pragma once
#include <cstddef>

// Looks the text up as an IPv4 address (getaddrinfo, family IPv4, no service) and
// releases the result at once: the lookup only validates. numeric_only: the text must
// be a numeric address; no name service is asked.
// Returns 0, or the resolver's own error code (never 0).
int plat_resolve_ipv4(const char* node, int numeric_only);

// The system's text for a code of plat_resolve_ipv4, on one line, into buf.
const char* plat_resolve_error_text(int code, char* buf, size_t size);
