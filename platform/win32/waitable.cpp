// Readiness objects as manual-reset events, so WaitForMultipleObjects sees them level-
// triggered as the Linux descriptors are.
#include "platform/waitable.h"

#include <windows.h>

#include <mutex>

namespace {
constexpr int kMax = 256;
std::mutex g_lock;
HANDLE g_events[kMax + 1];  // index = handle; 0 is never issued

HANDLE event_of(int h) {
  std::lock_guard<std::mutex> g(g_lock);
  return h >= 1 && h <= kMax ? g_events[h] : nullptr;
}
}  // namespace

int waitable_create() {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!e) return -static_cast<int>(GetLastError());
  std::lock_guard<std::mutex> g(g_lock);
  for (int h = 1; h <= kMax; ++h) {
    if (!g_events[h]) {
      g_events[h] = e;
      return h;
    }
  }
  CloseHandle(e);
  return -static_cast<int>(ERROR_TOO_MANY_OPEN_FILES);
}

void waitable_close(int h) {
  HANDLE e = nullptr;
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (h < 1 || h > kMax) return;
    e = g_events[h];
    g_events[h] = nullptr;
  }
  if (e) CloseHandle(e);
}

int waitable_set(int h) {
  HANDLE e = event_of(h);
  if (!e) return -static_cast<int>(ERROR_INVALID_HANDLE);
  return SetEvent(e) ? 0 : -static_cast<int>(GetLastError());
}

int waitable_clear(int h) {
  HANDLE e = event_of(h);
  if (!e) return -static_cast<int>(ERROR_INVALID_HANDLE);
  return ResetEvent(e) ? 0 : -static_cast<int>(GetLastError());
}

// A comm handle cannot be joined to an event, and the serial device hands out none, so
// only "follow nothing" is taken; the handle then shows framed messages only.
int waitable_follow(int h, intptr_t source) {
  if (!event_of(h)) return -static_cast<int>(ERROR_INVALID_HANDLE);
  return source < 0 ? 0 : -static_cast<int>(ERROR_NOT_SUPPORTED);
}

intptr_t waitable_native(int h) {
  HANDLE e = event_of(h);
  return e ? reinterpret_cast<intptr_t>(e) : -1;
}
