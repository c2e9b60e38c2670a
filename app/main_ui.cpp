#include "app/main_ui.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Window.H>

#include "app/actions.h"
#include "app/panel.h"
#include "app/startup.h"

// A button's owner is the interface object kept as its window's user data.
MainUi* MainUi::owner(Fl_Widget* w) {
  Fl_Window* win = w ? w->window() : nullptr;
  return win ? static_cast<MainUi*>(win->user_data()) : nullptr;
}

void MainUi::cb_close(Fl_Widget*, void* data) {
  if (data) static_cast<MainUi*>(data)->exit_action();
}

void MainUi::cb_done(Fl_Widget* w, void*) {
  if (MainUi* ui = owner(w)) ui->exit_action();
}

// The diagnostics run inside the callback and the window does not redraw meanwhile
// (ten seconds for an echo); the wait cursor says so, shown before the work starts.
static void while_busy(Fl_Widget* w, void (*action)()) {
  Fl_Window* win = w ? w->window() : nullptr;
  if (win) {
    win->cursor(FL_CURSOR_WAIT);
    Fl::flush();
  }
  action();
  if (win) win->cursor(FL_CURSOR_DEFAULT);
}

void MainUi::cb_local_sound(Fl_Widget* w, void*) { while_busy(w, action_local_sound_test); }
void MainUi::cb_game_sound(Fl_Widget* w, void*) { while_busy(w, action_game_sound_test); }
void MainUi::cb_rescan(Fl_Widget* w, void*) { while_busy(w, action_rescan); }
void MainUi::cb_game_comm(Fl_Widget* w, void*) { while_busy(w, action_game_comm_test); }
void MainUi::cb_amplifier(Fl_Widget* w, void*) { while_busy(w, action_amplifier_test); }
void MainUi::cb_ip_setup(Fl_Widget*, void*) { action_ip_setup(); }
void MainUi::cb_device_manager(Fl_Widget*, void*) { action_device_manager(); }
void MainUi::cb_network(Fl_Widget*, void*) { action_network_connections(); }
void MainUi::cb_cmd(Fl_Widget*, void*) { action_cmd(); }

void MainUi::exit_action() {
  if (window) window->hide();
  quit_requested = 1;
}

static Fl_Button* button(int x, int y, int w, int h, const char* label, Fl_Callback* cb) {
  Fl_Button* b = new Fl_Button(x, y, w, h, label);
  b->callback(cb);
  return b;
}

Fl_Window* MainUi::make() {
  window = new Fl_Window(599, 497, "Qumex Linkprobe");
  window->callback(cb_close, this);
  window->user_data(this);

  display = new Fl_Text_Display(25, 10, 550, 220);

  address = new Fl_Output(30, 240, 285, 25);
  address->color(static_cast<Fl_Color>(254));
  address->labeltype(FL_NO_LABEL);

  button(30, 268, 285, 25, "Sound Test (this computer)", cb_local_sound);
  game_sound_button = button(30, 296, 285, 25, "Sound Test (game computer)", cb_game_sound);
  button(30, 325, 285, 30, "Rescan ports/Qumex config", cb_rescan);
  button(30, 358, 285, 25, "Test  Game Communications", cb_game_comm);
  button(30, 386, 285, 25, "Test Configured Amplifier", cb_amplifier);
  button(340, 380, 255, 30, "Try setting IP address", cb_ip_setup)
      ->color(static_cast<Fl_Color>(133));
  button(410, 240, 145, 35, "Start Device Manager", cb_device_manager)
      ->color(static_cast<Fl_Color>(175));
  Fl_Button* network = button(410, 285, 145, 35, "Start Network Connections", cb_network);
  network->color(static_cast<Fl_Color>(229));
  network->align(FL_ALIGN_WRAP);
  button(410, 330, 145, 35, "Start cmd", cb_cmd);
  button(100, 460, 380, 25, "Done (Exit)", cb_done)->color(static_cast<Fl_Color>(19));

  window->end();
  window->resizable(window);
  panel_attach(display);
  return window;
}

Fl_Window* make_main_window(MainUi* ui) { return ui ? ui->make() : nullptr; }
