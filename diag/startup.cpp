#include "diag/startup.h"

#include <cstdio>
#include <cstring>

#include "diag/report_text.h"
#include "diag/amplifier.h"
#include "diag/report.h"
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
    std::fwrite(report_text, 1, std::strlen(report_text), f);
    std::fclose(f);
  }
  return r;
}
