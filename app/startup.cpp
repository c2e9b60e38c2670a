#include "app/startup.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "app/cli.h"
#include "diag/startup.h"
#include "platform/os_version.h"
#include "platform/paths.h"
#include "platform/version_block.h"

char command_line[COMMAND_LINE_SIZE];
char startup_dir[STARTUP_DIR_SIZE];
char window_title[WINDOW_TITLE_SIZE];
char version_text[VERSION_TEXT_SIZE];
int os_code;
const char* role_name = "";
int quit_requested;

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
  if (plat_folder_tells_role(dir)) return;
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

const char* skip_program_name(const char* raw) {
  if (!raw) return "";
  const char* p = raw;
  // A quoted name runs to the next quote, blanks and all; a bare one to the first blank.
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

int app_headless(int argc, const char* const* argv, int* exit_code) {
  int unused;
  if (!exit_code) exit_code = &unused;
  // 1-2: where we run from, and the title from our own version block.
  char exe[4096];
  if (plat_self_exe_path(exe, sizeof exe) != 0)
    copy_cut(exe, sizeof exe, argc > 0 && argv && argv[0] ? argv[0] : "");
  file_version_text(exe, version_text, sizeof version_text);
  build_window_title(version_text, window_title, sizeof window_title);

  // 3-4: the directory decides the role; STARTUPDIR= overrides it. A path longer than
  // the buffer is cut to it; the role test still sees its start.
  default_startup_dir(exe, startup_dir, sizeof startup_dir);
  apply_startup_dir(command_line, startup_dir, sizeof startup_dir);

  // 5: without a Windows version (Linux) os_code is 0, as when the version cannot be
  // read. It only picks between the two Windows launcher columns; the Linux launchers
  // start their own tools whatever it is.
  int platform_id, major, minor;
  os_code = (plat_windows_version(&platform_id, &major, &minor) == 0)
                ? os_version_code(platform_id, major, minor)
                : 0;

  // 6: the headless start-up test, before any window; its result is the exit code.
  if (const char* test = std::strstr(command_line, "STARTUPTEST")) {
    *exit_code = cli_fault_result(startup_test(test));
    return 1;
  }

  // The headless options, only as the first argument; they never reach the toolkit.
  if (cli_selected(argc, argv)) {
    *exit_code = cli_main(argc, argv, window_title);
    return 1;
  }
  return 0;
}
