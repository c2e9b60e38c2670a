#include "app/panel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class Panel : public ::testing::Test {
 protected:
  void SetUp() override { panel_clear(); }
};

TEST_F(Panel, AppendsPiecesWithoutAddingAnything) {
  EXPECT_STREQ(report_text, "");
  panel_appendf("%d", 1);
  panel_appendf("%s\n", "x");
  EXPECT_STREQ(report_text, "1x\n");
  panel_append("more");
  EXPECT_STREQ(report_text, "1x\nmore");
  panel_append("");
  EXPECT_STREQ(report_text, "1x\nmore");
  panel_append(nullptr);
  EXPECT_STREQ(report_text, "");
  panel_append("a");
  panel_clear();
  EXPECT_STREQ(report_text, "");
}

TEST_F(Panel, PieceOf299IsWholeLongerIsCut) {
  std::string s299(299, 'p');
  panel_appendf("%s", s299.c_str());
  EXPECT_EQ(std::string(report_text), s299);
  panel_clear();
  std::string s400(400, 'q');
  panel_appendf("<%s>", s400.c_str());
  EXPECT_EQ(std::strlen(report_text), 299u);
  EXPECT_EQ(report_text[0], '<');
  EXPECT_EQ(report_text[298], 'q');
}

TEST_F(Panel, ReportKeepsWhatFitsAndStaysTerminated) {
  std::string chunk(1000, 'a');
  for (int i = 0; i < 9; ++i) panel_append(chunk.c_str());
  panel_append(std::string(998, 'b').c_str());
  EXPECT_EQ(std::strlen(report_text), 9998u);
  panel_append("xyz");
  EXPECT_EQ(std::strlen(report_text), 9999u);
  EXPECT_EQ(report_text[9998], 'x');
  panel_append("more");
  panel_appendf("%s", "more");
  EXPECT_EQ(std::strlen(report_text), 9999u);
  EXPECT_EQ(report_text[REPORT_TEXT_SIZE - 1], '\0');
  panel_append(nullptr);
  EXPECT_STREQ(report_text, "");
}

TEST_F(Panel, ShowWithoutDisplayDoesNothing) {
  panel_attach(nullptr);
  panel_append("kept");
  panel_show();
  EXPECT_STREQ(report_text, "kept");
}

}  // namespace
