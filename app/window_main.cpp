// The window's start-up and main loop: the main window and the IP setup dialog over the
// headless start-up steps.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>

#include "app/ip_dialog.h"
#include "app/main_ui.h"
#include "app/startup.h"
#include "diag/report.h"
#include "platform/sound.h"
#include "probe/settings.h"

static MainUi main_ui;
static Fl_Window* main_window;
static IpUi ip_ui;
static Fl_Window* ip_dialog_window;

static void show_address(const char* text) {
  if (main_ui.address) main_ui.address->value(text);
}

static void app_beep() { fl_beep(); }

// Words of our own command line (STARTUPDIR=..., STARTUPTEST) are passed over so
// that the toolkit still takes its switches (-geometry, -display) from the rest.
static int skip_own_word(int /*argc*/, char** argv, int& i) {
  if (argv[i][0] == '-') return 0;
  ++i;
  return 1;
}

int app_main(int argc, char** argv) {
  join_command_line(argc, argv, command_line, sizeof command_line);
  int exit_code = 0;
  if (app_headless(argc, argv, &exit_code)) return exit_code;
  return app_window(argc, argv);
}

int app_window(int argc, char** argv) {
  // 7-8
  read_device_settings();
  role_name = decide_role(startup_dir);

  // 9-10: the IP setup dialog is built (and hidden) next to the main window.
  int arg_index = 1;
  Fl::args(argc, argv, arg_index, skip_own_word);
  main_window = make_main_window(&main_ui);
  ip_dialog_window = make_ip_dialog(&ip_ui);
  ip_dialog_window->hide();
  ip_ui.main_window = main_window;
  ip_ui.main_address = main_ui.address;
  ip_dialog_register(&ip_ui);
  report_attach_address(show_address);
  main_window->label(window_title);

  // 11-12: the first report; the game sound button follows the settings of start-up only.
  rescan_action();
  if (device_settings.display_mode == 2) main_ui.game_sound_button->activate();
  else main_ui.game_sound_button->deactivate();
  // A sound file that cannot be played gives the toolkit's beep.
  plat_sound_set_alert(app_beep);

  // 13-14
  main_window->show(argc, argv);
  quit_requested = 0;
  while (!quit_requested) Fl::wait();

  main_window->hide();
  ip_dialog_window->hide();
  return 0;
}
