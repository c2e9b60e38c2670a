// The connection block and registry, message building, the receive queues, the log
// options and capture files: no sockets, no threads.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

using lpcap::Seq;
using qc::kRx;
using qc::kTx;
using Bytes = std::vector<uint8_t>;

namespace {

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char b[256];
  va_list a;
  va_start(a, f);
  std::vsnprintf(b, sizeof b, f, a);
  va_end(a);
  return b;
}
Bytes read_file(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
// A capture file's records, one line each: "T code text" for a text record, "kind code
// first second third" (hex) for the others.
std::string records(const std::string& file) {
  std::string out;
  for (const auto& r : lpcap::read_capture(file))
    out += r.kind == 1 ? fmt("T %x %s\n", r.code, r.text.c_str())
                       : fmt("%u %x %x %x %x\n", r.kind, r.code, r.first, r.second, r.third);
  return out;
}

TEST(ConnBlock, LayoutDefaultsAndCallerBlocks) {
  EXPECT_EQ(conn_object_size(), 322355);
  Bytes block(qc::kObjectSize + 7, 0xa5);
  // No block, too small, misaligned.
  EXPECT_FALSE(conn_init_buffer(nullptr, int(block.size())) ||
               conn_init_buffer(block.data(), int(qc::kObjectSize) - 1) ||
               conn_init_buffer(block.data() + 2, int(qc::kObjectSize)));
  Connection* c = conn_init_buffer(block.data(), int(block.size()));
  ASSERT_EQ(c, reinterpret_cast<Connection*>(block.data()));
  EXPECT_EQ(qc::live_object_count(), 1);
  // Every byte zero but the type classes (1 for 160..175 and 239), capacities and flag.
  Bytes want(qc::kObjectSize, 0);
  Connection* w = reinterpret_cast<Connection*>(want.data());
  std::memset(w->type_class + 160, 1, 16);
  w->type_class[239] = 1;
  w->queue[0].capacity = w->queue[1].capacity = 153608u;
  w->user_buffer = 1;
  EXPECT_EQ(Bytes(block.begin(), block.end() - 7), want);
  // The public offsets and accessors see what the struct holds.
  c->status = -2;
  c->rx_dropped = 0x01020304u;
  conn_set_serial_raw(c, 2);
  const uint8_t* b = block.data();
  EXPECT_EQ(fmt("%d %x %d, %d %x %d %d", int16_t(qc::le16(b + QCOMM_OFFSET_STATUS)),
                qc::le32(b + QCOMM_OFFSET_RX_DROPPED), qc::le16(b + QCOMM_OFFSET_SERIAL_RAW),
                conn_get_status(c), conn_get_rx_dropped(c), conn_get_serial_raw(c),
                conn_get_status(nullptr)),
            "-2 1020304 2, -2 1020304 2 0");
  conn_free(c);
  EXPECT_EQ(conn_is_valid(c) + qc::live_object_count(), 0);
  EXPECT_EQ(conn_init_buffer(block.data(), int(block.size())), c);  // the same memory again
  EXPECT_EQ((Seq() << c->status << conn_is_valid(c)).s, "0 1");
  conn_free(c);
}

TEST(Registry, ByIndexTableAndTraceLines) {
  lpcap::TraceFile t;
  intptr_t a = conn_slot(2, 1);
  ASSERT_NE(a, 0);
  Connection* ca = reinterpret_cast<Connection*>(a);
  EXPECT_EQ(conn_slot(2, 5), a);  // already there: the same object
  EXPECT_EQ(conn_at(2), ca);
  ca->status = 4;
  // Out of range, freed, then an empty entry.
  EXPECT_EQ((Seq() << conn_slot(8, 1) << conn_slot(-1, -1) << conn_slot(2, -1) << conn_is_valid(ca)
                   << (conn_at(2) != nullptr) << conn_slot(2, -1)).s,
            "-1 -1 0 0 0 0");
  Bytes block(qc::kObjectSize);
  Connection* u = conn_init_buffer(block.data(), int(block.size()));
  conn_free(u);
  EXPECT_EQ(t.text(), fmt("Alloc object : %" PRIxPTR "\nConnection status : 4\nFree  %" PRIxPTR
                          "\nFree object was found\nUser buffer : %" PRIxPTR
                          "Connection status : 0\nFree object was found\n",
                          a, a, reinterpret_cast<uintptr_t>(u)));
  qc::trace_printf("not written\n");
  Connection* c7 = reinterpret_cast<Connection*>(conn_slot(7, 1));
  Connection* c0 = reinterpret_cast<Connection*>(conn_slot(0, 1));
  EXPECT_TRUE(conn_is_valid(c7) == 1 && conn_at(0) == c0);
  EXPECT_EQ(conn_slot(3, 0), 3);  // frees every entry
  EXPECT_EQ((Seq() << (conn_at(0) != nullptr) << conn_is_valid(c7) << qc::live_object_count()).s,
            "0 0 0");
}

std::string options(const qc::LogOptions& o) {
  return fmt("%d %d %d %d %s", o.record, o.logall, o.writenow, o.bluetooth, o.ident);
}

TEST(LogOptions, KeysDefaultsResetRulesAndLongLines) {
  qc::LogOptions o = {7, 7, "OLD", 0, 1};
  // Case-sensitive keys; the later line wins and saturates. Each text resets RECORD,
  // LOGALL and IDENT; WRITENOW and BLUETOOTH persist.
  const struct {
    std::string text, want;
  } cases[] = {
      {"record=9\nRECORD=3\r\nLOGALL= -2x\nWRITENOW=1\nBLUETOOTH=0\nIDENT=AB CD\n"
       "RECORD=99999999999999\n", "2147483647 -2 1 0 AB"},
      {"IDENT=ABCDEFGHIJ\n", "0 0 1 0 ABCDEFGH"},
      {"IDENT=XY\r\nIDENT=\n", "0 0 1 0 "},
      {"IDENT=XY\r\n", "0 0 1 0 XY"},
      // The 260th character starts a new line, as a 260-byte line reader sees it.
      {std::string(259, '#') + "RECORD=4\n" + std::string(258, '#') + "LOGALL=1\n",
       "4 0 1 0 "},
  };
  for (const auto& k : cases) {
    qc::log_options_parse(&o, k.text.data(), k.text.size());
    EXPECT_EQ(options(o), k.want) << k.text;
  }
}

// Each case in a scratch directory of its own: the options and captures live in the
// current directory.
class Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qc::live_object_count(), 0);
    ini("WRITENOW=0\nBLUETOOTH=1\n");  // these two outlive a re-read
    qc::log_options();
    std::remove("ZRCLOG.INI");
    qc::log_options_mark_unread();
  }
  void TearDown() override { conn_free(c); }
  static void ini(const std::string& text) { std::ofstream("ZRCLOG.INI") << text; }
  // The capture files, in name order.
  std::string captures() const {
    const auto files = dir_.files();
    std::set<std::string> names(files.begin(), files.end());
    names.erase("ZRCLOG.INI");
    Seq s;
    for (const auto& n : names) s << n;
    return s.s;
  }
  std::string slots() const { return fmt("%u %u", c->rx_capture_slot, c->tx_capture_slot); }
  lpcap::ScratchDir dir_{nullptr};
  Connection* c = nullptr;
};

