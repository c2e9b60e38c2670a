// Headless start-up test: the amplifier test without a window.
#pragma once

// Runs the test; on failure leaves the report in ampstatus.txt in the current
// directory (deleted first on every run). Returns 0 found, 1 not found.
// command_line: the command line from "STARTUPTEST" onward (not otherwise used).
int startup_test(const char* command_line);
