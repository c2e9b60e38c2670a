// Connection objects driven call by call from transcripts under tests/golden/: each
// line names a call on object slot i (0..23; a slot never filled is a null object) and
// what it printed follows it. Shared by the library's portable cases and the serial
// cases over pseudo-terminals.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "commlib/core.h"
#include "commlib/eth_internal.h"
#include "commlib/serial.h"
#include "commlib/transport.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/commlib/capture_reader.h"
#include "tests/support/golden.h"

namespace connscript {

using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

inline std::string hex(const uint8_t* p, size_t n) {
  std::string h;
  for (size_t k = 0; k < n; ++k) h += "0123456789abcdef"[p[k] >> 4], h += "0123456789abcdef"[p[k] & 15];
  return h;
}

inline long long num(const std::string& s) { return std::strtoll(s.c_str(), nullptr, 0); }

// A message as msg_build lays it out: type, command, length, payload, sequence.
inline Bytes message(uint8_t type, uint8_t command, size_t payload, uint32_t seq, uint8_t fill = 0x5A) {
  Bytes m{type, command, uint8_t(payload + 8), uint8_t((payload + 8) >> 8)};
  for (size_t i = 0; i < payload; ++i) m.push_back(uint8_t(fill + i * 7));
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(seq >> (8 * i)));
  return m;
}

