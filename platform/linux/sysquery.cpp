#include "platform/sysquery.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/ascii.h"
#include "platform/com_path.h"
#include "platform/fault_note.h"
#include "platform/linux/sysparse.h"
#include "platform/paths.h"

namespace {

constexpr int kMaxProps = 5;
constexpr int kComPorts = 32;

struct Prop {
  const char* name;  // static text
  int type;
  uint32_t number;
  char text[300];
};

struct Obj {
  int count;
  Prop props[kMaxProps];
};

void add_text(Obj& o, const char* name, const char* text) {
  if (o.count >= kMaxProps) return;
  Prop& p = o.props[o.count++];
  p.name = name;
  p.type = SYSQ_TYPE_STRING;
  p.number = 0;
  std::snprintf(p.text, sizeof p.text, "%s", text ? text : "");
}

void add_u32(Obj& o, const char* name, uint32_t v) {
  if (o.count >= kMaxProps) return;
  Prop& p = o.props[o.count++];
  p.name = name;
  p.type = SYSQ_TYPE_UINT32;
  p.number = v;
  p.text[0] = '\0';
}

// Reads at most max bytes of a file. Returns 0, the open error number, or
// SYSQ_READ_FAILED. Bigger files are cut: no kernel text we read is legitimately that long.
// A file that is there but cannot be read is noted.
int read_bounded(const char* path, std::vector<char>& buf, size_t max) {
  buf.clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno ? errno : EIO;
    fault_note_read(path, err);
    return err;
  }
  char chunk[4096];
  int rc = 0;
  while (buf.size() < max) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fault_note(path, errno);
      rc = SYSQ_READ_FAILED;
      break;
    }
    if (n == 0) break;
    size_t take = std::min(static_cast<size_t>(n), max - buf.size());
    buf.insert(buf.end(), chunk, chunk + take);
  }
  close(fd);
  return rc;
}

// A one-line attribute of a sysfs directory; empty when missing or malformed. Non-zero
// when it is there but could not be read: a device must not look as if it lacked it.
int read_attr(const char* dir, const char* attr, char* out, size_t size) {
  out[0] = '\0';
  char path[PATH_MAX];
  int n = std::snprintf(path, sizeof path, "%s/%s", dir, attr);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return 0;
  std::vector<char> buf;
  int rc = read_bounded(path, buf, 4096);
  if (rc != 0) return fault_is_absence(rc) ? 0 : rc;
  sysparse_attr(buf.data(), buf.size(), out, size);
  return 0;
}

struct Name {
  char s[256];
};

// Directory entries (sorted, so the listing is stable) that pass keep(). Returns 0, the
// open error number, or SYSQ_READ_FAILED when the listing broke off (noted).
template <typename F>
int list_dir(const char* dir, std::vector<Name>& out, F keep) {
  out.clear();
  DIR* d = opendir(dir);
  if (!d) {
    int err = errno ? errno : EIO;
    fault_note_read(dir, err);
    return err;
  }
  int err = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (!e) {
      err = errno;  // 0 at the end of the listing
      break;
    }
    if (e->d_name[0] == '.') continue;
    if (!keep(e->d_name)) continue;
    Name n;
    std::snprintf(n.s, sizeof n.s, "%s", e->d_name);
    out.push_back(n);
  }
  closedir(d);
  if (err) {
    fault_note(dir, err);
    return SYSQ_READ_FAILED;
  }
  std::sort(out.begin(), out.end(),
            [](const Name& a, const Name& b) { return std::strcmp(a.s, b.s) < 0; });
  return 0;
}

// Where each COMn points, as a path to compare with "/dev/<tty>". A link whose target
// is absent on this machine (a test fixture) still names its target.
struct ComTargets {
  char path[kComPorts + 1][PATH_MAX];
};

void load_com_targets(ComTargets& t) {
  for (int n = 1; n <= kComPorts; n++) {
    t.path[n][0] = '\0';
    char link[PATH_MAX];
    if (plat_com_device_path(n, link, sizeof link) != 0) continue;
    if (realpath(link, t.path[n])) continue;
    ssize_t len = readlink(link, t.path[n], sizeof t.path[n] - 1);
    t.path[n][len > 0 ? len : 0] = '\0';
  }
}

