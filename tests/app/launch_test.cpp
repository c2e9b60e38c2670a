#include "platform/launch.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/temp_root.h"

namespace {

bool wait_for_file(const std::string& path, std::string* content) {
  for (int i = 0; i < 600; ++i) {
    std::ifstream in(path);
    if (in && std::getline(in, *content)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(Launch, StartsDetachedWithoutWaiting) {
  TempRoot root;
  std::string out = root.path() + "/ran";
  std::string script = "sleep 3; echo $PPID > " + out + ".tmp; mv " + out + ".tmp " + out;
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  ASSERT_EQ(plat_launch_detached(argv), 0);
  // Returned before the tool finished its sleep.
  EXPECT_FALSE(std::ifstream(out).good());
  std::string parent;
  ASSERT_TRUE(wait_for_file(out, &parent));
  // Re-parented away from us: the tool is nobody's child here.
  EXPECT_NE(parent, std::to_string(getpid()));
}

TEST(Launch, MissingToolIsReportedAndNothingElse) {
  const char* argv[] = {"lp-no-such-tool-here", nullptr};
  EXPECT_EQ(plat_launch_detached(argv), ENOENT);
  const char* empty[] = {nullptr};
  EXPECT_EQ(plat_launch_detached(empty), EINVAL);
  EXPECT_EQ(plat_launch_detached(nullptr), EINVAL);
  EXPECT_EQ(plat_launch_tool(99, "start cmd.exe"), EINVAL);
}

}  // namespace
