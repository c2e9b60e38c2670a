// Message building and the receive queues.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

namespace {

// Puts a message of `len` bytes with the given sequence into rx_buf and queues it.
int arrive(Connection* c, uint8_t type, uint8_t command, int len, uint32_t seq, int channel,
           uint8_t fill = 0) {
  std::memset(c->rx_buf, fill, qc::kRxBufSize);
  c->rx_buf[0] = type;
  c->rx_buf[1] = command;
  c->rx_buf[2] = uint8_t(len);
  c->rx_buf[3] = uint8_t(len >> 8);
  for (int i = 0; i < 4; ++i) c->rx_buf[len - 4 + i] = uint8_t(seq >> (8 * i));
  return qc::queue_message(c, len, channel, channel ? "udpsocket" : "tcpsocket");
}

uint32_t seq_of(const uint8_t* m) { return qc::le32(m + qc::le16(m + 2) - 4); }

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    c = conn_alloc();
    ASSERT_NE(c, nullptr);
  }
  void TearDown() override { conn_free(c); }
  Connection* c = nullptr;
  uint8_t buf[1600] = {};
};

TEST_F(Queues, MsgBuildLayoutAndTwoCounters) {
  ASSERT_EQ(msg_build(c, buf, sizeof buf, 224, 4, nullptr, 0), 8);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{224, 4, 8, 0, 1, 0, 0, 0}));
  EXPECT_EQ(buf[8], 0);  // rest of the buffer zeroed
  ASSERT_EQ(msg_build(c, buf, sizeof buf, 160, 1, "xyz", 3), 11);  // class 1
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 4, 3), "xyz");
  EXPECT_EQ(qc::le32(buf + 7), 1u);  // first datagram sequence
  EXPECT_EQ(+c->tx_seq_stream, 1u);   // stream counter untouched
  ASSERT_EQ(msg_build(c, buf, sizeof buf, 128, 0, "ab", 2), 10);
  EXPECT_EQ(qc::le32(buf + 6), 2u);
  EXPECT_EQ(+c->tx_seq_datagram, 1u);

  std::memset(buf, 0xff, 20);
  EXPECT_EQ(msg_build(c, buf, 10, 128, 0, "abc", 3), 0);  // needs 11
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10), std::vector<uint8_t>(10, 0));
  EXPECT_EQ(buf[10], 0xff);  // only the given size is touched
  EXPECT_EQ(+c->tx_seq_stream, 2u);
  EXPECT_EQ(msg_build(nullptr, buf, sizeof buf, 128, 0, nullptr, 0), 0);
  EXPECT_EQ(msg_build(c, buf, sizeof buf, 128, 0, nullptr, -1), 0);
}

TEST_F(Queues, TakenBySequenceNotArrival) {
  ASSERT_EQ(arrive(c, 130, 1, 12, 9, 0), 0);
  ASSERT_EQ(arrive(c, 131, 2, 12, 3, 0), 0);
  ASSERT_EQ(arrive(c, 132, 3, 12, 0xfffffff0u, 0), 0);  // unsigned comparison
  EXPECT_EQ(rx_status(c, 2), 131);  // type of the oldest stream message
  EXPECT_EQ(rx_status(c, 3), 4);
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 12);
  EXPECT_EQ(seq_of(buf), 3u);
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 12);
  EXPECT_EQ(seq_of(buf), 9u);
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 12);
  EXPECT_EQ(seq_of(buf), 0xfffffff0u);
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 0);
}

TEST_F(Queues, NinetySeventhIsDroppedAndCounted) {
  for (uint32_t s = 1; s <= 96; ++s) ASSERT_EQ(arrive(c, 140, 0, 10, s, 1), 0);
  EXPECT_EQ(arrive(c, 140, 0, 10, 97, 1), 1);
  EXPECT_EQ(+c->rx_dropped, 1u);
  EXPECT_EQ(+c->queue[1].count, 96);
  EXPECT_EQ(+c->queue[0].count, 0);
  for (uint32_t s = 1; s <= 96; ++s) {
    ASSERT_EQ(rx_receive(c, 1, buf, sizeof buf), 10);
    EXPECT_EQ(seq_of(buf), s);
  }
  EXPECT_EQ(rx_receive(c, 1, buf, sizeof buf), 0);
  // Freed slots are reused from the lowest.
  ASSERT_EQ(arrive(c, 140, 0, 10, 200, 1), 0);
  EXPECT_EQ(+c->queue[1].slot_ref[0], 1u);
  EXPECT_EQ(+c->queue[1].slot_ref[1], 0u);
}

TEST_F(Queues, LatestOnlyClassReplacesOnlyWhileConnected) {
  conn_set_class(c, 150, 150, 2);
  for (uint32_t s = 1; s <= 10; ++s) arrive(c, 150, 7, 12, s, 1);
  EXPECT_EQ(+c->queue[1].count, 10);  // not connected: all kept
  qc::queues_clear(c);

  c->status = 3;
  for (uint32_t s = 1; s <= 10; ++s) arrive(c, 150, 7, 12, s, 1, uint8_t(s));
  arrive(c, 150, 8, 12, 11, 1);  // another command: its own slot
  EXPECT_EQ(+c->queue[1].count, 2);
  ASSERT_EQ(rx_receive(c, 1, buf, sizeof buf), 12);
  EXPECT_EQ(seq_of(buf), 10u);  // the newest copy
  EXPECT_EQ(buf[4], 10);
  ASSERT_EQ(rx_receive(c, 1, buf, sizeof buf), 12);
  EXPECT_EQ(buf[1], 8);
  EXPECT_EQ(+c->rx_dropped, 0u);
  c->status = 0;
}