// Bytes from pieces: "m<type>,<command>,<payload>,<seq>[,<fill>]" a message, "r<byte>*<count>"
// a run, "t<text>" text, anything else hex;
// "/<n>" cuts a piece to n bytes, "@<n>" writes n into a message's length field.
inline Bytes blob(const Args& a, size_t from) {
  Bytes out;
  for (size_t k = from; k < a.size(); ++k) {
    const std::string& p = a[k];
    long long v[5] = {0, 0, 0, 0, 0x5A};
    int n = 0;
    const char* s = p.c_str() + 1;
    for (char* e; n < 5 && (p[0] == 'm' || p[0] == 'r'); s = e + 1) {
      v[n++] = std::strtoll(s, &e, 0);
      if (*e != ',' && *e != '*') break;
    }
    Bytes b;
    if (p[0] == 't') {
      out.insert(out.end(), p.begin() + 1, p.end());
      continue;
    }
    if (p[0] == 'm') b = message(uint8_t(v[0]), uint8_t(v[1]), size_t(v[2]), uint32_t(v[3]), uint8_t(v[4]));
    if (p[0] == 'r') b.assign(size_t(v[1]), uint8_t(v[0]));
    for (size_t i = 0; !std::strchr("mr", p[0]) && i + 1 < p.size() && p[i] != '/' && p[i] != '@'; i += 2)
      b.push_back(uint8_t(std::stoi(p.substr(i, 2), nullptr, 16)));
    const size_t cut = p.find('/');
    if (cut != std::string::npos) b.resize(size_t(num(p.substr(cut + 1))));
    const size_t len = p.find('@');
    if (len != std::string::npos) {  // the length field says otherwise
      const long long v = num(p.substr(len + 1));
      b[2] = uint8_t(v);
      b[3] = uint8_t(v >> 8);
    }
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

// The serial half of connect: what conn_connect does for "serial" before serial_open.
inline int open_serial(Connection* c, const char* port, int baud, bool server = false) {
  c->transport = 0, c->serial_option = 0, c->beacon_count = 1, c->is_server = server ? 1 : 0;
  return serial_open(c, port, baud);
}

// Waits until the driver's input queue of the connection's port holds at least n bytes.
inline bool wait_input(const Connection* c, int n) {
  for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (ser_in_count(int(c->serial_port) - 1) >= n) return true;
  return false;
}

#define LP_FIELDS(X)                                                                            \
  X(status) X(transport) X(is_server) X(rx_dropped) X(listen_state) X(accepted_valid)           \
  X(tx_seq_stream) X(tx_seq_datagram) X(serial_raw) X(serial_raw_count) X(serial_overflow_len)  \
  X(serial_error_time) X(serial_data_time) X(serial_reader_state) X(serial_frame_fill)         \
  X(rx_capture_slot) X(serial_setup_mode) X(serial_option) X(serial_port) X(serial_baud)        \
  X(serial_user_baud) X(serial_setup_baud) X(serial_hw_flow) X(connect_state) X(rx_fill) X(serial_dtr_dropped)

struct Runner {
  // Words a test adds for its own set-up (pseudo-terminals); "" when not its word.
  std::function<std::string(Runner&, const std::string&, const Args&)> more;
  Connection* o[24] = {};  // slot 19 stays empty: a null object
  qc::LogOptions parsed = {7, 7, "OLD", 0, 1};
  int cable = -1;
  uint8_t buf[2000];
  std::unique_ptr<lpcap::TraceFile> trace;
  std::vector<uint8_t> fake = std::vector<uint8_t>(qc::kObjectSize + 8, 0);

  // Queued stream/datagram messages, bytes held, overflow length, error time, drops,
  // setup state and fill.
  std::string counters(const Connection* c) {
    return (Seq() << c->queue[0].count << c->queue[1].count << c->serial_raw_count << c->serial_overflow_len
            << c->serial_error_time << c->rx_dropped << c->serial_reader_state << c->serial_frame_fill).s;
  }

  std::string operator()(const std::string& w, const Args& a) {
    const int i = a.empty() ? 0 : int(num(a[0]));
    auto n = [&](size_t k) { return k < a.size() ? num(a[k]) : 0; };
    Connection* none = nullptr;  // words whose first argument is not a slot
    Connection*& c = i >= 0 && i < 24 ? o[i] : none;
    Seq out;
    // the bytes of the words that take them, after their other arguments
    const size_t from = w == "feed" || w == "append" || w.compare(0, 5, "frame") == 0 ? 1
                        : w == "beacon_matches" ? 3 : w.find("datagram") != std::string::npos ? 2 : 0;
    const Bytes b = from ? blob(a, from) : Bytes();
    const qc::Direction dir = a.size() > 1 && a[1] == "rx" ? qc::kRx : qc::kTx;
    // three flags of argument k, "-" none
    auto bits = [&](size_t k) {
      if (k >= a.size() || a[k] == "-") return qc::SelectBits{};
      return qc::SelectBits{a[k][0] == '1', a[k][1] == '1', a[k][2] == '1'};
    };
    if (more) {
      std::string r = more(*this, w, a);
      if (!r.empty()) return r;
    }
    if (w == "alloc") {
      c = conn_alloc();
      out << (c != nullptr) << qc::conn_registry_index(c);
    } else if (w == "free") {
      conn_free(c);
      out << conn_is_valid(c) << qc::live_object_count();
      c = nullptr;  // a later step on this slot gets a null object, not freed memory
    } else if (w == "valid") out << conn_is_valid(c);
    else if (w == "class") conn_set_class(c, int(n(1)), int(n(2)), int(n(3)));
    else if (w == "classes") for (long t = n(1); t <= n(2); ++t) out << c->type_class[t];
    else if (w == "build") {  // type command payload [room]
      std::memset(buf, 0xFF, 20);
      const int r = msg_build(c, buf, a.size() > 4 ? int(n(4)) : 1600, uint8_t(n(1)), uint8_t(n(2)),
                              a[3].empty() ? nullptr : a[3].data(), a[3] == "-1" ? -1 : int(a[3].size()));
      out << r;
      for (int k = 0; k < (r ? r : 11); ++k) out << buf[k];
    } else if (w == "arrive") {  // type command length sequence channel [fill]
      std::memset(c->rx_buf, int(n(6)), qc::kRxBufSize);
      const long len = n(3);
      c->rx_buf[0] = uint8_t(n(1)), c->rx_buf[1] = uint8_t(n(2)), c->rx_buf[2] = uint8_t(len), c->rx_buf[3] = uint8_t(len >> 8);
      for (int k = 0; k < 4; ++k) c->rx_buf[len - 4 + k] = uint8_t(uint32_t(n(4)) >> (8 * k));
      out << qc::queue_message(c, int(len), int(n(5)), n(5) ? "udpsocket" : "tcpsocket");
    } else if (w == "take") {  // channel [room]: length, the first 12 bytes, the sequence
      // and a hash of all the bytes
      std::memset(buf, 0xEE, 32);
      const int r = rx_receive(c, int(n(1)), buf, a.size() > 2 ? int(n(2)) : 1600);
      uint32_t hash = 2166136261u;
      for (int k = 0; k < r; ++k) hash = (hash ^ buf[k]) * 16777619u;
      out << r << (r > 0 ? hex(buf, 12) : "");
      if (r >= 8) out << qc::le32(buf + qc::le16(buf + 2) - 4) << hash;
    } else if (w == "take_run") {  // channel count: how many came in sequence order 1, 2, ...
      long k = 0;
      while (k < n(2) && rx_receive(c, int(n(1)), buf, 1600) > 0 && qc::le32(buf + qc::le16(buf + 2) - 4) == uint32_t(k + 1)) ++k;
      out << k;
    } else if (w == "arrive_run") {  // type command length channel count: sequences 1..count
      long failed = 0;
      for (long s = 1; s <= n(5); ++s)
        failed += (*this)("arrive", {a[0], a[1], a[2], a[3], std::to_string(s), a[4], std::to_string(s & 0xff)}) != "0\n";
      out << failed;
    } else if (w == "rx_status") out << rx_status(c, int(n(1)));
    else if (w == "trace") {  // starts catching the trace, or prints the lines caught that
      // hold one of the words given (all without)
      const std::string text = trace ? trace->text() : "";
      for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at + 1);
        bool keep = a.empty();
        for (const auto& word : a) keep |= line.find(word) != std::string::npos;
        if (keep) out.s += line;
      }
      trace.reset(trace ? nullptr : new lpcap::TraceFile);
    } else if (w == "slot") {  // slot index mode: conn_slot's answer, "obj" for the object it
      // keeps in this slot
      const intptr_t r = conn_slot(int(n(1)), int(n(2)));
      if (r > 0 && n(2) > 0 && !c) c = reinterpret_cast<Connection*>(r);
      if (r && r == reinterpret_cast<intptr_t>(c))
        out << "obj";
      else
        out << r;
    } else if (w == "at") {  // slot index: this slot's object 1, none 0, another 2
      const Connection* at = conn_at(int(n(1)));
      out << (at == nullptr ? 0 : at == c ? 1 : 2);
    } else if (w == "init_buffer") {  // slot size offset: a caller's block of 0xA5 bytes (size -1: none)
      if (n(2) == 0) std::fill(fake.begin(), fake.end(), 0xA5);
      Connection* r = conn_init_buffer(n(1) < 0 ? nullptr : fake.data() + n(2), n(1) < 0 ? int(fake.size()) : int(n(1)));
      out << (r != nullptr && r == (c = reinterpret_cast<Connection*>(fake.data())));
    } else if (w == "nonzero") {  // the caller's block: each run of bytes other than 0 as offset+length:value
      for (size_t k = 0, e; k < fake.size(); k = e) {
        for (e = k + 1; e < fake.size() && fake[e] == fake[k];) ++e;
        if (fake[k]) out << std::to_string(k) + "+" + std::to_string(e - k) + ":" + std::to_string(fake[k]);
      }
    } else if (w == "public") {  // the size, the public offsets' bytes and the accessors
      if (const uint8_t* b = reinterpret_cast<const uint8_t*>(c))
        out << conn_object_size() << int16_t(qc::le16(b + QCOMM_OFFSET_STATUS)) << qc::le32(b + QCOMM_OFFSET_RX_DROPPED)
            << qc::le16(b + QCOMM_OFFSET_SERIAL_RAW) << conn_get_rx_dropped(c) << conn_get_serial_raw(c);
      out << conn_get_status(c);
    } else if (w == "serial_raw") conn_set_serial_raw(c, int(n(1)));
    else if (w == "fake") {  // an unregistered block
      std::fill(fake.begin(), fake.end(), 0);
      c = reinterpret_cast<Connection*>(fake.data());
    }
    else if (w == "rx_buf") c->rx_buf[n(1)] = uint8_t(n(2));
    else if (w == "raw_at") out << c->serial_raw_buf[n(1)];
    else if (w == "get_framing") out << serial_get_framing(c);
    else if (w == "conn_reset") {  // what is left: queued, held, dropped, stream fill, last sequence
      conn_reset(c);
      out << c->queue[0].count << c->serial_raw_count << c->rx_dropped << c->rx_fill << c->last_rx_seq[0];
    } else if (w == "clear") qc::queues_clear(c);
    else if (w == "queues") {
      out << c->queue[0].count << c->queue[1].count << c->queue[1].slot_ref[0] << c->queue[1].slot_ref[1]
          << c->seq_gaps[0] << c->seq_gaps[1] << c->last_rx_seq[0] << c->last_rx_seq[1];
    } else if (w == "raw_bytes") {  // serial raw bytes waiting: count, then 1, 2, ...
      for (int k = 0; k < n(1); ++k) c->serial_raw_buf[k] = uint8_t(k + 1);
      c->serial_raw_count = uint16_t(n(1));
    } else if (w == "frame" || w == "frame_raw" || w == "frame_setup") {
      out << (w == "frame" ? qc::serial_frame_message : w == "frame_raw" ? qc::serial_frame_raw
                                                                         : qc::serial_frame_setup)(c, b.data(), int(b.size()))
          << counters(c);
    } else if (w == "set" || w == "get") {
      for (size_t k = 1; k < a.size(); k += w == "set" ? 2 : 1) {  // set: field value ...; get: field ...
#define LP_FIELD(f) \
  if (a[k] == #f) {  \
    if (w == "set") c->f = decltype(c->f)(n(k + 1)); else out << long(c->f); }
        LP_FIELDS(LP_FIELD)
#undef LP_FIELD
      }
    } else if (w == "ini") {  // the options file in the current directory ("-": none)
      if (a[0] == "-") std::remove("ZRCLOG.INI");
      else if (FILE* f = std::fopen("ZRCLOG.INI", "w")) {
        std::fputs(a[0].c_str(), f);
        std::fclose(f);
      }
    } else if (w == "unread") qc::log_options_mark_unread();
    else if (w == "options" || w == "parse") {  // record logall writenow bluetooth ident
      if (w == "parse") qc::log_options_parse(&parsed, a[0].data(), a[0].size());
      const qc::LogOptions& p = w == "parse" ? parsed : qc::log_options();
      out << p.record << p.logall << p.writenow << p.bluetooth << p.ident;
    } else if (w == "cap_open") {  // slot rx|tx tag
      qc::capture_open(c, dir, a[2].c_str());
      out << c->rx_capture_slot << c->tx_capture_slot;
    }
    else if (w == "cap_event") qc::capture_event(c, dir, uint16_t(n(2)), uint32_t(n(3)), uint32_t(n(4)), uint32_t(n(5)));
    else if (w == "cap_events") {  // slot rx|tx code count: first = 0, 1, ...
      for (long k = 0; k < n(3); ++k) qc::capture_event(c, dir, uint16_t(n(2)), uint32_t(k), 0, 0);
    } else if (w == "trace_select") qc::trace_select(c, int(n(1)), a[3] != "-", bits(2), bits(3), a[4].c_str());  // slot result read write|- tag
    else if (w == "cap_text") qc::capture_text(c, dir, uint16_t(n(2)), a[3].c_str());
    else if (w == "cap_select") {  // slot code read-bits [write-bits], three flags each
      const qc::SelectBits wr = bits(3);
      qc::capture_select_event(c, uint16_t(n(1)), bits(2), a.size() > 3 ? &wr : nullptr);
    } else if (w == "cap_full") qc::capture_full(c, dir, int(n(2)), blob(a, 3).data());  // slot rx|tx tag-or-count bytes
    else if (w == "cap_close") {
      qc::capture_close(c);
      out << c->rx_capture_slot << c->tx_capture_slot;
    }
    else if (w == "slot_name") {
      char name[64] = "";
      qc::capture_slot_name(i, name, sizeof name);
      out << name;
    } else if (w == "files" || w == "clean") {  // this directory's files but the options, in
      // name order; or every one of them gone
      for (const auto& f : lpcap::files_in("."))
        if (f != "ZRCLOG.INI" && w == "files") out << f;
        else if (f != "ZRCLOG.INI") std::remove(f.c_str());
    } else if (w == "records") {  // a capture file's records, the time left out ("last": the
      // count and the last one only)
      const auto recs = lpcap::read_capture(a[0]);
      if (a.size() > 1) out << long(recs.size());
      for (const auto& r : a.size() > 1 && !recs.empty() ? std::vector<lpcap::Record>{recs.back()} : recs) {
        char t[64];
        std::snprintf(t, sizeof t, "[%u %x %x %x %x]", r.kind, r.code, r.first, r.second, r.third);
        out << (r.kind == 1 ? "[T " + std::to_string(r.code) + " " + r.text + "]" : std::string(t));
      }
    } else if (w == "raw_file") {  // size, then each record in hex with its time stamp shown as
      // "now" when taken within the last minute; "full" for the FULL files' records
      FILE* f = std::fopen(a[0].c_str(), "rb");
      Bytes b;
      for (int ch; f && (ch = std::fgetc(f)) != EOF;) b.push_back(uint8_t(ch));
      if (f) std::fclose(f);
      out << long(b.size());
      const uint32_t now = uint32_t(uint64_t(qc::clock_us()));
      const bool full = a.size() > 1;
      for (size_t at = 0, end; at + 8 <= b.size(); at = end) {
        end = std::min(b.size(), full ? at + qc::le16(&b[at + 6]) : at + 40);
        const size_t t = full ? at : at + 4;  // the time stamp
        out << hex(&b[at], t - at) + (now - qc::le32(&b[t]) < 60000000u ? "-now-" : "-old-") + hex(&b[t + 4], end - t - 4);
      }
    } else if (w == "touch") {  // name, or a name with %d and a range of numbers
      for (long k = n(1); k <= n(2); ++k) {
        char name[128];
        std::snprintf(name, sizeof name, a[0].c_str(), int(k));
        if (FILE* f = std::fopen(name, "w")) {
          std::fputc('x', f);
          std::fclose(f);
        }
      }
    } else if (w == "rm") out << std::remove(a[0].c_str());
    else if (w == "feed") {  // slot bytes: appended at rx_fill and reassembled; what is held
      std::memcpy(c->rx_buf + c->rx_fill, b.data(), b.size());
      qc::eth_stream_input(c, int(b.size()), qc::kClientStreamEvents);
      out << c->rx_fill << qc::eth_stream_room(c);
    } else if (w == "append") {
      qc::eth_stream_append(c, b.data(), int(b.size()), qc::kClientStreamEvents);
      out << c->rx_fill << qc::eth_stream_room(c);
    } else if (w == "datagram" || w == "server_datagram") {  // slot full-length bytes: the flag
      int flag = 0;
      (w == "datagram" ? qc::eth_client_datagram : qc::eth_server_datagram)(c, b.data(), int(b.size()), int(n(1)), &flag);
      out << flag << c->connect_state << c->rx_dropped;
    } else if (w == "queue_datagram") out << qc::eth_queue_datagram(c, b.data(), int(b.size()), int(n(1)));
    else if (w == "beacon_matches") {  // slot host peer-address name
      std::snprintf(c->host, sizeof c->host, "%s", a[1].c_str());
      uint8_t ip[4] = {0, 0, 0, 0};
      std::sscanf(a[2].c_str(), "%hhu.%hhu.%hhu.%hhu", &ip[0], &ip[1], &ip[2], &ip[3]);
      sock_addr_make(&c->tcp_peer, ip, 5510);
      // The worker's receive buffer keeps the bytes of a longer datagram past a shorter one.
      static uint8_t dgram[qc::kRxBufSize];
      const size_t count = b.size() < sizeof dgram ? b.size() : sizeof dgram;
      std::memcpy(dgram, b.data(), count);
      out << qc::eth_beacon_matches(c, dgram, int(count));
    } else if (w == "cable") {  // slots 0 and 1 on COM5 (calling) and COM6 (answering)
      if (cable > 0) sim_cable_destroy(cable);
      cable = sim_cable_create();
      out << sim_cable_bind(5, cable, 0) << sim_cable_bind(6, cable, 1)
          << open_serial(o[0], "COM5", int(n(0))) << open_serial(o[1], "COM6", int(n(0)), true);
    } else if (w == "open") out << open_serial(c, a[1].c_str(), int(n(2)), a.size() > 3);
    else if (w == "write") {  // slot count bytes
      Bytes b = blob(a, 2);
      b.push_back(0);  // a text's end, for a write of count 0
      out << serial_write(c, b.data(), int(n(1)));
    } else if (w == "poll") out << serial_poll(c) << c->queue[0].count << c->serial_raw_count;  // a reader pass: result, queued, held
    else if (w == "mode_polled") {  // slot setup rate: serial_set_mode while slot 1, the answering
      // side, is polled on a thread as an application's receive loop would; the result, and
      // whether the whole first wait ran out
      std::atomic<bool> stop{false};
      for (int k = 0; k < 3; ++k) serial_poll(o[1]);  // the answering side has seen DSR on
      std::thread answer([&] {
        for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(3))) serial_poll(o[1]);
      });
      const uint32_t start = qc::clock_ms();
      out << serial_set_mode(c, int(n(1)), int(n(2))) << (qc::clock_ms() - start >= qc::kHandshakeWaitMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the answering side ends its switch
      stop = true;
      answer.join();
    } else if (w == "lines") out << sim_cable_lines(cable, i);  // the DTR (1) and RTS (2) a cable end drives
    else if (w == "conn_send") out << conn_send(c, blob(a, 2).data(), int(n(1)));  // slot length bytes
    else if (w == "wait_input") out << wait_input(c, int(n(1)));  // slot count
    else if (w == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(i));
    else if (w == "in_count") out << ser_in_count(i);
    else if (w == "inputs") out << conn_dsr(c) << conn_carrier(c) << conn_cts(c) << conn_ring(c);
    else if (w == "ring") out << sim_cable_set_ring(cable, i, n(1) != 0);
    else if (w == "inject") out << sim_cable_inject_errors(cable, i, uint32_t(n(1)));
    else if (w == "line_status") {
      int err = 123, lines = -5, in = -5;
      serial_line_status(c, &err, &lines, &in);
      out << err << lines << in;
    } else {  // the calls with a number or two and one result
      const long r = w == "dtr" ? conn_dtr(c, int(n(1))) : w == "rts" ? conn_rts(c, int(n(1)))
                   : w == "break" ? conn_break(c, int(n(1))) : w == "line_errors" ? conn_line_errors(c, int(n(1)))
                   : w == "option" ? serial_set_option(c, int(n(1))) : w == "mode" ? serial_set_mode(c, int(n(1)), int(n(2)))
                   : w == "framing" ? (serial_set_framing(c, int(n(1)), int(n(2))), serial_get_framing(c))
                   : w == "reopen" ? (serial_reopen(c), 0) : w == "close" ? serial_close(c) : -999999;
      out << r;
    }
    return out.s + "\n";
  }
};

// Runs the transcript tests/golden/<name> and releases what it left.
inline ::testing::AssertionResult run_script(const char* name, Runner&& r = Runner()) {
  ::testing::AssertionResult result = script_match(name, std::ref(r));
  for (Connection* c : r.o)
    if (c && conn_is_valid(c)) {
      serial_close(c);
      conn_free(c);
    }
  if (r.cable > 0) sim_cable_destroy(r.cable);
  return result;
}

}  // namespace connscript
