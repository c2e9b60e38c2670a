// The ports, configuration and system report: the configuration program's version, the
// processor and memory figures, and the COM ports found.
#pragma once
#include <cstddef>

constexpr size_t CONFIG_REPORT_SIZE = 2001;  // 2000 characters and the zero
constexpr size_t SYSTEM_LINE_SIZE = 120;

// The last report; the game tests put it at the head of their output.
extern char config_report[CONFIG_REPORT_SIZE];

// Clears the panel and makes a fresh config_report; refreshes host_line and hands it to
// the address field (see report_attach_address).
void build_config_report();

// "Cores=%d,Procs=%d,Speed=%d,Mem=%d\nCPU=%s\n", or "" when the figures cannot be read.
// Read from the system once per process, once they were there.
const char* system_line();

// The "Rescan ports/Qumex config" action: the report, the settings again, the panel.
void rescan_action();

// Where build_config_report shows host_line (the main window's address field);
// null: nowhere. The window lives above this layer, so it registers itself.
void report_attach_address(void (*show)(const char* text));
