// Every parser that meets outside bytes, one fuzz target: the first byte picks the parser
// (its value modulo 10, in the order of the table at the end), the rest is its input. Each case
// traps on a broken invariant of its parser; the sanitizers catch the rest.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/version_text.h"
#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/serial.h"
#include "commlib/settings_list.h"
#include "commlib/transport.h"
#include "diag/linkdoctor.h"
#include "diag/remotereport.h"
#include "platform/linux/sysparse.h"
#include "platform/version_block.h"
#include "probe/settings.h"
#include "tools/zrcdump/zrc_decode.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool contains(const uint8_t* data, size_t size, const char* key) {
  const uint8_t* k = reinterpret_cast<const uint8_t*>(key);
  return std::search(data, data + size, k, k + std::strlen(key)) != data + size;
}

// Takes every queued message; each is whole, with a type of the message range. setup:
// the setup protocol's frames, a zero sequence and (beyond the bare 8 bytes) text bytes.
void drain(Connection* c, bool serial, bool setup) {
  uint8_t buf[qc::kMaxMessage];
  for (int n; (n = rx_receive(c, -1, buf, sizeof buf)) > 0;) {
    const int len = qc::le16(buf + 2);
    check(n <= qc::kMaxMessage && (!serial || (n == len && len >= 8 && (buf[0] & 0x80) && buf[1] < 0x80)));
    if (!setup) continue;
    check(qc::le32(buf + len - 4) == 0);
    if (len != 8 || buf[0] == 0x80) {
      check(buf[0] == 0x80 && len >= 12 && qc::le32(buf + 4) == 0);
      for (int i = 8; i < len - 4; ++i) check(buf[i] > 0 && buf[i] < 0x80);
    }
  }
}

void elf_version(const uint8_t* data, size_t size) {
  char block[64], text[VERSION_TEXT_SIZE];
  size_t len = 12345;
  int rc = plat_version_block_image(data, size, block, sizeof block, &len);
  check(rc == 0 ? len <= sizeof block : len == 0);
  version_text_from_block(block, len, text, sizeof text);
  check(std::strlen(text) < sizeof text);
  version_text_from_block(reinterpret_cast<const char*>(data), size, text, 40);
  check(std::strlen(text) < 40);
}

// The first byte: the role and whether the link is up; then operations of three bytes
// (bit 0: a datagram rather than stream bytes, bit 1: drain afterwards, then a length)
// each followed by its bytes.
void eth_rx(const uint8_t* data, size_t size) {
  static Connection* c = conn_alloc();
  if (!c || size < 1) return;
  c->rx_fill = 0;
  qc::queues_clear(c);
  c->no_beacon = 1;  // beacon matching would ask the resolver
  c->is_server = data[0] & 1;
  ETH_STORE(c, status, (data[0] & 2) ? (c->is_server ? 3 : 1) : 0);
  for (size_t pos = 1; pos + 3 <= size;) {
    const uint8_t op = data[pos];
    size_t len = std::min(size_t(data[pos + 1] | data[pos + 2] << 8), size - pos - 3);
    const uint8_t* p = data + pos + 3;
    pos += 3 + len;
    if (op & 1) {  // a datagram leaves the stream's partial message alone
      int count = std::min(int(len), qc::kRxBufSize), dummy = 0;
      uint8_t held[qc::kRxBufSize];
      const int fill = c->rx_fill;
      std::memcpy(held, c->rx_buf, size_t(fill));
      (c->is_server ? qc::eth_server_datagram : qc::eth_client_datagram)(c, p, count, int(len), &dummy);
      check(c->rx_fill == fill && std::memcmp(held, c->rx_buf, size_t(fill)) == 0);
    }
    for (size_t off = 0, n; !(op & 1) && off < len; off += n) {
      int room = qc::eth_stream_room(c);
      check(room >= 1);
      n = std::min(len - off, size_t(room));
      std::memcpy(c->rx_buf + c->rx_fill, p + off, n);
      qc::eth_stream_input(c, int(n), c->is_server ? qc::kServerStreamEvents : qc::kClientStreamEvents);
      check(c->rx_fill >= 0 && c->rx_fill < qc::kRxBufSize);
    }
    check(c->queue[0].count <= qc::kQueueSlots && c->queue[1].count <= qc::kQueueSlots);
    if (op & 2) drain(c, false, false);
  }
  drain(c, false, false);
}

void log_options(const uint8_t* data, size_t size) {
  qc::LogOptions o = {5, 5, "PREV", 5, 5};
  qc::log_options_parse(&o, reinterpret_cast<const char*>(data), size);
  size_t n = std::find(o.ident, o.ident + sizeof o.ident, '\0') - o.ident;
  check(n < sizeof o.ident && !std::strpbrk(o.ident, " \r\n"));
  check((contains(data, size, "IDENT=") || n == 0) && (contains(data, size, "RECORD=") || o.record == 0));
}

