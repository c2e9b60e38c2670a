// Console keys from a pipe and from a terminal (raw while open, restored after, also by
// a termination signal), and the key wait that another readable descriptor ends.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>

#include "platform/console_keys.h"
#include "tests/support/process.h"

namespace {

tcflag_t lflag(const Pty& t) {
  struct termios a {};
  EXPECT_EQ(tcgetattr(t.slave, &a), 0);
  return a.c_lflag & (ECHO | ICANON);
}

TEST(ConsoleKeys, PipeGivesBytesThenNothingThenEndAndAnotherSideEndsTheWait) {
  int keys[2], other[2];
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(pipe(other), 0);
  ConsoleKeys* k = console_keys_open(keys[0]);
  ASSERT_NE(k, nullptr);
  // Nothing yet; three keys; neither side readable, or no other side at all; the other
  // side readable; a key is never lost to the other; the end of the keys.
  const int got[] = {console_keys_get(k, 0), int(write(keys[1], "u\xffx", 3)), console_keys_get(k, 1000),
                     console_keys_get(k, 1000), console_keys_get_or(k, 0, other[0]), console_keys_get(k, 1),
                     console_keys_get_or(k, 0, other[0]), console_keys_get_or(k, 0, -1), int(write(other[1], "m", 1)),
                     console_keys_get_or(k, 5000, other[0]), int(write(keys[1], "u", 1)),
                     console_keys_get_or(k, 5000, other[0]), close(keys[1]), console_keys_get_or(k, 5000, other[0]),
                     console_keys_get(k, 1000)};
  EXPECT_EQ(std::vector<int>(std::begin(got), std::end(got)),
            std::vector<int>({-1, 3, 'u', 0xff, 'x', -1, -1, -1, 1, -3, 1, 'u', 0, -2, -2}));
  console_keys_close(k);
  for (int fd : {keys[0], other[0], other[1]}) close(fd);
  EXPECT_EQ(console_keys_open(-1), nullptr);
  EXPECT_EQ(console_keys_get(nullptr, 0), -2);
}

TEST(ConsoleKeys, TerminalIsRawWhileOpenAndRestoredAfterAndOnTermination) {
  Pty t;
  ASSERT_EQ(lflag(t), tcflag_t(ECHO | ICANON));
  ConsoleKeys* k = console_keys_open(t.slave);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(lflag(t), 0u);
  // A key arrives without a line end and is not echoed back.
  ASSERT_EQ(write(t.master, "t", 1), 1);
  EXPECT_EQ(console_keys_get(k, 2000), 't');
  pollfd p{t.master, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 100), 0);
  console_keys_close(k);
  EXPECT_EQ(lflag(t), tcflag_t(ECHO | ICANON));

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ConsoleKeys* held = console_keys_open(t.slave);
    (void)!write(ready[1], "r", 1);
    for (;;) console_keys_get(held, 100);
  }
  char r;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  EXPECT_EQ(lflag(t), 0u);
  int status = 0;
  ASSERT_TRUE(kill(pid, SIGTERM) == 0 && waitpid(pid, &status, 0) == pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(lflag(t), tcflag_t(ECHO | ICANON));
  for (int fd : ready) close(fd);
}

}  // namespace
