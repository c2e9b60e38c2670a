// The two sound tests of the main window.
#pragma once

// Plays <root>/Games/reward.wav here and returns when it has ended. Reports nothing:
// a missing file gives the alert sound.
void local_sound_test();

// Asks the game computer to play its reward sound: one command over the game link,
// sent without waiting for an answer.
void game_sound_test();
