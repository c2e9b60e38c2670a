#include "platform/sound.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<plat_alert_fn> g_alert{nullptr};

// The program's own alert when it handed one in, else the system's.
void play_alert() {
  plat_alert_fn fn = g_alert.load();
  if (fn)
    fn();
  else
    MessageBeep(MB_OK);
}

}  // namespace

void plat_sound_set_alert(plat_alert_fn fn) { g_alert.store(fn); }

int plat_play_wav(const char* path) {
  // PlaySound would fall back to the default sound silently; a missing file is told
  // apart first so that it gives the alert.
  HANDLE h = path ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)
                  : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) {
    play_alert();
    return 1;
  }
  CloseHandle(h);
  if (PlaySoundA(path, nullptr, SND_FILENAME | SND_SYNC | SND_NODEFAULT)) return 0;
  return 2;
}

int plat_sound_output(char* name, int size) {
  if (!name || size <= 0) return 1;
  if (waveOutGetNumDevs() == 0) {
    std::snprintf(name, static_cast<size_t>(size), "no sound output device");
    return 1;
  }
  WAVEOUTCAPSA caps;
  if (waveOutGetDevCapsA(0, &caps, sizeof caps) != MMSYSERR_NOERROR) {
    std::snprintf(name, static_cast<size_t>(size), "the sound output does not answer");
    return 1;
  }
  std::snprintf(name, static_cast<size_t>(size), "%.*s", int(sizeof caps.szPname), caps.szPname);
  return 0;
}
