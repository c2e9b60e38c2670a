// panel_show against a real text display on a private X server (the display
// measures text as soon as it gets a buffer).
// GoogleTest first: the X headers behind FLTK define macros that clash with it.
#include <gtest/gtest.h>

#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Window.H>

#include <string>

#include "app/panel.h"
#include "tests/support/xvfb.h"

namespace {

std::string shown(Fl_Text_Display* d) {
  char* t = d->buffer()->text();
  std::string s(t);
  free(t);
  return s;
}

// One test: the buffer is made once per process and then kept.
TEST(PanelShow, CreatesBufferOnceThenReplaces) {
  Xvfb x;
  ASSERT_TRUE(x.ok());
  Fl_Window win(599, 497);
  Fl_Text_Display display(25, 10, 550, 220);
  win.end();
  panel_attach(&display);
  EXPECT_EQ(display.buffer(), nullptr);

  panel_clear();
  panel_show();
  ASSERT_NE(display.buffer(), nullptr);
  Fl_Text_Buffer* first = display.buffer();
  EXPECT_EQ(shown(&display), "");

  panel_append("COMM PORTS found(NONE)\n");
  EXPECT_EQ(shown(&display), "");  // nothing changes before the next show
  panel_show();
  EXPECT_EQ(display.buffer(), first);
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\n");

  panel_append("second\n");
  panel_show();
  panel_show();
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\nsecond\n");

  panel_clear();
  EXPECT_EQ(shown(&display), "COMM PORTS found(NONE)\nsecond\n");
  panel_show();
  EXPECT_EQ(shown(&display), "");

  std::string big(REPORT_TEXT_SIZE + 50, 'z');
  panel_append(big.c_str());
  panel_show();
  EXPECT_EQ(display.buffer()->length(), 9999);
  panel_attach(nullptr);
}

}  // namespace
