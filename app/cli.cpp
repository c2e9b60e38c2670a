#include "app/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/amplifier.h"
#include "diag/gamecomm.h"
#include "diag/linkdoctor.h"
#include "diag/remotereport.h"
#include "diag/report.h"
#include "diag/report_text.h"
#include "diag/sound.h"
#include "commlib/qcomm.h"
#include "probe/settings.h"
#include "platform/console_keys.h"
#include "platform/fault_note.h"

namespace {

const char* const kNames[CLI_CHECK_COUNT] = {"rescan", "game-comm", "game-sound", "amplifier",
                                             "local-sound", "link-doctor", "remote-report"};

const char kUsage[] =
    "usage: linkprobe [FLTK options] [STARTUPDIR=dir]   the window\n"
    "       linkprobe STARTUPTEST                       headless amplifier test\n"
    "       linkprobe --run NAME                        one diagnostic, no window\n"
    "       linkprobe --run link-doctor [--json]        why the game link fails\n"
    "       linkprobe --run remote-report [ADDRESS]     the game computer's own report\n"
    "       linkprobe --help | --version\n"
    "\n"
    "--run prints the report the window would show and exits with 0 when the check\n"
    "passed, 1 when not (2: wrong command line; 3: a file could not be read or\n"
    "written, or memory ran out, so the report may be wrong). NAME is one of:\n"
    "  rescan       serial ports, configuration version, processor and memory (always 0)\n"
    "  game-comm    echo over the game link (0: the game computer answered)\n"
    "  game-sound   reward sound on the game computer (0: link opened, command sent)\n"
    "  amplifier    the configured amplifier (0: found)\n"
    "  local-sound  reward sound on this computer (0: the file played)\n"
    "  link-doctor  the game link test, and when it fails the checks that find why: one\n"
    "               finding a line, then the most likely cause (0: the link works);\n"
    "               --json prints them as one JSON object\n"
    "  remote-report  the game computer's own report, from its linkprobe-responder\n"
    "               (ADDRESS: an address or name, :PORT for another than 5520, or COMn;\n"
    "               default the configured game link; 0: the report came)\n"
    "The game tests begin with the rescan report, as in the window after start-up.\n"
    "Environment: QUMEX_ROOT, the installation root (default /opt/qumex, on Windows\n"
    "C:\\Qumex); QUMEX_SYSROOT, the system root of the Linux device queries (default /).\n";

int usage_error(const char* why) {
  std::fprintf(stderr, "linkprobe: %s\n%s", why, kUsage);
  return CLI_USAGE;
}

// The report goes out whole; a lost report cannot count as a pass.
int write_out(const char* text, int result) {
  size_t n = std::strlen(text);
  if (std::fwrite(text, 1, n, stdout) != n || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "linkprobe: the report could not be written: %s\n", std::strerror(errno));
    return CLI_FAULT;
  }
  return result;
}

int print_report(int result) { return write_out(report_text, result); }

// The game link test, then the diagnosis; the test's own report is not printed.
int run_doctor(bool json) {
  build_config_report();
  bool answered = game_comm_check();
  static DoctorReport r;
  static char out[16384];
  link_doctor_run(DoctorTest{game_link_result, answered ? 1 : 0}, &r);
  if (json) doctor_json(&r, out, sizeof out);
  else doctor_text(&r, out, sizeof out);
  return write_out(out, r.cause == CAUSE_NONE ? CLI_PASSED : CLI_FAILED);
}

int run_check(int check, bool json, const char* target) {
  switch (check) {
    case CLI_RESCAN:
      rescan_action();
      return print_report(CLI_PASSED);
    case CLI_GAME_COMM:
      build_config_report();
      return print_report(game_comm_check() ? CLI_PASSED : CLI_FAILED);
    case CLI_GAME_SOUND:
      build_config_report();
      return print_report(game_sound_check() ? CLI_PASSED : CLI_FAILED);
    case CLI_AMPLIFIER:
      // The window's button finds the ports probed at start-up; a serial amplifier is
      // looked for only on a port the probe found.
      build_config_report();
      return print_report(amplifier_test(true) == 0 ? CLI_PASSED : CLI_FAILED);
    case CLI_LOCAL_SOUND: {
      // The window says nothing about this sound; here the caller cannot hear it, so the
      // reason of a failure goes to standard error.
      int r = local_sound_check();
      if (r == 1) std::fputs("linkprobe: the reward sound file is missing or unreadable\n", stderr);
      if (r == 2) std::fputs("linkprobe: the sound device refused the reward sound\n", stderr);
      return print_report(r == 0 ? CLI_PASSED : CLI_FAILED);
    }
    case CLI_LINK_DOCTOR:
      return run_doctor(json);
    case CLI_REMOTE_REPORT: {
      read_device_settings();
      static char out[16384];
      int r = remote_report_run(target, out, sizeof out);
      return write_out(out, r == 0 ? CLI_PASSED : CLI_FAILED);
    }
    default:
      return CLI_USAGE;
  }
}

}  // namespace

int cli_fault_result(int code) {
  int notes = fault_note_count.load();
  for (int i = 0; i < notes && i < FAULT_NOTES; ++i) {
    const FaultNote& f = fault_notes[i];
    if (!f.path[0]) std::fputs("linkprobe: out of memory\n", stderr);
    else if (f.write)
      std::fprintf(stderr, "linkprobe: %s could not be written (%s); removed\n", f.path,
                   std::strerror(f.err));
    else std::fprintf(stderr, "linkprobe: %s could not be read: %s\n", f.path, std::strerror(f.err));
  }
  // The library names its own capture files.
  return notes > 0 || capture_failures() > 0 ? CLI_FAULT : code;
}

bool cli_selected(int argc, const char* const* argv) {
  if (argc < 2 || !argv || !argv[1]) return false;
  const char* a = argv[1];
  return std::strcmp(a, "--run") == 0 || std::strcmp(a, "--help") == 0 ||
         std::strcmp(a, "--version") == 0;
}

int cli_check_by_name(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < CLI_CHECK_COUNT; ++i)
    if (std::strcmp(name, kNames[i]) == 0) return i;
  return -1;
}

int cli_main(int argc, const char* const* argv, const char* title) {
  if (!cli_selected(argc, argv)) return usage_error("no option");
  const char* opt = argv[1];
  if (std::strcmp(opt, "--run") == 0) {
    if (argc < 3) return usage_error("--run needs a NAME");
    int check = cli_check_by_name(argv[2]);
    bool json = argc == 4 && check == CLI_LINK_DOCTOR && std::strcmp(argv[3], "--json") == 0;
    const char* target = argc == 4 && check == CLI_REMOTE_REPORT ? argv[3] : nullptr;
    if (argc > 3 && !json && !target) return usage_error("--run takes one NAME");
    if (check < 0) return usage_error("unknown diagnostic");
    // A check can take ten seconds; a person at a terminal is told it runs, while
    // standard output stays the exact report for scripts.
    if (plat_is_terminal(2)) std::fprintf(stderr, "linkprobe: running %s, please wait...\n", argv[2]);
    return cli_fault_result(run_check(check, json, target));
  }
  if (argc > 2) return usage_error("too many arguments");
  if (std::strcmp(opt, "--help") == 0) {
    std::fputs(kUsage, stdout);
  } else {
    // The title ends with the file time's line end; without a time it has none.
    const char* t = title ? title : "";
    size_t n = std::strlen(t);
    std::fputs(t, stdout);
    if (n == 0 || t[n - 1] != '\n') std::fputc('\n', stdout);
  }
  return std::fflush(stdout) == 0 ? CLI_PASSED : CLI_FAILED;
}
