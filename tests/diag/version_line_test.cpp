// The configuration program's version line: only a version file that can be read adds
// it, and a Windows line end reaches the report as a plain one.
#include <gtest/gtest.h>

#include <string>

#include "diag/report.h"
#include "tests/support/temp_root.h"

namespace {

std::string report_head() {
  build_config_report();
  std::string r = config_report;
  return r.substr(0, r.find('*'));  // no system figures: the stars follow the version
}

TEST(VersionLine, UnreadableFileAddsNothingAndWindowsLineEndsAreCut) {
  TempRoot root, no_sys;  // no_sys: the figures cannot be read, so the line stays empty
  setenv("QUMEX_SYSROOT", no_sys.path().c_str(), 1);
  setenv("QUMEX_ROOT", root.path().c_str(), 1);
  root.mkdir("dev");
  root.mkdir("BIN/Tunecfg.");  // opens, but reading it fails
  EXPECT_EQ(report_head(), "");
  root.remove("BIN/Tunecfg.");
  ASSERT_TRUE(root.write("BIN/Tunecfg.", "Tunecfg 4.2.1\r\nsecond\r\n"));
  EXPECT_EQ(report_head(), "Version       : Tunecfg 4.2.1\n");
  ASSERT_TRUE(root.write("BIN/Tunecfg.", ""));
  EXPECT_EQ(report_head(), "Version       : ");
  unsetenv("QUMEX_SYSROOT");
}

}  // namespace
