// The two sound tests of the main window.
#pragma once

// Plays <root>/Games/reward.wav here and returns when it has ended. Reports nothing:
// a missing file gives the alert sound.
void local_sound_test();
