#include "diag/sound.h"

#include "platform/paths.h"
#include "platform/sound.h"

int local_sound_check() {
  char path[4096];
  // A root too long for the buffer leaves an empty path, which plays the alert.
  plat_root_path("Games/reward.wav", path, sizeof path);
  return plat_play_wav(path);
}

void local_sound_test() { local_sound_check(); }
