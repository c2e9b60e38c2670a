// Log options and capture files. Each test runs in a scratch directory of its own,
// because the library reads ZRCLOG.INI from and writes captures to the current directory.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

using qc::kRx;
using qc::kTx;

namespace {

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(qc::live_object_count(), 0);
    // WRITENOW and BLUETOOTH outlive a re-read: bring them back to their defaults.
    write_ini("WRITENOW=0\nBLUETOOTH=1\n");
    qc::log_options();
    std::remove("ZRCLOG.INI");
    qc::log_options_mark_unread();
  }
  void TearDown() override { conn_free(c); }
  static void write_ini(const std::string& text) {
    std::ofstream("ZRCLOG.INI", std::ios::binary | std::ios::trunc) << text;
  }
  static std::vector<uint8_t> read_file(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
  }
  // Files in the scratch directory other than the options file.
  std::set<std::string> captures() const {
    std::set<std::string> s;
    for (const auto& n : dir_.files())
      if (n != "ZRCLOG.INI") s.insert(n);
    return s;
  }
  lpcap::ScratchDir dir_{nullptr};
  Connection* c = nullptr;  // freed after the test
};

uint32_t u32(const std::vector<uint8_t>& b, size_t at) { return qc::le32(b.data() + at); }
uint16_t u16(const std::vector<uint8_t>& b, size_t at) { return qc::le16(b.data() + at); }

// ---- options ----

TEST(LogOptions, KeysDefaultsAndResetRules) {
  qc::LogOptions o = {7, 7, "OLD", 0, 1};
  std::string text =
      "record=9\n"          // case-sensitive: ignored
      "RECORD=3\r\n"
      "LOGALL= -2x\n"
      "WRITENOW=1\n"
      "BLUETOOTH=0\n"
      "IDENT=AB CD\n"
      "RECORD=99999999999999\n";  // later line wins; saturates
  qc::log_options_parse(&o, text.data(), text.size());
  EXPECT_EQ(o.record, 2147483647);
  EXPECT_EQ(o.logall, -2);
  EXPECT_EQ(o.writenow, 1);
  EXPECT_EQ(o.bluetooth, 0);
  EXPECT_STREQ(o.ident, "AB");

  // RECORD, LOGALL and IDENT return to their defaults; WRITENOW and BLUETOOTH persist.
  std::string second = "IDENT=ABCDEFGHIJ\n";
  qc::log_options_parse(&o, second.data(), second.size());
  EXPECT_EQ(o.record, 0);
  EXPECT_EQ(o.logall, 0);
  EXPECT_EQ(o.writenow, 1);
  EXPECT_EQ(o.bluetooth, 0);
  EXPECT_STREQ(o.ident, "ABCDEFGH");

  std::string crlf = "IDENT=XY\r\nIDENT=\n";
  qc::log_options_parse(&o, crlf.data(), crlf.size());
  EXPECT_STREQ(o.ident, "");
  std::string cr_only = "IDENT=XY\r\n";
  qc::log_options_parse(&o, cr_only.data(), cr_only.size());
  EXPECT_STREQ(o.ident, "XY");
}

TEST(LogOptions, LongLinesAreCutAt259Characters) {
  qc::LogOptions o = {0, 0, "", 0, 1};
  // The 260th character starts a new line, as a 260-byte line reader sees it.
  std::string text = std::string(259, '#') + "RECORD=4\n" + std::string(258, '#') + "LOGALL=1\n";
  qc::log_options_parse(&o, text.data(), text.size());
  EXPECT_EQ(o.record, 4);
  EXPECT_EQ(o.logall, 0);
}

