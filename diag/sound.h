// The two sound tests of the main window.
#pragma once

// Plays <root>/Games/reward.wav here and returns when it has ended. Reports nothing:
// a missing file gives the alert sound.
void local_sound_test();

// The same, returning the player's result: 0 played, 1 file missing or unreadable,
// 2 the sound device refused it.
int local_sound_check();

// Asks the game computer to play its reward sound: one command over the game link,
// sent without waiting for an answer. When the link does not open, the link doctor's
// findings follow.
void game_sound_test();

// The same action, telling whether the link opened and the command went out. The
// report does not say the latter: the window's text is the same either way.
bool game_sound_check();
