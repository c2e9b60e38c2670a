// The connection objects driven call by call from transcripts under tests/golden/
// (commlib_*.txt): the registry, message building, the receive queues, the serial
// reader's framing passes and the modem-line calls over the simulated cable. Each line
// names a call on object slot i; what it printed follows it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commlib/serial.h"
#include "tests/commlib/serial/serial_test_util.h"
#include "tests/support/golden.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

long num(const std::string& s) { return std::strtol(s.c_str(), nullptr, 0); }

// Bytes from pieces: "m<type>,<command>,<payload>,<seq>[,<fill>][/<cut>]" a message,
// "r<byte>*<count>" a run, anything else hex.
Bytes blob(const Args& a, size_t from) {
  Bytes out;
  for (size_t k = from; k < a.size(); ++k) {
    const std::string& p = a[k];
    long v[5] = {0, 0, 0, 0, 0x5A};
    int n = 0;
    const char* s = p.c_str() + 1;
    for (char* e; n < 5 && (p[0] == 'm' || p[0] == 'r'); s = e + 1) {
      v[n++] = std::strtol(s, &e, 0);
      if (*e != ',' && *e != '*') break;
    }
    Bytes b;
    if (p[0] == 'm') b = lptest::message(uint8_t(v[0]), uint8_t(v[1]), size_t(v[2]), uint32_t(v[3]), uint8_t(v[4]));
    if (p[0] == 'r') b.assign(size_t(v[1]), uint8_t(v[0]));
    for (size_t i = 0; p[0] != 'm' && p[0] != 'r' && i + 1 < p.size(); i += 2) b.push_back(uint8_t(std::stoi(p.substr(i, 2), nullptr, 16)));
    const size_t cut = p.find('/');
    if (cut != std::string::npos) b.resize(size_t(num(p.substr(cut + 1))));
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

#define LP_FIELDS(X)                                                                            \
  X(status) X(transport) X(is_server) X(rx_dropped) X(listen_state) X(accepted_valid)           \
  X(tx_seq_stream) X(tx_seq_datagram) X(serial_raw) X(serial_raw_count) X(serial_overflow_len)  \
  X(serial_error_time) X(serial_data_time) X(serial_reader_state) X(serial_frame_fill)         \
  X(rx_capture_slot) X(serial_setup_mode) X(serial_option) X(serial_port) X(serial_baud)        \
  X(serial_user_baud) X(serial_setup_baud) X(serial_hw_flow)

struct Runner {
  Connection* o[20] = {};
  int cable = -1;
  uint8_t buf[2000];
  std::unique_ptr<lpcap::TraceFile> trace;
  std::vector<uint8_t> fake = std::vector<uint8_t>(qc::kObjectSize, 0);

  // Queued stream/datagram messages, bytes held, overflow length, error time, drops,
  // setup state and fill.
  std::string counters(const Connection* c) {
    char t[160];
    std::snprintf(t, sizeof t, "q%d/%d held %d overflow %d error %u dropped %u setup %d/%d",
                  int(c->queue[0].count), int(c->queue[1].count), int(c->serial_raw_count),
                  int(c->serial_overflow_len), unsigned(c->serial_error_time), unsigned(c->rx_dropped),
                  int(c->serial_reader_state), int(c->serial_frame_fill));
    return t;
  }

  std::string operator()(const std::string& w, const Args& a) {
    const int i = a.empty() ? 0 : int(num(a[0]));
    auto n = [&](size_t k) { return k < a.size() ? num(a[k]) : 0; };
    Connection*& c = o[i];
    lpcap::Seq out;
    if (w == "alloc") {
      c = conn_alloc();
      out << (c != nullptr) << qc::conn_registry_index(c);
    } else if (w == "free") {
      conn_free(c);
      out << conn_is_valid(c) << qc::live_object_count();
    } else if (w == "valid") {
      out << conn_is_valid(c);
    } else if (w == "class") {
      conn_set_class(c, int(n(1)), int(n(2)), int(n(3)));
    } else if (w == "classes") {
      for (long t = n(1); t <= n(2); ++t) out << c->type_class[t];
    } else if (w == "build") {  // type command payload [room]
      std::memset(buf, 0xFF, 20);
      const int r = msg_build(c, buf, a.size() > 4 ? int(n(4)) : 1600, uint8_t(n(1)), uint8_t(n(2)),
                              a[3].empty() ? nullptr : a[3].data(), a[3] == "-1" ? -1 : int(a[3].size()));
      out << r;
      for (int k = 0; k < (r ? r : 11); ++k) out << buf[k];
    } else if (w == "arrive") {  // type command length sequence channel [fill]
      std::memset(c->rx_buf, int(n(6)), qc::kRxBufSize);
      const long len = n(3);
      c->rx_buf[0] = uint8_t(n(1));
      c->rx_buf[1] = uint8_t(n(2));
      c->rx_buf[2] = uint8_t(len);
      c->rx_buf[3] = uint8_t(len >> 8);
      for (int k = 0; k < 4; ++k) c->rx_buf[len - 4 + k] = uint8_t(uint32_t(n(4)) >> (8 * k));
      out << qc::queue_message(c, int(len), int(n(5)), n(5) ? "udpsocket" : "tcpsocket");
    } else if (w == "take") {  // channel [room]: length, the first 12 bytes, the sequence
      std::memset(buf, 0xEE, 32);
      const int r = rx_receive(c, int(n(1)), buf, a.size() > 2 ? int(n(2)) : 1600);
      char hex[32];
      for (int k = 0; k < 12; ++k) std::snprintf(hex + 2 * k, 3, "%02x", buf[k]);
      out << r << (r > 0 ? hex : "");
      if (r >= 8) out << qc::le32(buf + qc::le16(buf + 2) - 4);
    } else if (w == "take_run") {  // channel count: how many came in sequence order 1, 2, ...
      long k = 0;
      while (k < n(2) && rx_receive(c, int(n(1)), buf, 1600) > 0 && qc::le32(buf + qc::le16(buf + 2) - 4) == uint32_t(k + 1)) ++k;
      out << k;
    } else if (w == "arrive_run") {  // type command length channel count: sequences 1..count
      long failed = 0;
      for (long s = 1; s <= n(5); ++s)
        failed += (*this)("arrive", {a[0], a[1], a[2], a[3], std::to_string(s), a[4], std::to_string(s & 0xff)}) != "0\n";
      out << failed;
    } else if (w == "rx_status") {
      out << rx_status(c, int(n(1)));
    } else if (w == "trace") {  // starts catching the trace, or prints what was caught
      if (trace) out << trace->text();
      trace.reset(trace ? nullptr : new lpcap::TraceFile);
    } else if (w == "fake") {  // an unregistered block
      c = reinterpret_cast<Connection*>(fake.data());
    } else if (w == "rx_buf") {
      c->rx_buf[n(1)] = uint8_t(n(2));
    } else if (w == "raw_at") {
      out << c->serial_raw_buf[n(1)];
    } else if (w == "get_framing") {
      out << serial_get_framing(c);
    } else if (w == "clear") {
      qc::queues_clear(c);
    } else if (w == "queues") {
      out << c->queue[0].count << c->queue[1].count << c->queue[1].slot_ref[0] << c->queue[1].slot_ref[1]
          << c->seq_gaps[0] << c->seq_gaps[1] << c->last_rx_seq[0] << c->last_rx_seq[1];
    } else if (w == "raw_bytes") {  // serial raw bytes waiting: count, then 1, 2, ...
      for (int k = 0; k < n(1); ++k) c->serial_raw_buf[k] = uint8_t(k + 1);
      c->serial_raw_count = uint16_t(n(1));
    } else if (w == "frame" || w == "frame_raw" || w == "frame_setup") {
      const Bytes b = blob(a, 1);
      out << (w == "frame" ? qc::serial_frame_message : w == "frame_raw" ? qc::serial_frame_raw
                                                                         : qc::serial_frame_setup)(c, b.data(), int(b.size()))
          << counters(c);
    } else if (w == "counters") {
      out << counters(c);
    } else if (w == "set" || w == "get") {
#define LP_FIELD(f) \
  if (a[1] == #f) w == "set" ? void(c->f = decltype(c->f)(n(2))) : void(out << long(c->f));
      LP_FIELDS(LP_FIELD)
#undef LP_FIELD
    } else if (w == "cable") {  // slots 0 and 1 on COM5 (calling) and COM6 (answering)
      cable = sim_cable_create();
      out << sim_cable_bind(5, cable, 0) << sim_cable_bind(6, cable, 1)
          << lptest::open_serial(o[0], "COM5", int(n(0))) << lptest::open_serial(o[1], "COM6", int(n(0)), true);
    } else if (w == "open") {
      out << lptest::open_serial(c, a[1].c_str(), int(n(2)));
    } else if (w == "inputs") {
      out << input_lines(conn_dsr(c), conn_carrier(c), conn_cts(c), conn_ring(c));
    } else if (w == "ring") {
      out << sim_cable_set_ring(cable, i, n(1) != 0);
    } else if (w == "inject") {
      out << sim_cable_inject_errors(cable, i, uint32_t(n(1)));
    } else if (w == "line_status") {
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

TEST(ConnScript, RegistryQueuesFramingAndModemLines) {
  for (const char* name : {"commlib_queues.txt", "commlib_framing.txt", "commlib_modem.txt"}) {
    Runner r;
    EXPECT_TRUE(script_match(name, std::ref(r)));
    for (Connection* c : r.o)
      if (c && conn_is_valid(c)) serial_close(c), conn_free(c);
    if (r.cable > 0) sim_cable_destroy(r.cable);
  }
}

}  // namespace
