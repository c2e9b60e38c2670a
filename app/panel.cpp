#include "app/panel.h"

#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>

#include <cstdarg>
#include <cstdio>
#include <cstring>

char report_text[REPORT_TEXT_SIZE];

static Fl_Text_Display* panel_display;
static Fl_Text_Buffer* panel_buffer;  // made on the first show, then kept

void panel_attach(Fl_Text_Display* display) { panel_display = display; }

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
  if (!panel_display) return;
  if (!panel_buffer) {
    panel_buffer = new Fl_Text_Buffer(5000);
    panel_display->buffer(panel_buffer);
    panel_buffer->insert(0, report_text);
  } else {
    panel_buffer->replace(0, panel_buffer->length(), report_text);
  }
}
