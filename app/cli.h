// The headless command line beside the window: one diagnostic run to its end with its
// report on standard output, for a technician on a remote shell. Nothing here opens a
// display.
#pragma once

// The diagnostics --run knows, in the order the usage text lists them.
enum CliCheck {
  CLI_RESCAN = 0,
  CLI_GAME_COMM,
  CLI_GAME_SOUND,
  CLI_AMPLIFIER,
  CLI_LOCAL_SOUND,
  CLI_LINK_DOCTOR,
  CLI_REMOTE_REPORT,
  CLI_CHECK_COUNT
};

// Exit codes: the check passed, did not pass, the command line was wrong, or the result
// may be wrong because a file could not be read or written whole or memory ran out
// (standard error names it). For link-doctor: the link works, a cause was found (or none
// could be), the command line. For remote-report: the game computer's report came, it
// did not, the command line.
enum { CLI_PASSED = 0, CLI_FAILED = 1, CLI_USAGE = 2, CLI_FAULT = 3 };

// After a check or the start-up test: names the faults met on the way on standard error
// and returns CLI_FAULT when there were any, else code.
int cli_fault_result(int code);

// True when argv[1] is exactly --run, --help or --version: only then is the command
// line ours. Anything else (options elsewhere, a word containing them) goes to the
// window as before. STARTUPTEST is decided before this and wins.
bool cli_selected(int argc, const char* const* argv);

// The check of a --run name, or -1 for an unknown one.
int cli_check_by_name(const char* name);

// Runs the selected option. title: the window title ("Qumex Linkprobe PB=..."), printed
// by --version. Returns the exit code.
int cli_main(int argc, const char* const* argv, const char* title);
