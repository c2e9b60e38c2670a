#include "diag/report_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char report_text[REPORT_TEXT_SIZE];

static panel_viewer_fn panel_viewer;

void panel_set_viewer(panel_viewer_fn fn) { panel_viewer = fn; }

void panel_clear() { report_text[0] = '\0'; }

void panel_append(const char* text) {
  if (!text) {
    panel_clear();
    return;
  }
  size_t used = std::strlen(report_text);
  size_t room = REPORT_TEXT_SIZE - 1 - used;
  size_t n = std::strlen(text);
  if (n > room) n = room;
  std::memcpy(report_text + used, text, n);
  report_text[used + n] = '\0';
}

void panel_appendf(const char* format, ...) {
  if (!format) return;
  char piece[PANEL_PIECE_SIZE];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(piece, sizeof piece, format, ap);
  va_end(ap);
  if (n < 0) return;  // an encoding error leaves nothing worth showing
  panel_append(piece);
}

void panel_show() {
  if (panel_viewer) panel_viewer(report_text);
}