TEST_F(Capture, OptionsReadOnceNamesTakenInTurnAndTraced) {
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");  // no options file: no capture
  ini("RECORD=1\nIDENT=AB CD\n");
  qc::capture_open(c, kRx, "CRX");  // options already read while the object lives
  EXPECT_EQ(slots(), "0 0");
  conn_free(c);
  EXPECT_EQ(captures(), "");
  lpcap::TraceFile t;
  for (int run = 0; run < 2; ++run) {
    c = conn_alloc();
    qc::capture_open(c, kRx, "CRX");
    qc::capture_open(c, kTx, "CTX");
    EXPECT_EQ(slots(), "1 2");
    qc::capture_event(c, kRx, 0, 1, 2, 3);
    qc::capture_event(c, kTx, 42, 1, 2, 3);
    qc::capture_close(c);
    EXPECT_EQ(slots(), "0 0");
    conn_free(c);
  }
  c = nullptr;
  EXPECT_EQ(options(qc::log_options()), "1 0 0 1 AB");
  EXPECT_EQ(captures(), "zrcABCRX10.bin zrcABCRX11.bin zrcABCTX20.bin zrcABCTX21.bin");
  std::string trace, all = t.text();
  for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
    if (all.compare(at + 2, 6, "Opened") == 0 || all.compare(at + 2, 6, "closed") == 0)
      trace += all.substr(at, end - at + 1);
  EXPECT_EQ(trace,
            "c Opened logfile zrcABCRX10.bin\nc Opened logfile zrcABCTX20.bin\n"
            "c closed logfile zrcABCTX20.bin\nc closed logfile zrcABCRX10.bin\n"
            "c Opened logfile zrcABCRX11.bin\nc Opened logfile zrcABCTX21.bin\n"
            "c closed logfile zrcABCTX21.bin\nc closed logfile zrcABCRX11.bin\n");
}

