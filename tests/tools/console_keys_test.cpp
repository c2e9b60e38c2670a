#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console_keys.h"

namespace {

struct Pty {
  int master = -1, slave = -1;
  Pty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  tcflag_t lflag() const {
    struct termios t {};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t.c_lflag;
  }
};

TEST(ConsoleKeys, PipeGivesBytesThenNothingThenEnd) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ConsoleKeys* k = console_keys_open(p[0]);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(console_keys_get(k, 0), -1);
  ASSERT_EQ(write(p[1], "u\xffx", 3), 3);
  EXPECT_EQ(console_keys_get(k, 1000), 'u');
  EXPECT_EQ(console_keys_get(k, 1000), 0xff);
  EXPECT_EQ(console_keys_get(k, 1000), 'x');
  EXPECT_EQ(console_keys_get(k, 1), -1);
  close(p[1]);
  EXPECT_EQ(console_keys_get(k, 1000), -2);
  console_keys_close(k);
  close(p[0]);
  EXPECT_EQ(console_keys_open(-1), nullptr);
  EXPECT_EQ(console_keys_get(nullptr, 0), -2);
}

TEST(ConsoleKeys, TerminalIsRawWhileOpenAndRestoredAfter) {
  Pty t;
  ASSERT_TRUE(t.lflag() & ECHO);
  ASSERT_TRUE(t.lflag() & ICANON);
  ConsoleKeys* k = console_keys_open(t.slave);
  ASSERT_NE(k, nullptr);
  EXPECT_FALSE(t.lflag() & ECHO);
  EXPECT_FALSE(t.lflag() & ICANON);
  // A key arrives without a line end and is not echoed back.
  ASSERT_EQ(write(t.master, "t", 1), 1);
  EXPECT_EQ(console_keys_get(k, 2000), 't');
  char echo;
  int fl = fcntl(t.master, F_GETFL);
  ASSERT_EQ(fcntl(t.master, F_SETFL, fl | O_NONBLOCK), 0);
  EXPECT_EQ(read(t.master, &echo, 1), -1);
  console_keys_close(k);
  EXPECT_TRUE(t.lflag() & ECHO);
  EXPECT_TRUE(t.lflag() & ICANON);
}

TEST(ConsoleKeys, TerminationSignalRestoresTheTerminal) {
  Pty t;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ConsoleKeys* k = console_keys_open(t.slave);
    (void)!write(ready[1], "r", 1);
    for (;;) console_keys_get(k, 100);
  }
  char r;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  EXPECT_FALSE(t.lflag() & ECHO);
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(t.lflag() & ECHO);
  EXPECT_TRUE(t.lflag() & ICANON);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