// The tty nodes of one USB device: <dev>/<dev>:<cfg>.<if>/ttyUSB0 (usb-serial drivers)
// or <dev>/<dev>:<cfg>.<if>/tty/ttyACM0 (cdc-acm). Non-zero when a folder that is there
// could not be listed.
int device_ttys(const char* devdir, const char* devname, std::vector<Name>& ttys) {
  ttys.clear();
  size_t dl = std::strlen(devname);
  std::vector<Name> ifs;
  int rc = list_dir(devdir, ifs, [&](const char* n) {
    return std::strncmp(n, devname, dl) == 0 && n[dl] == ':';
  });
  if (rc != 0) return fault_is_absence(rc) ? 0 : rc;
  auto is_tty = [](const char* n) { return std::strncmp(n, "tty", 3) == 0 && n[3] != '\0'; };
  for (const Name& i : ifs) {
    char ifdir[PATH_MAX];
    int k = std::snprintf(ifdir, sizeof ifdir, "%s/%s", devdir, i.s);
    if (k < 0 || static_cast<size_t>(k) >= sizeof ifdir) continue;
    std::vector<Name> found;
    if ((rc = list_dir(ifdir, found, is_tty)) != 0 && !fault_is_absence(rc)) return rc;
    ttys.insert(ttys.end(), found.begin(), found.end());
    char ttydir[PATH_MAX];
    k = std::snprintf(ttydir, sizeof ttydir, "%s/tty", ifdir);
    if (k < 0 || static_cast<size_t>(k) >= sizeof ttydir) continue;
    if ((rc = list_dir(ttydir, found, is_tty)) != 0 && !fault_is_absence(rc)) return rc;
    ttys.insert(ttys.end(), found.begin(), found.end());
  }
  return 0;
}

int com_of(const ComTargets& t, const std::vector<Name>& ttys) {
  for (const Name& tty : ttys) {
    char dev[PATH_MAX];
    std::snprintf(dev, sizeof dev, "/dev/%s", tty.s);
    for (int n = 1; n <= kComPorts; n++)
      if (t.path[n][0] && std::strcmp(t.path[n], dev) == 0) return n;
  }
  return 0;
}

int load_pnp(std::vector<Obj>& objs) {
  char dir[PATH_MAX];
  if (plat_sys_path("/sys/bus/usb/devices", dir, sizeof dir) != 0) return SYSQ_BAD_ROOT;
  std::vector<Name> devs;
  // Interfaces ("1-1:1.0") carry a colon; devices and root hubs ("usb1") do not.
  int rc = list_dir(dir, devs, [](const char* n) { return std::strchr(n, ':') == nullptr; });
  if (rc == ENOENT) return 0;  // no USB bus: no devices, as on a machine without USB
  if (rc != 0) return rc;
  auto com = std::make_unique<ComTargets>();
  load_com_targets(*com);
  std::vector<Name> ttys;
  for (const Name& d : devs) {
    char devdir[PATH_MAX];
    int k = std::snprintf(devdir, sizeof devdir, "%s/%s", dir, d.s);
    if (k < 0 || static_cast<size_t>(k) >= sizeof devdir) continue;
    char vid_text[16], pid_text[16], serial[128], product[200], maker[128];
    unsigned vid = 0, pid = 0;
    if (read_attr(devdir, "idVendor", vid_text, sizeof vid_text) ||
        read_attr(devdir, "idProduct", pid_text, sizeof pid_text))
      return SYSQ_READ_FAILED;
    // Without valid identifiers this is not a USB device Windows would list.
    if (sysparse_hex16(vid_text, &vid) != 0 || sysparse_hex16(pid_text, &pid) != 0) continue;
    if (read_attr(devdir, "serial", serial, sizeof serial) ||
        read_attr(devdir, "product", product, sizeof product) ||
        read_attr(devdir, "manufacturer", maker, sizeof maker))
      return SYSQ_READ_FAILED;
    Obj o{};
    char id[300];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\%s", vid, pid, serial[0] ? serial : d.s);
    // Windows keeps device instance IDs in upper case, serial numbers included.
    for (char* c = id; *c; c++)
      if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    add_text(o, "DeviceID", id);
    add_text(o, "PNPDeviceID", id);
    if (device_ttys(devdir, d.s, ttys) != 0) return SYSQ_READ_FAILED;
    int n = ttys.empty() ? 0 : com_of(*com, ttys);
    char name[300];
    // A device without a product string still shows its port, as the amplifier test
    // looks for "(COM" in the name.
    if (n) std::snprintf(name, sizeof name, "%s (COM%d)", product, n);
    else std::snprintf(name, sizeof name, "%s", product);
    add_text(o, "Name", name);
    add_text(o, "Manufacturer", maker);
    objs.push_back(o);
  }
  return 0;
}

