// Which serial ports exist and which are held by another program.
#pragma once

constexpr int COM_PORTS = 32;

// Entry n (1..32): 0 absent, 1 free, 2 in use. Entry 0: highest port found.
extern unsigned char com_port_states[COM_PORTS + 1];

// Probes COM1..COMcount into states[1..count] (count is capped at COM_PORTS, the
// size every caller's table has). Entry 0 becomes the highest port found and
// keeps its earlier value when none is.
void probe_com_ports(int count, unsigned char* states);
