// The serial transport's capture records: a client connection over a pseudo-terminal
// with RECORD=1, read back from the files written at close. Its own executable, since
// it changes the working directory where the capture files go.

#include <string>
#include <vector>

#include "tests/commlib/capture_reader.h"
#include "tests/commlib/serial/serial_test_util.h"

namespace {

using lpcap::find_event;

TEST(SerialCapture, OpenReadDeliverWriteAndCloseAreRecorded) {
  PtyRoot root;
  ASSERT_TRUE(root.ok());
  const int master = root.add_com(3);
  ASSERT_GE(master, 0);
  lpcap::ScratchDir scratch("RECORD=1\n");  // a fresh folder for the capture files
  ASSERT_FALSE(scratch.path().empty());

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
  const auto failed = lpcap::read_capture("zrcMRX10.bin");
  const auto rx = lpcap::read_capture("zrcMRX11.bin");
  const auto tx = lpcap::read_capture("zrcMTX20.bin");
  ASSERT_FALSE(rx.empty());
  ASSERT_FALSE(tx.empty());
  const uint32_t any = 0xFFFFFFFF, head = qc::le32(m.data()), size = uint32_t(m.size());
  struct Want {
    const std::vector<lpcap::Record>* file;
    uint16_t code;
    uint32_t first, third;  // any: not checked
  };
  const Want wants[] = {
      {&failed, 310, any, 0x4D},  // 'M', then the text's end
      {&rx, 324, any, any},     {&rx, 312, 3, any},  {&rx, 300, size, head},
      {&rx, 319, 0, 0x85},  // bytes are recorded one by one while a capture is open
      {&rx, 321, 0, size},      {&rx, 315, any, any}, {&rx, 313, 3, any},
      {&tx, 309, size, head},
  };
  for (const Want& w : wants) {
    SCOPED_TRACE(w.code);
    const lpcap::Record* r = find_event(*w.file, w.code);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(w.first == any || r->first == w.first) << r->first;
    EXPECT_TRUE(w.third == any || r->third == w.third) << r->third;
  }
}

}  // namespace
