#include "diag/startup.h"

#include <cstdio>
#include <cstring>

#include "diag/report_text.h"
#include "diag/amplifier.h"
#include "diag/report.h"
#include "platform/fault_note.h"
#include "probe/ports.h"
#include "probe/settings.h"

int startup_test(const char* /*command_line*/) {
  read_device_settings();
  probe_com_ports(COM_PORTS, com_port_states);
  config_report[0] = '\0';
  std::remove("ampstatus.txt");  // a missing file is no error
  int r = amplifier_test(false);
  if (r == 0) return 0;
  FILE* f = std::fopen("ampstatus.txt", "w");
  if (f) {
    // A report cut short must not pass for the whole one: a failed write or close
    // removes the file and is noted.
    size_t n = std::strlen(report_text);
    bool whole = std::fwrite(report_text, 1, n, f) == n;
    int err = errno;
    if (std::fclose(f) != 0 && whole) {
      whole = false;
      err = errno;
    }
    if (!whole) {
      std::remove("ampstatus.txt");
      fault_note("ampstatus.txt", err, true);
    }
  }
  return r;
}