TEST_F(Scratch, FileIsReadAgainOnlyAfterLastObjectIsFreed) {
  c = conn_alloc();
  ASSERT_NE(c, nullptr);
  qc::capture_open(c, kRx, "CRX");  // no options file: no capture
  EXPECT_EQ(+c->rx_capture_slot, 0u);
  EXPECT_TRUE(captures().empty());

  write_ini("RECORD=1\nIDENT=AB CD\n");
  qc::capture_open(c, kRx, "CRX");  // options already read while the object lives
  EXPECT_EQ(+c->rx_capture_slot, 0u);
  conn_free(c);

  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  EXPECT_EQ(+c->rx_capture_slot, 1u);
  EXPECT_STREQ(qc::log_options().ident, "AB");
  qc::capture_event(c, kRx, 1, 2, 3, 4);
  qc::capture_close(c);
  EXPECT_EQ(captures(), std::set<std::string>{"zrcABCRX10.bin"});
}

// ---- names and records ----

TEST_F(Scratch, SuccessiveOpensTakeTheNextFreeNames) {
  write_ini("RECORD=1\n");
  lpcap::TraceFile t;
  ASSERT_TRUE(t.ok());
  for (int run = 0; run < 2; ++run) {
    c = conn_alloc();
    ASSERT_NE(c, nullptr);
    qc::capture_open(c, kRx, "CRX");
    qc::capture_open(c, kTx, "CTX");
    EXPECT_EQ(+c->rx_capture_slot, 1u);
    EXPECT_EQ(+c->tx_capture_slot, 2u);
    qc::capture_event(c, kRx, 0, 1, 2, 3);
    qc::capture_event(c, kTx, 42, 1, 2, 3);
    qc::capture_close(c);
    EXPECT_EQ(+c->rx_capture_slot, 0u);
    EXPECT_EQ(+c->tx_capture_slot, 0u);
    conn_free(c);
    c = nullptr;
  }
  EXPECT_EQ(captures(), (std::set<std::string>{"zrcCRX10.bin", "zrcCTX20.bin", "zrcCRX11.bin",
                                               "zrcCTX21.bin"}));
  std::istringstream lines(t.text());
  std::string trace;
  for (std::string l; std::getline(lines, l);)
    if (l.find("logfile") != std::string::npos) trace += l + "\n";
  EXPECT_EQ(trace,
            "c Opened logfile zrcCRX10.bin\nc Opened logfile zrcCTX20.bin\n"
            "c closed logfile zrcCTX20.bin\nc closed logfile zrcCRX10.bin\n"
            "c Opened logfile zrcCRX11.bin\nc Opened logfile zrcCTX21.bin\n"
            "c closed logfile zrcCTX21.bin\nc closed logfile zrcCRX11.bin\n");
}

TEST_F(Scratch, RecordsAreWrittenByteForByteAtClose) {
  write_ini("RECORD=1\n");
  c = conn_alloc();
  c->is_server = 1;
  qc::capture_open(c, kRx, "SRX");
  ASSERT_EQ(+c->rx_capture_slot, 1u);
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

  std::vector<uint8_t> b = read_file("zrcSRX10.bin");
  ASSERT_EQ(b.size(), 5u * 40u);
  // Event record.
  EXPECT_EQ(u16(b, 0), 0);
  EXPECT_EQ(u16(b, 2), 0xbeef);
  EXPECT_LT(u32(b, 4) - t0, 60000000u);  // taken after t0, within a minute
  EXPECT_EQ(u32(b, 8), 0x55667788u);   // second
  EXPECT_EQ(u32(b, 12), 0x11223344u);  // first
  EXPECT_EQ(u32(b, 16), 0x99aabbccu);  // third
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 20, b.begin() + 40), std::vector<uint8_t>(20, 0));
  // Text records: NUL-padded, cut at 32 without a terminator.
  EXPECT_EQ(u16(b, 40), 1);
  EXPECT_EQ(u16(b, 42), 7);
  EXPECT_EQ(std::string(b.begin() + 48, b.begin() + 80), std::string("hello") + std::string(27, '\0'));
  EXPECT_EQ(u16(b, 82), 8);
  EXPECT_EQ(std::string(b.begin() + 88, b.begin() + 120), "0123456789abcdefghijklmnopqrstuv");
  EXPECT_GE(u32(b, 44), u32(b, 4));
  // Select events: accepted bit 0, TCP bit 4, UDP bit 8.
  EXPECT_EQ(u16(b, 122), 130);
  EXPECT_EQ(u32(b, 132), 1u | 256u);
  EXPECT_EQ(u32(b, 128), 0u);
  EXPECT_EQ(u32(b, 136), 0u);
  EXPECT_EQ(u32(b, 172), 16u);
  EXPECT_EQ(u32(b, 176), 16u);
}