// The first byte: the size of each read (1 + 8 * value); for messages a second byte, bit
// 0: type 0x85 a datagram, bit 1: capture on. A read ending in an odd byte drains.
void serial(const uint8_t* data, size_t size, bool setup) {
  static Connection* c = conn_alloc();
  if (!c || size < 2) return;
  serial_reset(c);
  c->serial_raw = 0;
  c->serial_setup_mode = setup;
  c->type_class[0x85] = !setup && (data[1] & 1);
  c->rx_capture_slot = !setup && ((data[1] >> 1) & 1);
  const size_t pass = 1 + size_t(data[0]) * 8;
  uint32_t now = 1;
  for (size_t at = setup ? 1 : 2, n; at < size; at += n) {
    n = std::min({size - at, pass, size_t(qc::kSerialReadMax)});
    const int before = c->queue[0].count + c->queue[1].count;
    const uint32_t dropped = c->rx_dropped;
    c->serial_data_time = ++now;
    const int r = setup ? qc::serial_frame_setup(c, data + at, int(n)) : qc::serial_frame_message(c, data + at, int(n));
    check(setup ? r == 0 && c->serial_reader_state <= 2 && c->serial_frame_fill <= qc::kSerialLimit
                : (r == 0 || r == 1) && c->serial_raw_count <= qc::kSerialLimit &&
                      (c->queue[0].count + c->queue[1].count - before == r || c->rx_dropped == dropped + 1));
    if (setup || (data[at + n - 1] & 1)) drain(c, true, setup);
  }
  for (int i = 0; i < 8 && !setup && qc::serial_frame_message(c, nullptr, 0) == 1; ++i) drain(c, true, false);
  drain(c, true, setup);
}

void settings(const uint8_t* data, size_t size) {
  FILE* devs = fmemopen(const_cast<uint8_t*>(data), size, "r");
  FILE* devopts = fmemopen(const_cast<uint8_t*>(data), size, "r");
  check(devs && devopts);
  read_device_settings_from(devs, devopts);
  const DeviceSettings& s = device_settings;
  check(std::strlen(s.input_source) <= 30 && std::strlen(s.amp_port_name) <= 19 && s.amp_port != 0);
  check((s.comm_class == 0 || s.comm_class == 1) && s.display_mode >= 0 && s.display_mode <= 2);
  check(!s.ethernet_address || std::strlen(s.ethernet_address) <= 199);
  bool known = s.device_code == 0;
  for (int i = 0; i < DEVICE_ROWS; ++i) known |= device_table[i].code == s.device_code;
  check(known);
}

void settings_list(const uint8_t* data, size_t size) {
  int n = settings_parse(data, int(std::min(size, size_t(0x7fffffff)))), names = 0;
  while (settings_next_changed()) ++names;
  check(names <= n);  // every counted line gave at most one name
  settings_get("a");
  settings_remove("a");
  qc::settings_clear_all();
}

void sysparse(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  static CpuPackage pk[64];
  int n = sysparse_cpuinfo(text, size, pk, 64);
  check(n >= 0 && n <= 64);
  for (int i = 0; i < n; i++)  // named, ordered and distinct, never empty
    check(std::strlen(pk[i].name) < sizeof pk[i].name && (i == 0 || pk[i - 1].physical_id < pk[i].physical_id) &&
          pk[i].logical != 0 && pk[i].cores != 0);
  char out[32], attr[64], hex[8] = {0};
  check(sysparse_meminfo(text, size, out, sizeof out) != 0 || out[0] != '\0');
  if (sysparse_attr(text, size, attr, sizeof attr) == 0)
    for (const char* c = attr; *c; c++) check(static_cast<unsigned char>(*c) >= 0x20);
  std::memcpy(hex, data, std::min(size, size_t(7)));
  unsigned v = 0;
  check(sysparse_hex16(hex, &v) != 0 || v <= 0xFFFF);
}

void zrcdump(const uint8_t* data, size_t size) {
  static FILE* sink = std::fopen("/dev/null", "w");
  size_t used = 0;
  zrc_dump_capture(data, size, sink, &used);
  check(used <= size);
  zrc_dump_full(data, size, sink, &used);
  check(used <= size);
}

// The game computer's report as this computer reads it: taken whole or not at all, no
// control byte in what is shown, the lists within their sizes.
void report(const uint8_t* data, size_t size) {
  static DoctorReport r;
  doctor_clear(&r);
  const int rc = report_parse(reinterpret_cast<const char*>(data), int(std::min(size, size_t(REPORT_TEXT_MAX))), &r);
  check(rc == 0 ? r.game_answered == 1 : (r.game_answered == 0 && r.count == 0 && r.game_nlines == 0));
  check(r.game_nlines <= DOCTOR_GAME_LINES && r.count <= DOCTOR_FINDINGS);
  auto shown = [](const char* t) {
    for (; *t; ++t) check(static_cast<unsigned char>(*t) >= 0x20 && (static_cast<unsigned char>(*t) < 0x7f || static_cast<unsigned char>(*t) > 0x9f));
  };
  for (int i = 0; i < r.game_nlines; ++i) shown(r.game_lines[i]);
  for (int i = 0; i < r.count; ++i) {
    check(r.findings[i].side == DOCTOR_GAME && r.findings[i].verdict >= 0 && r.findings[i].verdict <= 3);
    shown(r.findings[i].check);
    shown(r.findings[i].seen);
    shown(r.findings[i].advice);
  }
  static char text[16384];
  doctor_text(&r, text, sizeof text);
  check(std::strlen(text) < sizeof text);
  int command = 0, len = 0;
  if (report_msg_header(data, int(std::min(size, size_t(64))), &command, &len))
    check(command >= REPORT_CMD_REQUEST && command <= REPORT_CMD_REFUSED && len >= 8 && len <= REPORT_MSG_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static void (*const parsers[])(const uint8_t*, size_t) = {
      elf_version, eth_rx, log_options, [](const uint8_t* p, size_t n) { serial(p, n, false); },
      [](const uint8_t* p, size_t n) { serial(p, n, true); }, settings, settings_list, sysparse, zrcdump, report};
  if (size >= 1) parsers[data[0] % 10](data + 1, size - 1);
  return 0;
}
