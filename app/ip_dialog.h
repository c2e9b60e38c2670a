// The IP setup dialog: adapter, part and group for the two-computer address.
#pragma once

class Fl_Button;
class Fl_Check_Button;
class Fl_Input;
class Fl_Output;
class Fl_Widget;
class Fl_Window;

constexpr int IP_ADAPTER_ROWS = 6;

class IpUi {
 public:
  // Builds the dialog (hidden until the IP setup action shows it).
  Fl_Window* make();

  Fl_Window* window = nullptr;
  Fl_Check_Button* client = nullptr;
  Fl_Check_Button* therapist = nullptr;
  Fl_Check_Button* automatic = nullptr;
  Fl_Input* group = nullptr;
  Fl_Output* output = nullptr;
  Fl_Button* adapters[IP_ADAPTER_ROWS] = {};
  char adapter_text[IP_ADAPTER_ROWS][300] = {};  // what each row shows: redrawn only on a change

  // The main window it stands in for, and that window's address field.
  Fl_Window* main_window = nullptr;
  Fl_Output* main_address = nullptr;

  bool listing_failed = false;  // the last adapter listing returned none

  // Opens the dialog and refreshes it until it is closed.
  void ip_setup_action();
  void close_action();
  void set_address_action();

 private:
  void refresh_adapters();
  static IpUi* owner(Fl_Widget* w);
  static void cb_close(Fl_Widget* w, void* data);
  static void cb_done(Fl_Widget* w, void*);
  static void cb_set_address(Fl_Widget* w, void*);
};

Fl_Window* make_ip_dialog(IpUi* ui);

// The "Try setting IP address" action on the dialog built at start-up.
void ip_dialog_register(IpUi* ui);
void ip_setup_action();
