// The connection objects from transcripts (tests/golden/commlib_*.txt): the block in a
// caller's memory, the registry with its index table and trace lines, message
// building, the receive queues, the log options and capture files, what an ethernet
// worker makes of its input, the serial reader's framing passes, the modem-line calls and
// the handshake over the simulated cable.
#include <gtest/gtest.h>

#include "tests/commlib/conn_script.h"

namespace {

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
