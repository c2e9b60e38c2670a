#include "probe/ports.h"

#include "platform/com_probe.h"

unsigned char com_port_states[COM_PORTS + 1];

void probe_com_ports(int count, unsigned char* states) {
  if (!states) return;
  if (count > COM_PORTS) count = COM_PORTS;
  for (int n = 1; n <= count; ++n) {
    states[n] = 0;
    int state = plat_com_probe(n, nullptr);
    states[n] = static_cast<unsigned char>(state);
    if (state != PLAT_COM_ABSENT) states[0] = static_cast<unsigned char>(n);
  }
}
