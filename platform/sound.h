// Sound facility: synchronous playback of a WAVE file on this computer's default
// sound output.
#pragma once

// The alert sound played when a file cannot be played. The platform layer does not
// link the user-interface toolkit, so the application hands in its own beep
// (fl_beep) at start-up; without one a failed playback is silent.
typedef void (*plat_alert_fn)(void);
void plat_sound_set_alert(plat_alert_fn fn);

// Plays the file and returns when the sound has ended.
// 0 played; 1 the file is missing or unreadable (the alert sound was played instead);
// 2 the sound device refused it (open, configuration or write failure).
int plat_play_wav(const char* path);

// The output the reward sound would go to: 0 with its name (the card's when known),
// 1 none opens (the system's words for why in name), 2 another program holds it.
int plat_sound_output(char* name, int size);
