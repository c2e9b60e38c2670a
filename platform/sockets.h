// PLACEHOLDER until the ethernet transport's socket facility lands (same name and
// signature); replaced by that header at the merge.
#pragma once

// This computer's host name into out (size bytes, always terminated): 0 or an error.
int sock_hostname(char* out, int size);