TEST_F(Capture, RecordsAreWrittenByteForByteAtCloseOrAtOnceWithWritenow) {
  ini("RECORD=1\n");
  c = conn_alloc();
  c->is_server = 1;
  qc::capture_open(c, kRx, "SRX");
  uint32_t t0 = uint32_t(uint64_t(qc::clock_us()));
  qc::capture_event(c, kRx, 0xbeef, 0x11223344, 0x55667788, 0x99aabbcc);
  qc::capture_text(c, kRx, 7, "hello");
  qc::capture_text(c, kRx, 8, "0123456789abcdefghijklmnopqrstuvwxyz");  // 36 > 32
  qc::capture_select_event(c, 130, {true, false, true}, nullptr);
  qc::SelectBits wr = {false, true, false};
  qc::capture_select_event(c, 131, {false, true, false}, &wr);
  qc::capture_event(c, kTx, 1, 1, 1, 1);  // no transmit capture: dropped
  EXPECT_TRUE(read_file("zrcSRX10.bin").empty());  // buffered until close
  qc::capture_close(c);
  // Select events: accepted bit 0, TCP bit 4, UDP bit 8; the write set third.
  EXPECT_EQ(records("zrcSRX10.bin"),
            "0 beef 11223344 55667788 99aabbcc\nT 7 hello\n"
            "T 8 0123456789abcdefghijklmnopqrstuv\n0 82 101 0 0\n0 83 10 0 10\n");
  Bytes b = read_file("zrcSRX10.bin");
  ASSERT_EQ(b.size(), 5u * 40u);
  EXPECT_LT(qc::le32(&b[4]) - t0, 60000000u);  // taken after t0, within a minute
  EXPECT_GE(qc::le32(&b[44]), qc::le32(&b[4]));
  EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 40), Bytes(20, 0));
  EXPECT_EQ(std::string(b.begin() + 48, b.begin() + 80), "hello" + std::string(27, '\0'));
  conn_free(c);

  ini("RECORD=1\nWRITENOW=1\n");
  qc::log_options_mark_unread();
  c = conn_alloc();
  qc::capture_open(c, kTx, "CTX");
  qc::capture_event(c, kTx, 5, 6, 7, 8);
  EXPECT_EQ(records("zrcCTX10.bin"), "0 5 6 7 8\n");
  qc::capture_text(c, kTx, 9, "x");
  EXPECT_EQ(records("zrcCTX10.bin"), "0 5 6 7 8\nT 9 x\n");
  qc::capture_close(c);
  EXPECT_EQ(read_file("zrcCTX10.bin").size(), 80u);
}

