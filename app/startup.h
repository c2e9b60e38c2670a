// Start-up: command line, start-up directory and role, window title, and the
// main loop.
#pragma once
#include <cstddef>

#include "app/version_text.h"

constexpr size_t STARTUP_DIR_SIZE = 260;
constexpr size_t WINDOW_TITLE_SIZE = 200;
constexpr size_t COMMAND_LINE_SIZE = 32768;  // the longest Windows command line

extern char command_line[COMMAND_LINE_SIZE];
extern char startup_dir[STARTUP_DIR_SIZE];
extern char window_title[WINDOW_TITLE_SIZE];
extern char version_text[VERSION_TEXT_SIZE];
extern int os_code;
extern const char* role_name;
extern int quit_requested;

// argv[1..] joined with single blanks, cut to size.
void join_command_line(int argc, const char* const* argv, char* out, size_t size);

// Cuts a path after its last separator ("/" or "\"); a path without one keeps
// only its first character.
void cut_to_directory(char* path);

// The start-up directory before the command line is seen: the folder of the
// executable at exe_path when that folder tells the role (on Windows always, on Linux
// inside the installation root); otherwise this computer's setting, the first line of
// <root>/STARTUPDIR; otherwise <root>/.
void default_startup_dir(const char* exe_path, char* dir, size_t size);

// When cmdline holds "STARTUPDIR=", everything after it to the end of the line
// becomes dir (cut to size). Returns 1 when it did, else 0.
int apply_startup_dir(const char* cmdline, char* dir, size_t size);

// "Therapist" when the upper-cased dir holds "/BIN" or "\BIN", else "Game" when it
// holds "GAMES", else "".
const char* decide_role(const char* dir);

// The Windows version code of the launchers (100 or below: the older family).
int os_version_code(int platform_id, int major, int minor);

// "Qumex Linkprobe %s" with the version text, cut to size.
void build_window_title(const char* version, char* out, size_t size);

// The raw command line without the program name and the blanks after it, as WinMain
// receives it: a quoted name ends at its closing quote, a bare one at the first blank.
const char* skip_program_name(const char* raw);

// Start-up steps 1 to 6 over command_line (filled by the caller), then the headless
// options. Returns 1 when the program's work is done without a window, with its exit
// code in *exit_code; 0 when the window is to be built.
int app_headless(int argc, const char* const* argv, int* exit_code);

// The whole program with its window: start-up, main loop, end. Returns the exit code.
int app_main(int argc, char** argv);

// Start-up steps 7 to 15 once app_headless has returned 0: the window and its main loop.
// Returns the exit code. A build without the toolkit says so on standard error and
// returns CLI_USAGE.
int app_window(int argc, char** argv);
