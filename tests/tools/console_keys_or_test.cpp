// A key wait that also ends when another descriptor (the library's readiness handle)
// turns readable.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/console_keys.h"

TEST(ConsoleKeysOr, OtherReadableEndsTheWaitAndKeysStillCome) {
  int keys[2], other[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(pipe(other), 0);
  ConsoleKeys* k = console_keys_open(keys[0]);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(console_keys_get_or(k, 0, other[0]), -1) << "neither side readable";
  EXPECT_EQ(console_keys_get_or(k, 0, -1), -1) << "no other side at all";
  ASSERT_EQ(write(other[1], "m", 1), 1);
  EXPECT_EQ(console_keys_get_or(k, 5000, other[0]), -3);
  ASSERT_EQ(write(keys[1], "u", 1), 1);
  EXPECT_EQ(console_keys_get_or(k, 5000, other[0]), 'u') << "a key is never lost to the other";
  close(keys[1]);
  EXPECT_EQ(console_keys_get_or(k, 5000, other[0]), -2);
  console_keys_close(k);
  close(other[0]);
  close(other[1]);
}