TEST_F(Capture, LogallCompanionsEmptyFilesAndReopens) {
  ini("RECORD=1\nLOGALL=1\n");
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  qc::capture_open(c, kTx, "CTX");
  EXPECT_EQ(captures(), "zrcCRX10.bin zrcCRX10.binFULL zrcCTX20.bin zrcCTX20.binFULL");
  conn_set_class(c, 200, 200, 2);
  uint8_t msg[12];
  ASSERT_EQ(msg_build(c, msg, sizeof msg, 200, 3, "abcd", 4), 12);
  std::memcpy(c->rx_buf, msg, sizeof msg);
  ASSERT_EQ(qc::queue_message(c, 12, 1, "udpsocket"), 0);  // FULL record, tag = class 2
  const uint8_t raw[3] = {9, 8, 7};
  qc::capture_full(c, kRx, -3, raw);  // raw bytes: the tag is their count
  qc::capture_full(c, kTx, 11, msg);
  qc::capture_close(c);
  // Each FULL record: time, tag, record length, then the bytes.
  Bytes f = read_file("zrcCRX10.binFULL"), t = read_file("zrcCTX20.binFULL");
  ASSERT_EQ(f.size(), 20u + 11u);
  ASSERT_EQ(t.size(), 20u);
  EXPECT_EQ(fmt("%d %d %d %d %d", qc::le16(&f[4]), qc::le16(&f[6]), qc::le16(&f[24]),
                qc::le16(&f[26]), qc::le16(&t[4])),
            "2 20 3 11 11");
  EXPECT_EQ(Bytes(f.begin() + 8, f.begin() + 20), Bytes(msg, msg + 12));
  EXPECT_EQ(Bytes(f.begin() + 28, f.end()), (Bytes{9, 8, 7}));
  // Event 1 (datagram): the head, the sequence, bytes 4 to 7.
  EXPECT_EQ(records("zrcCRX10.bin"), "0 1 c03c8 1 64636261\n");
  for (const auto& n : dir_.files())
    if (n != "ZRCLOG.INI") std::remove(n.c_str());

  // An empty capture leaves no file, and its name is taken again.
  qc::capture_open(c, kRx, "MRX");
  EXPECT_EQ(captures(), "zrcMRX10.bin zrcMRX10.binFULL");
  qc::capture_close(c);
  EXPECT_EQ(captures(), "");
  qc::capture_open(c, kRx, "MRX");
  char name[64];
  qc::capture_slot_name(1, name, sizeof name);
  EXPECT_STREQ(name, "zrcMRX10.bin");
  // A second open of a direction closes the first (writing it out).
  qc::capture_event(c, kRx, 3, 0, 0, 0);
  qc::capture_open(c, kRx, "MRX");
  EXPECT_EQ(+c->rx_capture_slot, 1u);
  EXPECT_EQ(read_file("zrcMRX10.bin").size(), 40u);
  qc::capture_close(c);
  EXPECT_EQ(captures(), "zrcMRX10.bin");
}

TEST_F(Capture, NinthCaptureSkippedFullBufferDropsAndAllNamesTaken) {
  ini("RECORD=1\n");
  std::vector<Connection*> cs;
  for (int i = 0; i < 9; ++i) {
    cs.push_back(conn_alloc());
    qc::capture_open(cs.back(), kRx, "VRX");
    EXPECT_EQ(+cs[size_t(i)]->rx_capture_slot, i < 8 ? uint32_t(i + 1) : 0u);
  }
  qc::capture_event(cs[8], kRx, 1, 1, 1, 1);  // nowhere to go
  // 800000 bytes: a record fits while used + 40 < capacity.
  for (int i = 0; i < 20010; ++i) qc::capture_event(cs[3], kRx, 2, uint32_t(i), 0, 0);
  for (Connection* o : cs) qc::capture_close(o);
  for (Connection* o : cs) conn_free(o);
  EXPECT_EQ(captures(), "zrcVRX40.bin");
  Bytes b = read_file("zrcVRX40.bin");
  ASSERT_EQ(b.size(), 19999u * 40u);
  EXPECT_EQ(qc::le32(&b[b.size() - 28]), 19998u);

  for (int n = 0; n < 256; ++n) std::ofstream("zrcCRX1" + std::to_string(n) + ".bin") << "x";
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  EXPECT_EQ(+c->rx_capture_slot, 0u);
  std::remove("zrcCRX1200.bin");
  qc::capture_open(c, kRx, "CRX");  // the search starts over and finds the free name
  char name[64];
  qc::capture_slot_name(1, name, sizeof name);
  EXPECT_STREQ(name, "zrcCRX1200.bin");
  qc::capture_close(c);
}

TEST_F(Capture, SelectTraceLineAndClocks) {
  c = conn_alloc();
  lpcap::TraceFile t;
  c->status = 2;
  qc::trace_select(c, 1, true, {true, false, true}, {false, true, false}, "C");
  qc::trace_select(c, 0, false, {false, false, false}, {true, true, true}, "S");
  EXPECT_EQ(t.text(), "\nC select: (2) 1 Conn in UDP in TCP out \n\nS select: (2) 0 \n");
  c->status = 0;
  double us0 = qc::clock_us();
  uint32_t ms = qc::clock_ms();
  EXPECT_GE(qc::clock_us(), us0);
  int32_t d = int32_t(ms - uint32_t(uint64_t(us0 / 1000.0)));  // the same clock
  EXPECT_GE(d, 0);
  EXPECT_LT(d, 1000);
}

}  // namespace
