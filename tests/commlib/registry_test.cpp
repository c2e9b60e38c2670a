// Connection block layout, the registry, the by-index table and their trace lines.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "commlib/core.h"
#include "tests/commlib/capture_reader.h"

namespace {

std::string hex(const void* p) {
  char b[32];
  std::snprintf(b, sizeof b, "%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return b;
}

TEST(ConnLayout, SizeAndPublicOffsets) {
  EXPECT_EQ(conn_object_size(), 322355);
  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  // Values written through the struct are found at the public offsets and accessors.
  c->status = -2;
  c->rx_dropped = 0x01020304u;
  conn_set_serial_raw(c, 2);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(c);
  int16_t status;
  uint32_t dropped;
  uint16_t raw;
  std::memcpy(&status, b + QCOMM_OFFSET_STATUS, 2);
  std::memcpy(&dropped, b + QCOMM_OFFSET_RX_DROPPED, 4);
  std::memcpy(&raw, b + QCOMM_OFFSET_SERIAL_RAW, 2);
  EXPECT_EQ(status, -2);
  EXPECT_EQ(dropped, 0x01020304u);
  EXPECT_EQ(raw, 2);
  EXPECT_EQ(conn_get_status(c), -2);
  EXPECT_EQ(conn_get_rx_dropped(c), 0x01020304u);
  EXPECT_EQ(conn_get_serial_raw(c), 2);
  c->status = 0;
  conn_free(c);
  EXPECT_EQ(conn_get_status(nullptr), 0);
}

TEST(ConnLayout, FreshObjectIsZeroExceptClassesAndCapacities) {
  std::vector<uint8_t> block(qc::kObjectSize, 0xa5);
  Connection* c = conn_init_buffer(block.data(), int(block.size()));
  ASSERT_EQ(c, reinterpret_cast<Connection*>(block.data()));
  for (int t = 0; t < 256; ++t) {
    int want = ((t >= 160 && t <= 175) || t == 239) ? 1 : 0;
    EXPECT_EQ(+c->type_class[t], want) << "type " << t;
  }
  EXPECT_EQ(+c->queue[0].capacity, 153608u);
  EXPECT_EQ(+c->queue[1].capacity, 153608u);
  EXPECT_EQ(+c->user_buffer, 1);
  // Every other byte is zero: compare with a block built by hand.
  std::vector<uint8_t> want(qc::kObjectSize, 0);
  Connection* w = reinterpret_cast<Connection*>(want.data());
  std::memcpy(w->type_class, c->type_class, 256);
  w->queue[0].capacity = w->queue[1].capacity = 153608u;
  w->user_buffer = 1;
  EXPECT_EQ(block, want);
  conn_free(c);
}

TEST(ConnLayout, CallerBlockSurvivesFreeAndInitialisesAgain) {
  std::vector<uint8_t> block(qc::kObjectSize + 7);
  EXPECT_EQ(conn_init_buffer(nullptr, int(block.size())), nullptr);
  EXPECT_EQ(conn_init_buffer(block.data(), int(qc::kObjectSize) - 1), nullptr);
  int before = qc::live_object_count();
  Connection* c = conn_init_buffer(block.data(), int(block.size()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(conn_is_valid(c), 1);
  EXPECT_EQ(qc::live_object_count(), before + 1);
  conn_free(c);
  EXPECT_EQ(conn_is_valid(c), 0);
  EXPECT_EQ(qc::live_object_count(), before);
  // Still the caller's memory (ASan would flag a freed block here).
  c->status = 3;
  EXPECT_EQ(conn_init_buffer(block.data(), int(block.size())), c);
  EXPECT_EQ(+c->status, 0);
  EXPECT_EQ(conn_is_valid(c), 1);
  conn_free(c);
}

TEST(Registry, HolesFirstHighestCounterAndSeventeenth) {
  EXPECT_EQ(conn_is_valid(nullptr), 0);
  conn_free(nullptr);  // ignored
  std::vector<Connection*> objs;
  for (int i = 0; i < 16; ++i) {
    objs.push_back(conn_alloc());
    ASSERT_NE(objs.back(), nullptr);
    EXPECT_EQ(qc::conn_registry_index(objs.back()), i);
  }
  // The 17th is made but not registered, so every operation refuses it.
  Connection* extra = conn_alloc();
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(conn_is_valid(extra), 0);
  uint8_t msg[16];
  EXPECT_EQ(msg_build(extra, msg, sizeof msg, 224, 4, nullptr, 0), 0);
  conn_set_class(extra, 0, 255, 4);
  EXPECT_EQ(+extra->type_class[0], 0);
  conn_free(extra);  // still released (ASan checks the leak)

  // A hole in the middle is filled first.
  conn_free(objs[5]);
  objs[5] = conn_alloc();
  EXPECT_EQ(qc::conn_registry_index(objs[5]), 5);

  // With holes below the highest entry, new objects fill them before the table grows.
  conn_free(objs[14]);
  conn_free(objs[15]);  // highest 15 -> 14
  objs[15] = conn_alloc();  // scan 0..14 finds the hole at 14
  EXPECT_EQ(qc::conn_registry_index(objs[15]), 14);
  objs[14] = conn_alloc();  // none free below: counter rises to 15
  EXPECT_EQ(qc::conn_registry_index(objs[14]), 15);
  for (Connection* c : objs) conn_free(c);

  // Entry 0 freed last: the next object again takes entry 0.
  Connection* a = conn_alloc();
  EXPECT_EQ(qc::conn_registry_index(a), 0);
  conn_free(a);
  EXPECT_EQ(qc::live_object_count(), 0);
}

TEST(Registry, SetClassRangeUsesLowByteOfLast) {
  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  conn_set_class(c, 10, 0x10c, 2);  // last 0x10c -> 12
  EXPECT_EQ(+c->type_class[9], 0);
  EXPECT_EQ(+c->type_class[10], 2);
  EXPECT_EQ(+c->type_class[12], 2);
  EXPECT_EQ(+c->type_class[13], 0);
  conn_set_class(c, 200, 100, 4);  // empty range
  EXPECT_EQ(+c->type_class[200], 0);
  conn_set_class(c, 250, 255, 4);  // up to the last type, no wrap
  EXPECT_EQ(+c->type_class[255], 4);
  EXPECT_EQ(+c->type_class[0], 0);
  conn_set_class(nullptr, 0, 255, 1);
  conn_free(c);
}

TEST(Registry, ByIndexTable) {
  intptr_t a = conn_slot(2, 1);
  ASSERT_NE(a, 0);
  Connection* ca = reinterpret_cast<Connection*>(a);
  EXPECT_EQ(conn_is_valid(ca), 1);
  EXPECT_EQ(conn_slot(2, 5), a);  // already there: the same object
  EXPECT_EQ(conn_at(2), ca);
  EXPECT_EQ(conn_slot(8, 1), -1);
  EXPECT_EQ(conn_slot(-1, -1), -1);
  EXPECT_EQ(conn_slot(2, -1), 0);
  EXPECT_EQ(conn_is_valid(ca), 0);
  EXPECT_EQ(conn_at(2), nullptr);
  EXPECT_EQ(conn_slot(2, -1), 0);  // empty entry

  Connection* c7 = reinterpret_cast<Connection*>(conn_slot(7, 1));
  EXPECT_EQ(conn_is_valid(c7), 1);  // entry 7, reachable only here
  Connection* c0 = reinterpret_cast<Connection*>(conn_slot(0, 1));
  EXPECT_EQ(conn_at(0), c0);
  EXPECT_EQ(conn_slot(3, 0), 3);  // frees every entry
  EXPECT_EQ(conn_at(0), nullptr);
  EXPECT_EQ(conn_is_valid(c0), 0);
  EXPECT_EQ(conn_is_valid(c7), 0);
  EXPECT_EQ(qc::live_object_count(), 0);
}

TEST(Registry, TraceLines) {
  lpcap::TraceFile t;
  ASSERT_TRUE(t.ok());
  Connection* c = conn_alloc();
  ASSERT_NE(c, nullptr);
  c->status = 4;
  std::string ptr = hex(c);
  conn_free(c);
  std::vector<uint8_t> block(qc::kObjectSize);
  Connection* u = conn_init_buffer(block.data(), int(block.size()));
  conn_free(u);
  qc::trace_set_stream(nullptr);
  qc::trace_printf("not written\n");
  std::string want = "Alloc object : " + ptr + "\nConnection status : 4\nFree  " + ptr +
                     "\nFree object was found\nUser buffer : " + hex(u) +
                     "Connection status : 0\nFree object was found\n";
  EXPECT_EQ(t.text(), want);
}

}  // namespace
