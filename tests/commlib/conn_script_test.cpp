// The connection objects driven from transcripts (tests/golden/commlib_*.txt): the
// registry, message building, the receive queues, the log options and capture files,
// what an ethernet worker makes of its input, the serial reader's framing passes and
// the modem-line calls over the simulated cable.
#include <gtest/gtest.h>

#include "tests/commlib/conn_script.h"
#include "tests/support/golden.h"

namespace {

void run_script(const char* name) {
  connscript::Runner r;
  EXPECT_TRUE(script_match(name, std::ref(r)));
  for (Connection* c : r.o)
    if (c && conn_is_valid(c)) serial_close(c), conn_free(c);
  if (r.cable > 0) sim_cable_destroy(r.cable);
}

TEST(ConnScript, RegistryQueuesAndFraming) {
  for (const char* name : {"commlib_queues.txt", "commlib_framing.txt", "commlib_eth_rules.txt"}) run_script(name);
}

TEST(ConnScript, ModemLinesOverTheCable) { run_script("commlib_modem.txt"); }

// In a scratch directory: the options and captures live in the current directory.
TEST(ConnScript, OptionsAndCaptureFiles) {
  lpcap::ScratchDir dir(nullptr);
  run_script("commlib_capture.txt");
}

}  // namespace
