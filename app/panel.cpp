#include "app/panel.h"

#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>

static Fl_Text_Display* panel_display;
static Fl_Text_Buffer* panel_buffer;  // made on the first show, then kept

static void panel_show_display(const char* text) {
  if (!panel_display) return;
  if (!panel_buffer) {
    panel_buffer = new Fl_Text_Buffer(5000);
    panel_display->buffer(panel_buffer);
    panel_buffer->insert(0, text);
  } else {
    panel_buffer->replace(0, panel_buffer->length(), text);
  }
}

void panel_attach(Fl_Text_Display* display) {
  panel_display = display;
  panel_set_viewer(panel_show_display);
}
