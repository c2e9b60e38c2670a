#include "platform/sound.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>

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
