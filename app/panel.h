// The output panel: shows the report text (diag/report_text.h) in the main window's
// text display in one step.
#pragma once
#include "diag/report_text.h"

class Fl_Text_Display;

// Registers the main window's text display (null: none) as the report's viewer.
void panel_attach(Fl_Text_Display* display);
