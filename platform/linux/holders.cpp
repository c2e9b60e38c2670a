// Linux body of the holder queries: the descriptors every process has open under
// /proc/*/fd, and the listening sockets of /proc/net/tcp.
#include "platform/holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void process_name(int pid, char* out, size_t size) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
  out[0] = '\0';
  FILE* f = std::fopen(path, "re");
  if (!f) return;
  if (!std::fgets(out, static_cast<int>(size), f)) out[0] = '\0';
  std::fclose(f);
  out[std::strcspn(out, "\n")] = '\0';
  // The kernel keeps 15 characters of the name: a longer one is read from the command
  // line's first word ("linkprobe-responder", not "linkprobe-respo").
  if (std::strlen(out) < 15) return;
  std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
  f = std::fopen(path, "re");
  if (!f) return;
  char first[256];
  size_t n = std::fread(first, 1, sizeof first - 1, f);
  std::fclose(f);
  first[n] = '\0';
  const char* base = std::strrchr(first, '/');
  base = base ? base + 1 : first;
  if (std::strncmp(base, out, 15) != 0) return;
  const size_t len = strnlen(base, size - 1);
  std::memcpy(out, base, len);
  out[len] = '\0';
}

// Calls hit(pid) for every process (but this one with skip_self) with a descriptor whose link text is
// target; stops when hit returns false. 0, or the system's error number.
template <typename F>
int each_holder(const char* target, bool skip_self, F hit) {
  DIR* procs = opendir("/proc");
  if (!procs) return errno ? errno : EIO;
  const int self = getpid();
  bool more = true;
  while (struct dirent* p = more ? readdir(procs) : nullptr) {
    char* end = nullptr;
    long pid = std::strtol(p->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || (skip_self && pid == self)) continue;
    char dir[64];
    std::snprintf(dir, sizeof dir, "/proc/%ld/fd", pid);
    DIR* fds = opendir(dir);
    if (!fds) continue;  // gone, or not ours to look at
    while (struct dirent* d = readdir(fds)) {
      if (d->d_name[0] == '.') continue;
      char path[320], link[PATH_MAX];
      std::snprintf(path, sizeof path, "%s/%s", dir, d->d_name);
      ssize_t n = readlink(path, link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = '\0';
      if (std::strcmp(link, target) == 0) {
        more = hit(static_cast<int>(pid));
        break;
      }
    }
    closedir(fds);
  }
  closedir(procs);
  return 0;
}

}  // namespace

int plat_device_holders(const char* path, PlatHolder* out, int max, int* count) {
  if (!path || !count) return EINVAL;
  *count = 0;
  char real[PATH_MAX];
  if (!realpath(path, real)) return errno ? errno : ENOENT;
  return each_holder(real, true, [&](int pid) {
    if (*count >= max) return false;
    PlatHolder& h = out[(*count)++];
    h.pid = pid;
    process_name(pid, h.name, sizeof h.name);
    return true;
  });
}

int plat_tcp_listener(int port, PlatHolder* out, int* found) {
  if (!out || !found) return EINVAL;
  *found = 0;
  std::memset(out, 0, sizeof *out);
  FILE* f = std::fopen("/proc/net/tcp", "re");
  if (!f) return errno ? errno : ENOENT;
  char line[512];
  unsigned long inode = 0;
  if (!std::fgets(line, sizeof line, f)) line[0] = '\0';  // the heading
  while (std::fgets(line, sizeof line, f)) {
    unsigned addr = 0, lport = 0, state = 0;
    unsigned long ino = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line, " %*d: %x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu", &addr, &lport, &state, &ino) != 4)
      continue;
    if (state == 0x0A && static_cast<int>(lport) == port) {
      inode = ino;
      *found = 1;
      break;
    }
  }
  std::fclose(f);
  if (!*found || inode == 0) return 0;
  char target[64];
  std::snprintf(target, sizeof target, "socket:[%lu]", inode);
  return each_holder(target, false, [&](int pid) {
    out->pid = pid;
    process_name(pid, out->name, sizeof out->name);
    return false;
  });
}
