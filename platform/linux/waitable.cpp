// Readiness objects on Linux: an epoll descriptor holding an eventfd (the library's own
// signal) and, optionally, a device descriptor. The epoll descriptor is readable while
// any member is, so one descriptor serves poll, epoll and toolkit loops alike.
#include "platform/waitable.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

struct Entry {
  std::atomic<int> ep{-1};
  std::atomic<int> ev{-1};
  std::atomic<int> source{-1};
  std::atomic<bool> signalled{false};
  bool used = false;  // guarded by g_lock
};

constexpr int kEntries = 64;
Entry g_entries[kEntries];
std::mutex g_lock;  // issuing and releasing entries

Entry* entry(int h) {
  if (h < 1 || h > kEntries) return nullptr;
  Entry* e = &g_entries[h - 1];
  return e->ep.load(std::memory_order_acquire) >= 0 ? e : nullptr;
}

int add_fd(int ep, int fd) {
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = fd;
  return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) == 0 ? 0 : -errno;
}

}  // namespace

int waitable_create() {
  std::lock_guard<std::mutex> g(g_lock);
  for (int i = 0; i < kEntries; ++i) {
    Entry& e = g_entries[i];
    if (e.used) continue;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return -errno;
    int ev = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ev < 0) {
      int err = errno;
      close(ep);
      return -err;
    }
    int r = add_fd(ep, ev);
    if (r != 0) {
      close(ev);
      close(ep);
      return r;
    }
    e.used = true;
    e.signalled.store(false);
    e.source.store(-1);
    e.ev.store(ev);
    e.ep.store(ep, std::memory_order_release);
    return i + 1;
  }
  return -EMFILE;
}

void waitable_close(int h) {
  std::lock_guard<std::mutex> g(g_lock);
  Entry* e = entry(h);
  if (!e) return;
  close(e->ev.exchange(-1));
  close(e->ep.exchange(-1));
  e->source.store(-1);
  e->used = false;
}

int waitable_set(int h) {
  Entry* e = entry(h);
  if (!e) return -EBADF;
  if (e->signalled.exchange(true)) return 0;  // at most one count is ever held
  uint64_t one = 1;
  if (write(e->ev.load(), &one, sizeof one) != sizeof one) {
    int err = errno;
    e->signalled.store(false);
    return -err;
  }
  return 0;
}

int waitable_clear(int h) {
  Entry* e = entry(h);
  if (!e) return -EBADF;
  if (!e->signalled.exchange(false)) return 0;
  uint64_t count = 0;
  // Non-blocking: EAGAIN means already clear, which is the wanted state.
  if (read(e->ev.load(), &count, sizeof count) < 0 && errno != EAGAIN) return -errno;
  return 0;
}

int waitable_follow(int h, intptr_t source) {
  Entry* e = entry(h);
  if (!e) return -EBADF;
  int ep = e->ep.load();
  int old = e->source.exchange(-1);
  // A descriptor closed since it was added has left the set by itself; whatever now
  // carries its number was never added, so a failed removal is expected.
  if (old >= 0) epoll_ctl(ep, EPOLL_CTL_DEL, old, nullptr);
  if (source < 0) return 0;
  int r = add_fd(ep, int(source));
  if (r == -EEXIST) r = 0;
  if (r == 0) e->source.store(int(source));
  return r;
}

intptr_t waitable_native(int h) {
  Entry* e = entry(h);
  return e ? e->ep.load() : -1;
}