TEST_F(Queues, SequenceGapsPerChannel) {
  arrive(c, 130, 0, 8, 5, 0);  // first: never a gap
  arrive(c, 130, 0, 8, 7, 0);
  arrive(c, 130, 0, 8, 8, 0);
  arrive(c, 160, 0, 8, 1, 2);  // any non-zero channel is the datagram channel
  arrive(c, 160, 0, 8, 2, 1);
  EXPECT_EQ(+c->seq_gaps[0], 1u);
  EXPECT_EQ(+c->seq_gaps[1], 0u);
  EXPECT_EQ(+c->last_rx_seq[0], 8u);
  EXPECT_EQ(+c->last_rx_seq[1], 2u);
  qc::queues_clear(c);
  EXPECT_EQ(+c->last_rx_seq[0], 0u);
  EXPECT_EQ(+c->seq_gaps[0], 1u);  // kept
  EXPECT_EQ(rx_status(c, 0), 0);
  arrive(c, 130, 0, 8, 100, 0);  // after a clear the next is a first message again
  EXPECT_EQ(+c->seq_gaps[0], 1u);
}

TEST_F(Queues, SelectorsAndStatus) {
  EXPECT_EQ(rx_status(c, 0), 0);
  arrive(c, 160, 0, 8, 1, 1);  // datagram, older sequence
  EXPECT_EQ(rx_status(c, 0), 1);
  EXPECT_EQ(rx_status(c, 1), 0);
  EXPECT_EQ(rx_status(c, 2), 0);
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 0);  // stream only
  arrive(c, 133, 0, 9, 50, 0);
  EXPECT_EQ(rx_status(c, 1), 1);
  EXPECT_EQ(rx_status(c, 2), 133);
  EXPECT_EQ(rx_status(c, 3), 1);
  EXPECT_EQ(rx_status(c, 4), 0);
  EXPECT_EQ(rx_status(c, -1), 0);
  EXPECT_EQ(rx_status(nullptr, 0), 0);
  ASSERT_EQ(rx_receive(c, -1, buf, sizeof buf), 9);  // stream first while one waits
  EXPECT_EQ(buf[0], 133);
  ASSERT_EQ(rx_receive(c, -1, buf, sizeof buf), 8);  // then the datagram
  EXPECT_EQ(buf[0], 160);
  arrive(c, 161, 0, 8, 2, 1);
  EXPECT_EQ(rx_receive(c, 1, buf, 0), 0);  // no room: nothing taken
  EXPECT_EQ(rx_receive(nullptr, 1, buf, sizeof buf), 0);
  ASSERT_EQ(rx_receive(c, 5, buf, sizeof buf), 8);
  EXPECT_EQ(buf[0], 161);
  EXPECT_EQ(rx_status(c, 0), 0);
}

TEST_F(Queues, ShortBufferTakesTheHeadAndTheMessageIsGone) {
  arrive(c, 135, 0, 20, 1, 0, 0x5a);
  uint8_t small[16];
  std::memset(small, 0xee, sizeof small);
  EXPECT_EQ(rx_receive(c, 0, small, 10), 10);
  EXPECT_EQ(small[0], 135);
  EXPECT_EQ(small[9], 0x5a);
  EXPECT_EQ(small[10], 0xee);
  EXPECT_EQ(rx_status(c, 0), 0);
}

TEST_F(Queues, OversizedMessageIsDroppedAndCounted) {
  EXPECT_EQ(arrive(c, 140, 0, 1601, 1, 1), 1);
  EXPECT_EQ(+c->rx_dropped, 1u);
  EXPECT_EQ(arrive(c, 140, 0, 1600, 2, 1), 0);
  ASSERT_EQ(rx_receive(c, 1, buf, sizeof buf), 1600);
  EXPECT_EQ(seq_of(buf), 2u);
}

TEST_F(Queues, SerialRawBytesServedInPieces) {
  c->serial_raw = 1;
  EXPECT_EQ(rx_receive(c, 0, buf, sizeof buf), 0);
  for (int i = 0; i < 10; ++i) c->serial_raw_buf[i] = uint8_t(i + 1);
  c->serial_raw_count = 10;
  arrive(c, 130, 0, 8, 1, 0);  // messages wait while raw bytes are served
  EXPECT_EQ(rx_receive(c, 0, buf, 4), 4);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(+c->serial_raw_count, 6);
  EXPECT_EQ(+c->serial_raw_buf[0], 5);
  EXPECT_EQ(rx_receive(c, -1, buf, sizeof buf), 6);
  EXPECT_EQ(buf[5], 10);
  EXPECT_EQ(+c->serial_raw_count, 0);
  EXPECT_EQ(rx_receive(c, -1, buf, sizeof buf), 0);
  c->serial_raw = 0;
  EXPECT_EQ(rx_receive(c, -1, buf, sizeof buf), 8);
  // Ethernet connections never serve raw bytes.
  c->transport = 1;
  c->serial_raw = 1;
  c->serial_raw_count = 3;
  arrive(c, 130, 0, 8, 2, 0);
  EXPECT_EQ(rx_receive(c, -1, buf, sizeof buf), 8);
}

TEST_F(Queues, TraceLines) {
  lpcap::TraceFile t;
  ASSERT_TRUE(t.ok());
  arrive(c, 130, 0, 8, 1, 0);
  arrive(c, 160, 0, 8, 1, 1);
  c->is_server = 1;
  rx_receive(c, 1, buf, sizeof buf);
  EXPECT_EQ(t.text(),
            "c queued 0 (count = 1) from tcpsocket\nc queued 0 (count = 1) from udpsocket\n"
            "s unqueued 0\n");
}

}  // namespace