// Reads a procfs file of the system root (at most max bytes).
int read_proc(const char* name, std::vector<char>& buf, size_t max) {
  char path[PATH_MAX];
  if (plat_sys_path(name, path, sizeof path) != 0) return SYSQ_BAD_ROOT;
  return read_bounded(path, buf, max);
}

int load_os(std::vector<Obj>& objs) {
  std::vector<char> buf;
  int rc = read_proc("/proc/meminfo", buf, 1 << 20);
  if (rc != 0) return rc;
  char kb[32];
  sysparse_meminfo(buf.data(), buf.size(), kb, sizeof kb);  // malformed: empty value
  Obj o{};
  add_text(o, "TotalVisibleMemorySize", kb);  // 64-bit in WMI, so handed over as text
  objs.push_back(o);
  return 0;
}

int load_processors(std::vector<Obj>& objs) {
  std::vector<char> buf;
  int rc = read_proc("/proc/cpuinfo", buf, 16u << 20);
  if (rc != 0) return rc;
  static constexpr int kMax = 64;
  auto pk = std::make_unique<CpuPackage[]>(kMax);
  int n = sysparse_cpuinfo(buf.data(), buf.size(), pk.get(), kMax);
  for (int i = 0; i < n; i++) {
    Obj o{};
    char id[16];
    std::snprintf(id, sizeof id, "CPU%d", i);
    add_text(o, "DeviceID", id);
    add_text(o, "Name", pk[i].name);
    add_u32(o, "NumberOfCores", pk[i].cores);
    add_u32(o, "NumberOfLogicalProcessors", pk[i].logical);
    add_u32(o, "CurrentClockSpeed", pk[i].mhz);
    objs.push_back(o);
  }
  return 0;
}

}  // namespace

// The objects are read when the query opens: a walk never breaks off.
struct PlatSysQuery {
  std::vector<Obj> objs;
  size_t next = 0;     // objects fetched by the walk so far
  const Obj* current = nullptr;
};

int sysq_open(const char* class_name, PlatSysQuery** out) {
  if (!out) return SYSQ_NO_CLASS;
  *out = nullptr;
  if (!class_name) return SYSQ_NO_CLASS;
  int (*load)(std::vector<Obj>&) = nullptr;
  // WQL names are case-insensitive.
  if (ascii_same_nocase(class_name, "Win32_PNPEntity")) load = load_pnp;
  else if (ascii_same_nocase(class_name, "CIM_OperatingSystem")) load = load_os;
  else if (ascii_same_nocase(class_name, "Win32_Processor")) load = load_processors;
  else return SYSQ_NO_CLASS;
  PlatSysQuery* q = new (std::nothrow) PlatSysQuery;
  int rc = q ? SYSQ_OK : SYSQ_NO_MEMORY;
  try {
    if (q) rc = load(q->objs);
  } catch (const std::bad_alloc&) {
    rc = SYSQ_NO_MEMORY;
  }
  if (rc == SYSQ_NO_MEMORY) fault_note(nullptr, ENOMEM);
  if (rc != 0) {
    delete q;
    return rc;
  }
  *out = q;
  return SYSQ_OK;
}

int sysq_reset(PlatSysQuery* q) {
  if (!q) return SYSQ_NO_RESET;
  q->next = 0;
  return SYSQ_OK;
}

int sysq_next(PlatSysQuery* q) {
  if (!q || q->next >= q->objs.size()) return SYSQ_NO_OBJECT;
  q->current = &q->objs[q->next++];
  return SYSQ_OK;
}

int sysq_get(const PlatSysQuery* q, const char* prop, char* out, size_t size, uint32_t* number,
             int* type) {
  if (out && size) out[0] = '\0';
  if (!q || !q->current) return SYSQ_NO_OBJECT;
  if (!prop) return SYSQ_NO_PROPERTY;
  const Obj& o = *q->current;
  for (int i = 0; i < o.count; i++) {
    const Prop& p = o.props[i];
    if (!ascii_same_nocase(p.name, prop)) continue;
    if (type) *type = p.type;
    if (number) *number = p.number;
    if (out && size) std::snprintf(out, size, "%s", p.text);
    return SYSQ_OK;
  }
  return SYSQ_NO_PROPERTY;
}

void sysq_close(PlatSysQuery* q) { delete q; }
