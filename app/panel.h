// The output panel: one process-wide report text, shown in the main window's
// text display in one step. Everything but panel_show works without a window
// or an X display.
#pragma once
#include <cstddef>

class Fl_Text_Display;

constexpr size_t REPORT_TEXT_SIZE = 10000;  // 9,999 characters and the zero
constexpr size_t PANEL_PIECE_SIZE = 300;    // one formatted piece: 299 characters

extern char report_text[REPORT_TEXT_SIZE];

void panel_clear();
// Appends text; a null text clears. What does not fit is dropped.
void panel_append(const char* text);
void panel_appendf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Makes the registered display show report_text. Without a display it does nothing.
void panel_show();

// Registers the main window's text display (null: none).
void panel_attach(Fl_Text_Display* display);
