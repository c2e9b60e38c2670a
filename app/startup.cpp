#include "app/startup.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>

#include <climits>
#include <cstdio>
#include <cstring>

#include "app/cli.h"
#include "app/ip_dialog.h"
#include "app/main_ui.h"
#include "diag/report.h"
#include "diag/startup.h"
#include "platform/os_version.h"
#include "platform/paths.h"
#include "platform/sound.h"
#include "platform/version_block.h"
#include "probe/settings.h"

char command_line[COMMAND_LINE_SIZE];
char startup_dir[STARTUP_DIR_SIZE];
char window_title[WINDOW_TITLE_SIZE];
char version_text[VERSION_TEXT_SIZE];
int os_code;
const char* role_name = "";
int quit_requested;

static MainUi main_ui;
static Fl_Window* main_window;
static IpUi ip_ui;
static Fl_Window* ip_dialog_window;

static void show_address(const char* text) {
  if (main_ui.address) main_ui.address->value(text);
}

static void copy_cut(char* out, size_t size, const char* text) {
  size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

void join_command_line(int argc, const char* const* argv, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  for (int i = 1; i < argc && argv && argv[i]; ++i) {
    int n = std::snprintf(out + used, size - used, "%s%s", i > 1 ? " " : "", argv[i]);
    if (n < 0) break;
    if (static_cast<size_t>(n) >= size - used) {
      used = size - 1;  // cut: snprintf kept what fits
      break;
    }
    used += static_cast<size_t>(n);
  }
}

void cut_to_directory(char* path) {
  if (!path || !path[0]) return;
  size_t len = std::strlen(path);
  for (size_t i = len; i > 0; --i) {
    if (path[i - 1] == '/' || path[i - 1] == '\\') {
      path[i] = '\0';
      return;
    }
  }
  path[1] = '\0';
}

void default_startup_dir(const char* exe_path, char* dir, size_t size) {
  if (!dir || size == 0) return;
  copy_cut(dir, size, exe_path ? exe_path : "");
  cut_to_directory(dir);
  if (plat_in_root(dir)) return;
  // An installed copy (/usr/bin) shares one folder on every computer, so the folder
  // cannot tell the role; the computer's own setting says which one this is.
  char path[4096];
  if (plat_root_path("STARTUPDIR", path, sizeof path) == 0) {
    if (FILE* f = std::fopen(path, "r")) {
      char line[STARTUP_DIR_SIZE];
      bool got = std::fgets(line, sizeof line, f) != nullptr;
      std::fclose(f);
      if (got) line[std::strcspn(line, "\r\n")] = '\0';
      if (got && line[0]) {
        copy_cut(dir, size, line);
        return;
      }
    }
  }
  // Without the setting no role rather than a guessed one: a wrong role pre-selects the
  // other computer's address in the IP setup dialog.
  if (plat_root_path("", path, sizeof path) == 0) copy_cut(dir, size, path);
}

int apply_startup_dir(const char* cmdline, char* dir, size_t size) {
  if (!cmdline || !dir || size == 0) return 0;
  const char* p = std::strstr(cmdline, "STARTUPDIR=");
  if (!p) return 0;
  copy_cut(dir, size, p + 11);
  return 1;
}

const char* decide_role(const char* dir) {
  if (!dir) return "";
  char upper[STARTUP_DIR_SIZE];
  size_t i = 0;
  for (; dir[i] && i + 1 < sizeof upper; ++i) {
    char c = dir[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  upper[i] = '\0';
  if (std::strstr(upper, "\\BIN") || std::strstr(upper, "/BIN")) return "Therapist";
  if (std::strstr(upper, "GAMES")) return "Game";
  return "";
}

int os_version_code(int platform_id, int major, int minor) {
  if (platform_id != 2) {
    if (major == 4 && minor >= 1 && minor <= 89) return 8;
    if (major == 4 && minor >= 90) return 90;
    if (major > 4) return 99;
    return 5;
  }
  if (major <= 4) return 101;
  if (major == 5) return 102;
  if (minor < 0) return 110;  // no such version; keep it in the NT range
  if (minor > INT_MAX - 110) return INT_MAX;
  return 110 + minor;
}

void build_window_title(const char* version, char* out, size_t size) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "Qumex Linkprobe %s", version ? version : "");
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

  // 1-2: where we run from, and the title from our own version block.
  char exe[4096];
  if (plat_self_exe_path(exe, sizeof exe) != 0) copy_cut(exe, sizeof exe, argc > 0 && argv[0] ? argv[0] : "");
  file_version_text(exe, version_text, sizeof version_text);
  build_window_title(version_text, window_title, sizeof window_title);

  // 3-4: the directory decides the role; STARTUPDIR= overrides it. A path longer than
  // the buffer is cut to it; the role test still sees its start.
  default_startup_dir(exe, startup_dir, sizeof startup_dir);
  apply_startup_dir(command_line, startup_dir, sizeof startup_dir);

  // 5: Linux has no Windows version, so os_code is 0 as when the version cannot be
  // read. It only picks between the two Windows launcher columns; the Linux
  // launchers start their own tools whatever it is.
  int platform_id, major, minor;
  os_code = (plat_windows_version(&platform_id, &major, &minor) == 0)
                ? os_version_code(platform_id, major, minor)
                : 0;

  // 6: the headless start-up test, before any window; its result is the exit code.
  if (const char* test = std::strstr(command_line, "STARTUPTEST")) return startup_test(test);

  // The headless options, only as the first argument; they never reach the toolkit.
  if (cli_selected(argc, argv)) return cli_main(argc, argv, window_title);

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
