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
  // A missing file is told apart first, so that the caller learns of it (the alert is
  // the sound a missing file gives on Windows anyway).
  HANDLE h = path ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)
                  : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) {
    play_alert();
    return 1;
  }
  CloseHandle(h);
  // Without SND_NODEFAULT: a file that is there but cannot be played gives the system's
  // default sound, so the technician still hears that sound works.
  if (PlaySoundA(path, nullptr, SND_FILENAME | SND_SYNC)) return 0;
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
