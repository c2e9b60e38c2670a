// The actions behind the main window's buttons, one place for each. The
// diagnostics fill in their own bodies.
#pragma once

void action_local_sound_test();   // "Sound Test (this computer)"
void action_game_sound_test();    // "Sound Test (game computer)"
void action_rescan();             // "Rescan ports/Qumex config"
void action_game_comm_test();     // "Test  Game Communications"
void action_amplifier_test();     // "Test Configured Amplifier"
void action_ip_setup();           // "Try setting IP address"

void action_device_manager();       // "Start Device Manager"
void action_network_connections();  // "Start Network Connections"
void action_cmd();                  // "Start cmd"
