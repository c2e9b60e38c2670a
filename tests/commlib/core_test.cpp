// The connection objects: the block in a caller's memory and the registry by index with
// its trace lines; and from transcripts (tests/golden/commlib_*.txt) the registry, message
// building, the receive queues, the log options and capture files, what an ethernet
// worker makes of its input, the serial reader's framing passes, the modem-line calls and
// the handshake over the simulated cable.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/conn_script.h"

using lpcap::Seq;
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

TEST(ConnScript, RegistryQueuesAndFraming) {
  for (const char* name : {"commlib_queues.txt", "commlib_framing.txt", "commlib_eth_rules.txt"})
    EXPECT_TRUE(connscript::run_script(name));
}

TEST(ConnScript, ModemLinesAndHandshakeOverTheCable) { EXPECT_TRUE(connscript::run_script("commlib_modem.txt")); }

// In a scratch directory: the options and captures live in the current directory.
TEST(ConnScript, OptionsAndCaptureFiles) {
  lpcap::ScratchDir dir(nullptr);
  EXPECT_TRUE(connscript::run_script("commlib_capture.txt"));
}

}  // namespace