TEST_F(Scratch, WritenowReachesTheFileBeforeTheCallReturns) {
  write_ini("RECORD=1\nWRITENOW=1\n");
  c = conn_alloc();
  qc::capture_open(c, kTx, "CTX");
  ASSERT_EQ(+c->tx_capture_slot, 1u);
  qc::capture_event(c, kTx, 5, 6, 7, 8);
  std::vector<uint8_t> b = read_file("zrcCTX10.bin");
  ASSERT_EQ(b.size(), 40u);
  EXPECT_EQ(u16(b, 2), 5);
  EXPECT_EQ(u32(b, 12), 6u);
  qc::capture_text(c, kTx, 9, "x");
  EXPECT_EQ(read_file("zrcCTX10.bin").size(), 80u);
  qc::capture_close(c);
  EXPECT_EQ(read_file("zrcCTX10.bin").size(), 80u);  // nothing left to add at close
}

TEST_F(Scratch, LogallCompanionsHoldWholeMessages) {
  write_ini("RECORD=1\nLOGALL=1\n");
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  qc::capture_open(c, kTx, "CTX");
  EXPECT_EQ(captures(), (std::set<std::string>{"zrcCRX10.bin", "zrcCRX10.binFULL",
                                               "zrcCTX20.bin", "zrcCTX20.binFULL"}));
  conn_set_class(c, 200, 200, 2);
  uint8_t msg[12];
  ASSERT_EQ(msg_build(c, msg, sizeof msg, 200, 3, "abcd", 4), 12);
  std::memcpy(c->rx_buf, msg, sizeof msg);
  ASSERT_EQ(qc::queue_message(c, 12, 1, "udpsocket"), 0);  // FULL record, tag = class 2
  const uint8_t raw[3] = {9, 8, 7};
  qc::capture_full(c, kRx, -3, raw);
  qc::capture_full(c, kTx, 11, msg);
  qc::capture_close(c);

  std::vector<uint8_t> f = read_file("zrcCRX10.binFULL");
  ASSERT_EQ(f.size(), 20u + 11u);
  EXPECT_EQ(u16(f, 4), 2);   // tag
  EXPECT_EQ(u16(f, 6), 20);  // record length
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 8, f.begin() + 20), std::vector<uint8_t>(msg, msg + 12));
  EXPECT_EQ(u16(f, 24), 3);  // raw bytes: tag is their count
  EXPECT_EQ(u16(f, 26), 11);
  EXPECT_EQ(f[28], 9);
  EXPECT_EQ(f[30], 7);
  std::vector<uint8_t> t = read_file("zrcCTX20.binFULL");
  ASSERT_EQ(t.size(), 20u);
  EXPECT_EQ(u16(t, 4), 11);
  // The received capture holds event 1 (datagram) with the message's sequence.
  std::vector<uint8_t> r = read_file("zrcCRX10.bin");
  ASSERT_EQ(r.size(), 40u);
  EXPECT_EQ(u16(r, 2), 1);
  EXPECT_EQ(u32(r, 8), 1u);
  EXPECT_EQ(u32(r, 12), qc::le32(msg));
}

TEST_F(Scratch, EmptyCaptureLeavesNoFileAndItsNameIsReused) {
  write_ini("RECORD=1\nLOGALL=1\n");
  c = conn_alloc();
  qc::capture_open(c, kRx, "MRX");
  EXPECT_EQ(captures().size(), 2u);
  qc::capture_close(c);
  EXPECT_TRUE(captures().empty());
  qc::capture_open(c, kRx, "MRX");
  char name[64];
  qc::capture_slot_name(1, name, sizeof name);
  EXPECT_STREQ(name, "zrcMRX10.bin");
  qc::capture_close(c);
}

