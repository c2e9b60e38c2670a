// Settings text lists: named settings that the two computers exchange as lines of
// name=value text, and the names the last settings message carried.
// The lists are process-wide and belong to the application thread.
#pragma once
#include <cstdint>

extern "C" {
// Stores name=value (or the name alone when value is null) in the settings list,
// replacing the first entry that begins with the name (case-insensitive).
// Returns 1; 0 when the name is empty or the text does not fit 279 characters.
int settings_put(const char* name, const char* value);

// Parses a settings message of size bytes (text length at offset 6, text at 8).
// Returns the number of lines holding "=" that were stored.
int settings_parse(const uint8_t* msg, int size);

// The next changed name, in a buffer overwritten by the next call; null when none.
const char* settings_next_changed(void);

// The rest of the first entry that begins with key (for "a" and a=1: "=1"), or null.
// Valid until the settings list next changes.
const char* settings_get(const char* key);

// Removes the first entry that begins with key; a null key empties the list.
void settings_remove(const char* key);
}

namespace qc {
// Empties both lists (library clean-up once no connection object is left).
void settings_clear_all();
}  // namespace qc
