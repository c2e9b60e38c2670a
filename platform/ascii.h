// ASCII case folding that ignores the locale: names in settings files, transport names
// and port texts compare the same whatever locale the user interface has set.
#pragma once
#include <cstddef>

inline int ascii_lower(int ch) { return ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch; }
inline int ascii_upper(int ch) { return ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch; }

inline bool ascii_same_char_nocase(char a, char b) {
  return ascii_lower(static_cast<unsigned char>(a)) == ascii_lower(static_cast<unsigned char>(b));
}

// The first n characters of a and b agree but for case (both hold at least n).
inline bool ascii_same_n_nocase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!ascii_same_char_nocase(a[i], b[i])) return false;
  return true;
}

// Whole texts equal but for case.
inline bool ascii_same_nocase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (!ascii_same_char_nocase(*a, *b)) return false;
  return *a == *b;
}

// text begins with prefix, but for case.
inline bool ascii_starts_nocase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (!ascii_same_char_nocase(*text, *prefix)) return false;
  return true;
}

// Upper-cases text in place.
inline void ascii_upper_text(char* text) {
  for (; *text; ++text) *text = char(ascii_upper(static_cast<unsigned char>(*text)));
}
