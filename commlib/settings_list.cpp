#include "commlib/settings_list.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/little_endian.h"

namespace {

// A list keeps insertion order; a vector does that without a hand-made chain, and
// releasing it never recurses however many entries a peer has sent.
struct SettingsEntry {
  uint16_t tag;
  std::string text;
};
using SettingsList = std::vector<SettingsEntry>;

SettingsList g_settings;
SettingsList g_changed;

constexpr size_t kJoinSize = 280;    // name "=" value and the terminating zero
constexpr size_t kChangedSize = 260;  // settings_next_changed buffer

// Prefix match over the key's length only: "a" matches "a=1" and also "abc=2".
bool begins_with(const std::string& text, const char* key, size_t key_len) {
  return text.size() >= key_len && ascii_same_n_nocase(text.data(), key, key_len);
}

SettingsList::iterator find_first(SettingsList& list, const char* key, size_t key_len) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (begins_with(it->text, key, key_len)) return it;
  }
  return list.end();
}

// Key = the text before its first "=", or the whole text. False when there was no memory
// for it (the list is as it was, or holds the entry's old text).
bool list_store(SettingsList& list, const char* text, size_t len, uint16_t tag) {
  const void* eq = std::memchr(text, '=', len);
  size_t key_len = eq ? size_t(static_cast<const char*>(eq) - text) : len;
  try {
    auto it = find_first(list, text, key_len);
    if (it != list.end()) {
      it->text.assign(text, len);
      it->tag = tag;
    } else {
      list.push_back(SettingsEntry{tag, std::string(text, len)});
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void list_remove(SettingsList& list, const char* key) {
  if (!key) {
    list.clear();
    return;
  }
  auto it = find_first(list, key, std::strlen(key));
  if (it != list.end()) list.erase(it);
}

// An empty name would be a prefix of every entry and overwrite the first one, and a
// text cut at the buffer would store a wrong value under a right name; both are refused.
bool storable(const char* text, size_t len) {
  return len > 0 && len < kJoinSize && text[0] != '=';
}

}  // namespace

extern "C" int settings_put(const char* name, const char* value) {
  if (!name) return 0;
  char joined[kJoinSize];
  int n = value ? std::snprintf(joined, sizeof joined, "%s=%s", name, value)
                : std::snprintf(joined, sizeof joined, "%s", name);
  if (n < 0 || !storable(joined, size_t(n))) return 0;
  return list_store(g_settings, joined, size_t(n), 0) ? 1 : 0;
}

extern "C" int settings_parse(const uint8_t* msg, int size) {
  g_changed.clear();
  if (!msg || size < 8) return 0;
  // The walk ends at whichever comes first: the text length at offset 6, the
  // message's own length field, or the bytes the caller actually holds.
  size_t end = 8 + size_t(le16(msg + 6));
  size_t msg_len = size_t(le16(msg + 2));
  if (msg_len < end) end = msg_len;
  if (size_t(size) < end) end = size_t(size);

  const char* text = reinterpret_cast<const char*>(msg);
  int count = 0;
  size_t pos = 8;
  while (pos < end && msg[pos] != 0) {
    size_t stop = pos;
    while (stop < end && msg[stop] != 0 && msg[stop] != '\n') ++stop;
    const char* line = text + pos;
    size_t len = stop - pos;
    if (storable(line, len) && list_store(g_settings, line, len, 0)) {
      const void* eq = std::memchr(line, '=', len);
      if (eq && list_store(g_changed, line, size_t(static_cast<const char*>(eq) - line), 0))
        ++count;
    }
    if (stop >= end || msg[stop] == 0) break;
    pos = stop + 1;  // past the line feed
  }
  return count;
}

extern "C" const char* settings_next_changed(void) {
  static char name[kChangedSize];
  if (g_changed.empty()) return nullptr;
  // A name longer than the buffer is cut; removing by the cut prefix still takes
  // this first entry, which begins with it.
  std::snprintf(name, sizeof name, "%s", g_changed.front().text.c_str());
  list_remove(g_changed, name);
  return name;
}

extern "C" const char* settings_get(const char* key) {
  if (!key) return nullptr;
  size_t key_len = std::strlen(key);
  auto it = find_first(g_settings, key, key_len);
  return it == g_settings.end() ? nullptr : it->text.c_str() + key_len;
}

extern "C" void settings_remove(const char* key) { list_remove(g_settings, key); }

namespace qc {
void settings_clear_all() {
  g_settings.clear();
  g_changed.clear();
}
}  // namespace qc
