// The console harness as a program: driven through pipes, over TCP loopback inside a
// network namespace of the test's own and over a pair of joined pseudo-terminals.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "commlib/harness/harness.h"
#include "tests/tools/child_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kHarness = HARNESS_PATH;
const std::string kPrompt = "\nwaiting for user input :";

std::string host_name() {
  char h[256] = "";
  gethostname(h, sizeof h);
  return std::string(h).substr(0, 32);
}

TEST(Harness, WithoutArgumentsAsksForTheSlaveAndFails) {
  ChildProcess p;
  ASSERT_TRUE(p.start({kHarness}));
  EXPECT_EQ(p.finish(), 4);
  EXPECT_EQ(p.output(),
            "debug messages enabled\nI am " + host_name() + "\nneed   s/e and id of slave\n");
}

TEST(Harness, DumpsFourBytesToALine) {
  char* text = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&text, &len);
  ASSERT_NE(out, nullptr);
  const unsigned char nine[9] = {0x99, 0, 8, 0, 1, 0, 0, 0, 0xff};
  harness_dump(out, nine, 9);
  harness_dump(out, nine, 1);
  std::fclose(out);
  EXPECT_EQ(std::string(text, len),
            "received 9 bytes\n 99  00  08  00 \n 01  00  00  00 \n ff \n"
            "received 1 bytes\n 99 \n");
  std::free(text);
}

// A serial slave on a port that does not exist reports the error, waits anyway, and
// leaves at x with a disconnect.
TEST(Harness, SerialSlaveReportsAMissingPortAndGoesOn) {
  fs::path root = fs::temp_directory_path() / ("qcomm-harness-" + std::to_string(getpid()));
  fs::create_directories(root / "dev");
  ChildProcess p;
  ASSERT_TRUE(p.start({kHarness, "s"}, {"QUMEX_ROOT=" + root.string()}));
  size_t at = p.wait_for("slave make connection error ");
  ASSERT_NE(at, std::string::npos) << p.output();
  EXPECT_NE(p.wait_for("slave waiting\n" + kPrompt, at), std::string::npos);
  p.send("ur");
  EXPECT_NE(p.wait_for("\nReset initiated\nSlave restart connection error : ", at),
            std::string::npos);
  p.send("x");
  EXPECT_EQ(p.finish(), 0);
  EXPECT_NE(p.output().find("\nsent U" + kPrompt), std::string::npos);
  EXPECT_EQ(p.output().substr(p.output().size() - 14), "Disconnecting\n");
  fs::remove_all(root);
}

}  // namespace
