#include "diag/report.h"

#include <cstdio>
#include <cstring>

#include "diag/report_text.h"
#include "platform/fault_note.h"
#include "platform/paths.h"
#include "probe/netaddr.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "probe/wmi.h"

char config_report[CONFIG_REPORT_SIZE];

static char g_system_line[SYSTEM_LINE_SIZE];
static void (*g_show_address)(const char*);

void report_attach_address(void (*show)(const char* text)) { g_show_address = show; }

static void add(const char* piece) {
  size_t used = std::strlen(config_report);
  if (used < CONFIG_REPORT_SIZE - 1) std::strncat(config_report, piece, CONFIG_REPORT_SIZE - 1 - used);
}

static int clamp_int(long long v) {
  if (v > 2147483647LL) return 2147483647;
  if (v < -2147483647LL - 1) return -2147483647 - 1;
  return static_cast<int>(v);
}

// Reads the figures; 0 when they are all there.
static int read_figures(int* cores, int* procs, int* speed, int* mem, char* name, size_t name_size) {
  char buf[300];
  if (wmi_open_query("CIM_OperatingSystem") != 0) return 1;
  int rc = wmi_get_property("TotalVisibleMemorySize", 0, buf, sizeof buf);
  wmi_release();
  if (rc != 0) return 1;
  *mem = setting_number(buf);  // atoi's reading, without its overflow

  if (wmi_open_query("Win32_Processor") != 0) return 1;
  long long c = 0, p = 0;
  int i = 0;
  for (; i < 16; i++) {
    if (wmi_get_property("NumberOfCores", i, buf, sizeof buf) != 0) break;
    c += setting_number(buf);
    if (wmi_get_property("NumberOfLogicalProcessors", i, buf, sizeof buf) != 0) break;
    p += setting_number(buf);
  }
  // Not one processor gave both figures: no line.
  rc = (i == 0) ? 1 : 0;
  if (rc == 0 && wmi_get_property("CurrentClockSpeed", 0, buf, sizeof buf) != 0) rc = 1;
  if (rc == 0) {
    *speed = setting_number(buf);
    if (wmi_get_property("Name", 0, name, name_size) != 0) rc = 1;
  }
  wmi_release();
  if (rc != 0) return 1;
  *cores = clamp_int(c);
  *procs = clamp_int(p);
  return 0;
}

const char* system_line() {
  if (g_system_line[0]) return g_system_line;
  int cores = 0, procs = 0, speed = 0, mem = 0;
  char name[300];
  if (read_figures(&cores, &procs, &speed, &mem, name, sizeof name) != 0) return g_system_line;
  char head[SYSTEM_LINE_SIZE];
  int n = std::snprintf(head, sizeof head, "Cores=%d,Procs=%d,Speed=%d,Mem=%d\nCPU=", cores, procs, speed, mem);
  if (n < 0 || static_cast<size_t>(n) >= sizeof head - 1) return g_system_line;
  // A processor name too long for the line is cut so that the line still ends with its
  // line end; the figures before it always fit.
  size_t room = SYSTEM_LINE_SIZE - 1 - static_cast<size_t>(n) - 1;
  size_t len = std::strlen(name);
  if (len > room) len = room;
  size_t at = static_cast<size_t>(n);
  std::memcpy(g_system_line, head, at);
  std::memcpy(g_system_line + at, name, len);
  g_system_line[at + len] = '\n';
  g_system_line[at + len + 1] = '\0';
  return g_system_line;
}

void build_config_report() {
  panel_clear();
  config_report[0] = '\0';
  probe_com_ports(COM_PORTS, com_port_states);

  char path[4096];
  if (plat_root_path("BIN/Tunecfg.", path, sizeof path) == 0) {
    if (FILE* f = std::fopen(path, "r")) {
      char line[260];
      bool got = std::fgets(line, sizeof line, f) != nullptr;
      // A folder of that name opens but cannot be read: no version to label. A file that
      // cannot be read is noted: its line is missing from the report.
      bool failed = !got && std::ferror(f);
      if (failed && errno != EISDIR) fault_note(path, errno);
      std::fclose(f);
      if (!got) line[0] = '\0';
      // Written on Windows, the file ends its lines with CR LF; the report keeps LF only.
      size_t len = std::strlen(line);
      if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
        line[len - 2] = '\n';
        line[len - 1] = '\0';
      } else if (len >= 1 && line[len - 1] == '\r') {
        line[len - 1] = '\0';
      }
      if (!failed) {
        add("Version       : ");
        add(line);
      }
    } else {
      fault_note_read(path, errno);
    }
  }
  add(system_line());
  add("******************************\nCOMM PORTS found");

  int highest = com_port_states[0] <= COM_PORTS ? com_port_states[0] : COM_PORTS;
  int count = 0;
  for (int n = 1; n <= highest; n++)
    if (com_port_states[n] != 0) count++;
  char piece[32];
  if (count) {
    std::snprintf(piece, sizeof piece, "(%d)\n", count);
    add(piece);
  } else {
    add("(NONE)\n");
  }
  for (int n = 1; n <= highest; n++) {
    if (com_port_states[n] == 0) continue;
    std::snprintf(piece, sizeof piece, "   COM%d %c\n", n, com_port_states[n] == 2 ? '*' : ' ');
    add(piece);
  }
  add("********************************\n");

  update_host_line();
  if (g_show_address) g_show_address(host_line);
}

void rescan_action() {
  build_config_report();
  read_device_settings();
  panel_append(config_report);
  panel_show();
}
