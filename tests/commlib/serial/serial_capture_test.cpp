// The serial transport's capture records: a client connection over a pseudo-terminal
// with RECORD=1, read back from the files written at close. Its own executable, since
// it changes the working directory where the capture files go.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/commlib/serial/serial_test_util.h"

namespace {

struct Record {
  uint16_t code;
  uint32_t first, second, third;
};

std::vector<Record> read_events(const std::string& path) {
  std::vector<Record> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t r[40];
  while (std::fread(r, 1, sizeof r, f) == sizeof r) {
    if (qc::le16(r) != 0) continue;
    out.push_back({qc::le16(r + 2), qc::le32(r + 12), qc::le32(r + 8), qc::le32(r + 16)});
  }
  std::fclose(f);
  return out;
}

const Record* find(const std::vector<Record>& v, uint16_t code) {
  for (const auto& r : v)
    if (r.code == code) return &r;
  return nullptr;
}

TEST(SerialCapture, OpenReadDeliverWriteAndCloseAreRecorded) {
  PtyRoot root;
  ASSERT_TRUE(root.ok());
  const int master = root.add_com(3);
  ASSERT_GE(master, 0);
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(root.dev_dir()), 0);  // a fresh folder for the capture files
  {
    FILE* ini = std::fopen("ZRCLOG.INI", "w");
    ASSERT_NE(ini, nullptr);
    std::fputs("RECORD=1\n", ini);
    std::fclose(ini);
  }

  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(lptest::open_serial(c, "xCOM", 9600), 2);  // 310 with "M" and what follows
  serial_close(c);
  ASSERT_EQ(lptest::open_serial(c, "COM3", 9600), 0);
  auto m = lptest::message(0x85, 1, 4, 1);
  lptest::feed(master, m);
  ASSERT_TRUE(lptest::wait_input(c, int(m.size())));
  EXPECT_EQ(serial_poll(c), 1);
  EXPECT_EQ(serial_write(c, m.data(), int(m.size())), 0);
  EXPECT_GT(serial_dtr_op(c, 2), -1);
  serial_close(c);
  conn_free(c);

  // The failed open left its own capture; the next took the next file name. The
  // failed open sent nothing, so its empty transmit capture left no file.
  const auto failed = read_events("zrcMRX10.bin");
  const auto rx = read_events("zrcMRX11.bin");
  const auto tx = read_events("zrcMTX20.bin");
  ASSERT_FALSE(rx.empty());
  ASSERT_FALSE(tx.empty());
  const Record* r = find(failed, 310);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->third, 0x4Du);  // 'M', then the text's end
  ASSERT_NE(find(rx, 324), nullptr);
  r = find(rx, 312);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, 3u);
  r = find(rx, 300);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, m.size());
  EXPECT_EQ(r->third, qc::le32(m.data()));
  r = find(rx, 319);  // bytes are recorded one by one while a capture is open
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, 0u);
  EXPECT_EQ(r->third, 0x85u);
  r = find(rx, 321);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, 0u);
  EXPECT_EQ(r->third, m.size());
  ASSERT_NE(find(rx, 315), nullptr);
  r = find(rx, 313);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, 3u);
  r = find(tx, 309);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->first, m.size());
  EXPECT_EQ(r->third, qc::le32(m.data()));

  for (const char* f : {"zrcMRX10.bin", "zrcMRX11.bin", "zrcMTX20.bin", "ZRCLOG.INI"}) unlink(f);
  EXPECT_EQ(chdir(old_cwd), 0);
}

}  // namespace
