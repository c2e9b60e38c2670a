#include "platform/console_keys.h"

#include <conio.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr DWORD kSliceMs = 10;
constexpr size_t kRoom = 4096;

// Bytes of a pipe or file, read ahead by a thread: Windows cannot wait on an anonymous
// pipe with a time limit, and Wine cannot peek into one. The thread shares this state
// with the handle, so it may outlive console_keys_close while it waits for input.
struct Feed {
  std::mutex mu;
  std::condition_variable cv;
  unsigned char buf[kRoom];
  size_t head = 0, count = 0;
  bool ended = false;   // end of the input or a read error
  bool closed = false;  // the handle was released: stop at the next byte
};

void feed_body(HANDLE h, std::shared_ptr<Feed> f) {
  for (;;) {
    unsigned char ch;
    DWORD got = 0;
    bool ok = ReadFile(h, &ch, 1, &got, nullptr) && got == 1;
    std::unique_lock<std::mutex> lock(f->mu);
    if (!ok) {
      f->ended = true;
      f->cv.notify_all();
      return;
    }
    f->cv.wait(lock, [&] { return f->closed || f->count < kRoom; });
    if (f->closed) return;
    f->buf[(f->head + f->count) % kRoom] = ch;
    ++f->count;
    f->cv.notify_all();
  }
}

}  // namespace

struct ConsoleKeys {
  bool console;  // keys from the console itself (_kbhit/_getch)
  std::shared_ptr<Feed> feed;
};

ConsoleKeys* console_keys_open(int fd) {
  if (fd < 0) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* k = new (std::nothrow) ConsoleKeys{};
  if (!k) return nullptr;
  DWORD mode;
  k->console = GetConsoleMode(h, &mode) != 0;
  if (k->console) return k;
  k->feed = std::shared_ptr<Feed>(new (std::nothrow) Feed);
  if (!k->feed) {
    delete k;
    return nullptr;
  }
  try {
    std::thread(feed_body, h, k->feed).detach();
  } catch (...) {
    delete k;
    return nullptr;
  }
  return k;
}

int console_keys_get(ConsoleKeys* k, int timeout_ms) {
  if (!k) return -2;
  DWORD limit = timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms);
  if (k->console) {
    DWORD start = GetTickCount();
    for (;;) {
      if (_kbhit()) return _getch() & 0xFF;
      if (GetTickCount() - start >= limit) return -1;
      Sleep(kSliceMs);
    }
  }
  Feed& f = *k->feed;
  std::unique_lock<std::mutex> lock(f.mu);
  f.cv.wait_for(lock, std::chrono::milliseconds(limit), [&] { return f.count > 0 || f.ended; });
  if (f.count == 0) return f.ended ? -2 : -1;
  int ch = f.buf[f.head];
  f.head = (f.head + 1) % kRoom;
  --f.count;
  f.cv.notify_all();
  return ch;
}

void console_keys_close(ConsoleKeys* k) {
  if (!k) return;
  if (k->feed) {
    std::lock_guard<std::mutex> lock(k->feed->mu);
    k->feed->closed = true;
    k->feed->cv.notify_all();
  }
  delete k;
}

int console_keys_get_or(ConsoleKeys* k, int timeout_ms, intptr_t other) {
  if (!k) return -2;
  // Keys and the other object cannot share one wait here (a pipe's keys come through
  // a reader thread), so both are looked at in short slices.
  HANDLE h = other < 0 ? nullptr : reinterpret_cast<HANDLE>(other);
  DWORD start = GetTickCount();
  DWORD limit = timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms);
  for (;;) {
    if (h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0) return -3;
    DWORD spent = GetTickCount() - start;
    int slice = spent >= limit ? 0 : static_cast<int>(limit - spent < kSliceMs ? limit - spent : kSliceMs);
    int key = console_keys_get(k, slice);
    if (key != -1) return key;
    if (GetTickCount() - start >= limit) return h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? -3 : -1;
  }
}

int plat_is_terminal(int fd) { return _isatty(fd) ? 1 : 0; }