TEST_F(Scratch, SecondOpenOfADirectionClosesTheFirst) {
  write_ini("RECORD=1\nLOGALL=1\n");
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  qc::capture_event(c, kRx, 3, 0, 0, 0);
  qc::capture_open(c, kRx, "CRX");  // e.g. a connect without a disconnect before it
  EXPECT_EQ(+c->rx_capture_slot, 1u);
  EXPECT_EQ(read_file("zrcCRX10.bin").size(), 40u);  // written when it was closed
  qc::capture_close(c);
  EXPECT_EQ(captures(), std::set<std::string>{"zrcCRX10.bin"});  // the empty second went
}

TEST_F(Scratch, NinthCaptureIsSkipped) {
  write_ini("RECORD=1\n");
  std::vector<Connection*> cs;
  for (int i = 0; i < 9; ++i) {
    cs.push_back(conn_alloc());
    qc::capture_open(cs.back(), kRx, "VRX");
  }
  for (int i = 0; i < 8; ++i) EXPECT_EQ(+cs[i]->rx_capture_slot, uint32_t(i + 1));
  EXPECT_EQ(+cs[8]->rx_capture_slot, 0u);
  qc::capture_event(cs[8], kRx, 1, 1, 1, 1);  // nowhere to go
  qc::capture_event(cs[3], kRx, 1, 1, 1, 1);
  for (Connection* c : cs) qc::capture_close(c);
  EXPECT_EQ(captures(), std::set<std::string>{"zrcVRX40.bin"});
  for (Connection* c : cs) conn_free(c);
}

TEST_F(Scratch, FullBufferDropsLaterRecords) {
  write_ini("RECORD=1\n");  // 800000 bytes: a record fits while used + 40 < capacity
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  for (int i = 0; i < 20010; ++i) qc::capture_event(c, kRx, 2, uint32_t(i), 0, 0);
  qc::capture_close(c);
  std::vector<uint8_t> b = read_file("zrcCRX10.bin");
  ASSERT_EQ(b.size(), 19999u * 40u);
  EXPECT_EQ(u32(b, b.size() - 40 + 12), 19998u);
}

TEST_F(Scratch, AllNamesTakenGivesNoCapture) {
  write_ini("RECORD=1\n");
  for (int n = 0; n < 256; ++n) {
    std::ofstream("zrcCRX1" + std::to_string(n) + ".bin") << "x";
  }
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");
  EXPECT_EQ(+c->rx_capture_slot, 0u);
  std::remove("zrcCRX1200.bin");
  qc::capture_open(c, kRx, "CRX");  // the search starts over and finds the free name
  EXPECT_EQ(+c->rx_capture_slot, 1u);
  char name[64];
  qc::capture_slot_name(1, name, sizeof name);
  EXPECT_STREQ(name, "zrcCRX1200.bin");
  qc::capture_close(c);
}

TEST_F(Scratch, SelectTraceLine) {
  write_ini("WRITENOW=1\n");
  c = conn_alloc();
  qc::capture_open(c, kRx, "CRX");  // reads the options (RECORD 0: no capture)
  lpcap::TraceFile t;
  ASSERT_TRUE(t.ok());
  c->status = 2;
  qc::trace_select(c, 1, true, {true, false, true}, {false, true, false}, "C");
  qc::trace_select(c, 0, false, {false, false, false}, {true, true, true}, "S");
  EXPECT_EQ(t.text(), "\nC select: (2) 1 Conn in UDP in TCP out \n\nS select: (2) 0 \n");
  c->status = 0;
}

TEST(Clocks, MonotonicAndConsistent) {
  double us0 = qc::clock_us();
  uint32_t ms = qc::clock_ms();
  double us1 = qc::clock_us();
  EXPECT_GE(us1, us0);
  // Both count the same monotonic clock.
  uint32_t from_us = uint32_t(uint64_t(us0 / 1000.0));
  int32_t d = int32_t(ms - from_us);
  EXPECT_GE(d, 0);
  EXPECT_LT(d, 1000);
}

}  // namespace
