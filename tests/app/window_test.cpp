// The real program on a private X server: title, colours, exit by button and by close box.
#include <gtest/gtest.h>

#include <string>

#include "platform/version_block.h"
#include "x_program.h"

namespace {

std::string expected_title() {
  std::string pb = LP_EXPECTED_PRIVATE_BUILD, sb = LP_EXPECTED_SPECIAL_BUILD;
  std::string t = "Qumex Linkprobe " + (pb.empty() ? "" : "PB=" + pb);
  if (!sb.empty()) t += (pb.empty() ? "SB=" : "    SB=") + sb;
  if (pb.empty() && sb.empty()) t += "Unk";
  char when[64];
  EXPECT_EQ(plat_file_mtime_text(kProgram.c_str(), when, sizeof when), 0);
  return t + "  " + when;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x.ok()) << "Xvfb did not start";
    root.copy_from(std::string(LP_SOURCE_DIR) + "/tests/fixtures/root");
  }
  Xvfb x;
  TempRoot root;
};

TEST_F(Window, TitleScreenshotAndDoneButton) {
  Running p({kProgram, "-geometry", "+0+0", "STARTUPDIR=" + root.path() + "/BIN/"});
  ASSERT_TRUE(p.started());
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());
  // The title ends in the time's line end; xdotool adds one of its own.
  EXPECT_EQ(run_shell("xdotool getwindowname " + id), expected_title() + "\n");

  usleep(500000);  // a moment to paint
  shot("root", "main_window.png");
  // Colours of the layout, sampled inside each coloured widget.
  std::string pic = shot(id, "main_window_only.png");
  const struct { const char *xy, *rgb; } samples[] = {
      {"35,245", "srgb(255,218,255)"},   // address field, 254
      {"345,385", "srgb(255,182,63)"},   // "Try setting IP address", 133
      {"415,245", "srgb(255,255,127)"},  // "Start Device Manager", 175
      {"415,290", "srgb(63,182,255)"},   // "Start Network Connections", 229
      {"105,465", "srgb(152,168,168)"},  // "Done (Exit)", 19
  };
  for (const auto& s : samples)
    EXPECT_EQ(run_shell("convert " + pic + " -format '%[pixel:p{" + s.xy + "}]' info:"), s.rgb) << s.xy;

  // No action button ends the program: only "Done (Exit)" and the close box do.
  for (const char* xy : {"172 280", "172 308", "172 340", "172 370", "172 398"}) click(id, xy);
  EXPECT_EQ(p.wait_exit(1), -1);
  EXPECT_EQ(run_shell("xdotool search --onlyvisible --name '^Qumex Linkprobe'"), id + "\n");

  click(id, "290 472");
  EXPECT_EQ(p.wait_exit(60), 0);
}

TEST_F(Window, CloseBoxEndsLikeDone) {
  Running p({kProgram, "-geometry", "+0+0"});
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());
  int st = -1;
  run_shell(std::string(WM_DELETE_HELPER) + " " + id, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(p.wait_exit(60), 0);
}

TEST_F(Window, ResizedWindowScalesItsWidgets) {
  Running p({kProgram, "-geometry", "+0+0"});
  std::string id = visible_window("^Qumex Linkprobe");
  ASSERT_FALSE(id.empty());
  run_shell("xdotool windowsize --sync " + id + " 898 745");
  usleep(500000);
  shot("root", "main_window_resized.png");
  click(id, "435 708");  // "Done (Exit)" moved with the window: 1.5 times its old place
  EXPECT_EQ(p.wait_exit(60), 0);
}

}  // namespace
