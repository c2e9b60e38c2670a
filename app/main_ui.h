// The main window: report display, address field, diagnostic and launcher
// buttons, IP setup and exit.
#pragma once

class Fl_Button;
class Fl_Output;
class Fl_Text_Display;
class Fl_Widget;
class Fl_Window;

class MainUi {
 public:
  // Builds the window and its widgets; registers the display with the panel.
  Fl_Window* make();

  Fl_Window* window = nullptr;
  Fl_Text_Display* display = nullptr;
  Fl_Output* address = nullptr;
  Fl_Button* game_sound_button = nullptr;

  // Hides the window and ends the main loop.
  void exit_action();

 private:
  static MainUi* owner(Fl_Widget* w);
  static void cb_close(Fl_Widget* w, void* data);
  static void cb_local_sound(Fl_Widget* w, void*);
  static void cb_game_sound(Fl_Widget* w, void*);
  static void cb_rescan(Fl_Widget* w, void*);
  static void cb_game_comm(Fl_Widget* w, void*);
  static void cb_amplifier(Fl_Widget* w, void*);
  static void cb_ip_setup(Fl_Widget* w, void*);
  static void cb_device_manager(Fl_Widget* w, void*);
  static void cb_network(Fl_Widget* w, void*);
  static void cb_cmd(Fl_Widget* w, void*);
  static void cb_done(Fl_Widget* w, void*);
};

Fl_Window* make_main_window(MainUi* ui);
