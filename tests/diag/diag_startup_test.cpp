// "linkprobe STARTUPTEST" as a process: no window, the exit code tells whether the
// amplifier is there, and ampstatus.txt in the current folder holds a failed report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "diag_helpers.h"

namespace {

using diagtest::run_program;
using diagtest::TempRoot;

const char* kLinkprobe = LP_BINARY_DIR "/app/linkprobe";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok() && sys_.ok() && cwd_.ok());
    setenv("QUMEX_ROOT", root_.path().c_str(), 1);
    setenv("QUMEX_SYSROOT", sys_.path().c_str(), 1);
    // No X server: a window, if one were made, could not open.
    unsetenv("DISPLAY");
    ASSERT_TRUE(root_.write("dev/.keep", ""));
    ASSERT_TRUE(root_.write("PREFERENCES/SETTINGS/DEVS.NIN", "Input_Source=TTUSB\n"));
    ASSERT_TRUE(sys_.write("sys/bus/usb/devices/.keep", ""));
  }
  void plug_ttusb() {
    const std::string d = "sys/bus/usb/devices/1-1/";
    ASSERT_TRUE(sys_.write(d + "idVendor", "0403\n"));
    ASSERT_TRUE(sys_.write(d + "idProduct", "ff20\n"));
    ASSERT_TRUE(sys_.write(d + "product", "TTUSB\n"));
  }
  int run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kLinkprobe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    return run_program(argv, cwd_.path(), &out);
  }
  TempRoot root_, sys_, cwd_;
};

const char* kFailedReport =
    "\nExamining TTUSB\nChecking other amplifiers\nUnhandled device : TTUSB\n\nDone\n";

TEST_F(StartupTest, MissingAmplifierLeavesItsReport) {
  EXPECT_EQ(run({"STARTUPTEST"}), 1);
  EXPECT_EQ(cwd_.read("ampstatus.txt"), kFailedReport);
  // Found in a longer word, after other arguments, it still selects the test.
  ASSERT_TRUE(cwd_.write("ampstatus.txt", "old report of another amplifier\n"));
  EXPECT_EQ(run({"STARTUPDIR=/opt/qumex/BIN/", "xSTARTUPTESTx"}), 1);
  EXPECT_EQ(cwd_.read("ampstatus.txt"), kFailedReport);
}

TEST_F(StartupTest, FoundAmplifierRemovesAnOldReport) {
  plug_ttusb();
  ASSERT_TRUE(cwd_.write("ampstatus.txt", kFailedReport));
  EXPECT_EQ(run({"STARTUPTEST"}), 0);
  EXPECT_FALSE(cwd_.exists("ampstatus.txt"));
  EXPECT_EQ(run({"STARTUPTEST"}), 0);
  EXPECT_FALSE(cwd_.exists("ampstatus.txt"));
}

}  // namespace
