// The report text: one process-wide buffer the diagnostics write their findings into,
// shown in one step by whatever window the program has. Works without a window.
#pragma once
#include <cstddef>

constexpr size_t REPORT_TEXT_SIZE = 10000;  // 9,999 characters and the zero
constexpr size_t PANEL_PIECE_SIZE = 300;    // one formatted piece: 299 characters

extern char report_text[REPORT_TEXT_SIZE];

void panel_clear();
// Appends text; a null text clears. What does not fit is dropped.
void panel_append(const char* text);
void panel_appendf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hands report_text to the registered viewer. Without one it does nothing.
void panel_show();

// Registers the procedure that shows report_text (null: none). The window layer
// registers its own, so the diagnostics need not know about windows.
typedef void (*panel_viewer_fn)(const char* text);
void panel_set_viewer(panel_viewer_fn fn);
