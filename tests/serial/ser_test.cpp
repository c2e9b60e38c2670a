// The driver over real pseudo-terminals (byte paths through the kernel, exclusive open,
// what it leaves on the tty) and over the simulated null-modem cable (modem lines,
// break, line errors, settings on the line).
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "ser_test_util.h"

namespace {

using SerPty = PtyPortTest<true>;
using SerPtyClosed = PtyPortTest<false>;
using SerCable = CableTest;

std::string inputs(int port) {
  return input_lines(ser_dsr(port), ser_carrier(port), ser_cts(port), ser_ring(port));
}

// First: the DTR and RTS read-backs outlive a close, and this case expects none set.
TEST_F(SerCable, LinesFollowTheDefaultsTheFlowControlAndTheOtherEnd) {
  ASSERT_EQ(ser_open(-1, 1, 1), 0);
  open_both();
  EXPECT_EQ(inputs(1), "DSR CD CTS");
  // The read-back is the last setting made through ser_dtr/ser_rts, not the line; without
  // flow control RTS is the program's (off), the handshake asserts it while there is room.
  EXPECT_EQ(results({ser_dtr(0, 'R'), ser_rts(0, 'R'), ser_flow(0, 'N')}), "0 0 0");
  EXPECT_EQ(inputs(1), "DSR CD");
  EXPECT_EQ(results({ser_flow(0, 'H'), ser_cts(1), ser_rts(0, 'S'), ser_flow(0, 'N'), ser_cts(1),
                     ser_rts(0, 'C'), ser_set_baud(0, 9), ser_format(0, 0, 0, 8), ser_cts(1),
                     ser_set_baud(0, -5)}),
            "0 16 1 0 16 1 1 0 0 0");
  ser_close(0);
  ser_close(1);
  ASSERT_EQ(ser_open(-1, 0, 2), 0);  // bit 0 of each argument
  open_both();
  EXPECT_EQ(inputs(1), "");
  EXPECT_EQ(results({ser_dtr(0, 'S'), ser_rts(0, 'S'), ser_dtr(0, 'C')}), "1 1 1");
  EXPECT_EQ(inputs(1), "CTS");
  EXPECT_EQ(inputs(0), "");  // not looped back to the same end
  EXPECT_EQ(ser_dtr(1, 'S') + ser_rts(1, 'S'), 2);
  ASSERT_EQ(sim_cable_set_ring(cable_, 0, true), 0);
  EXPECT_EQ(inputs(0), "DSR CD CTS RI");
  EXPECT_EQ(ser_close(1), 1);  // closing an end drops what it drove
  EXPECT_EQ(inputs(0), "RI");
}

TEST_F(SerPty, ReadWriteMaskPushbackAndClose) {
  char buf[64], got[7] = {};
  EXPECT_EQ(results({ser_read(0, buf, sizeof buf), ser_get_byte(0), ser_write(0, "hello", 5),
                     ser_put_byte(0, '!')}),
            "0 -100 5 0");
  ASSERT_EQ(read_full(master_, got, 6), 6);
  EXPECT_STREQ(got, "hello!");
  const unsigned char in[] = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x80, 0xFF};
  arrive(in, sizeof in, sizeof in);  // binary and unchanged with 8 data bits
  unsigned char rd[16];
  ASSERT_EQ(ser_read(0, rd, sizeof rd), int(sizeof in));
  EXPECT_EQ(0, memcmp(rd, in, sizeof in));
  arrive("xyz", 3, 3);
  EXPECT_EQ(results({ser_get_byte(0), ser_in_count(0), ser_drain(0), ser_get_byte(0)}), "120 2 0 -100");
  ASSERT_EQ(ser_format(0, 0, 0, 7), 0);  // the 7-bit mask applies at read time
  arrive("\xC1\xFF\x80\x41", 4, 4);
  ASSERT_EQ(ser_read(0, rd, 2), 2);
  EXPECT_EQ(rd[0] * 256 + rd[1], 0x417F);
  EXPECT_EQ(results({ser_get_byte(0), ser_format(0, 0, 0, 8), ser_get_byte(0)}), "0 0 65");
  // A pushback comes first without touching the device (a read with no room keeps it);
  // a zero byte cancels it and it does not outlive a close.
  arrive("Q", 1, 1);
  EXPECT_EQ(results({ser_unget(0, 'x'), ser_read(0, buf, 0), ser_read(0, nullptr, 4),
                     ser_read(0, buf, sizeof buf), buf[0], ser_in_count(0), ser_unget(0, 'y'),
                     ser_get_byte(0), ser_get_byte(0), ser_unget(0, 'z'), ser_unget(0, 0),
                     ser_get_byte(0), ser_unget(0, 'w'), ser_close(0), ser_read(0, buf, sizeof buf),
                     ser_open(0, 4000, 4000), ser_get_byte(0)}),
            "0 0 -103 1 120 1 0 121 81 0 0 -100 0 1 -3 0 -100");
  // A second open fails and closes the record; nothing of the earlier open holds the port.
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  int err = ser_error_text(nullptr, 0);
  EXPECT_TRUE(err == EWOULDBLOCK || err == EBUSY) << err;
  EXPECT_EQ(results({ser_close(0), ser_open(0, 4000, 4000), ser_open(4, 4000, 4000)}), "-3 0 -200");
  char text[128], tiny[4];  // no <root>/dev/COM5
  EXPECT_EQ(ser_error_text(text, sizeof text), ENOENT);
  EXPECT_STREQ(text, strerror(ENOENT));
  EXPECT_EQ(ser_error_text(tiny, sizeof tiny), ENOENT);
  EXPECT_EQ(strlen(tiny), 3u);
  root_.hang_up(master_);  // the adapter unplugged: reads and writes fail, close works
  EXPECT_EQ(results({ser_read(0, buf, sizeof buf), ser_error_text(nullptr, 0), ser_get_byte(0),
                     ser_write(0, "x", 1), ser_put_byte(0, 'x'), ser_close(0)}),
            "-103 " + std::to_string(EIO) + " -103 -103 -103 1");
}

// A write larger than the terminal's buffer waits for the reader, however late it comes.
TEST_F(SerPty, WriteWaitsForASlowReader) {
  static char out[256 * 1024], in[sizeof out];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = char(i * 131 + i / 251);
  std::thread reader([&] {
    usleep(300 * 1000);
    EXPECT_EQ(read_full(master_, in, int(sizeof in), 20000), int(sizeof in));
  });
  EXPECT_EQ(ser_write(0, out, int(sizeof out)), int(sizeof out));
  reader.join();
  EXPECT_EQ(0, memcmp(in, out, sizeof out));
}

TEST_F(SerPtyClosed, PortHeldByAnotherProcessAndResetAtOpen) {
  int up[2], down[2];
  ASSERT_EQ(pipe(up) | pipe(down), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // holds the port until the parent has tried
    close(down[1]);
    char r = ser_open(0, 4000, 4000) == 0 ? 'y' : 'n';
    _exit(write(up[1], &r, 1) == 1 && read(down[0], &r, 1) >= 0 ? 0 : 2);
  }
  char r = 0;
  EXPECT_EQ(read(up[0], &r, 1), 1);
  EXPECT_EQ(r, 'y');
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  for (int fd : {up[0], up[1], down[0], down[1]}) close(fd);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  // 'R' stays set for the rest of the process, so it is tried in a child; without it,
  // bytes that arrived before the open are read after it.
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (write(master_, "abc", 3) != 3 || ser_open(0, 4000, 4000) != 0) _exit(1);
    if (!eventually([] { return ser_in_count(0) == 3; }) || ser_close(0) != 1) _exit(2);
    if (ser_option('R') != 82 || write(master_, "abc", 3) != 3) _exit(3);
    usleep(20000);
    _exit(ser_open(0, 4000, 4000) != 0 || ser_in_count(0) != 0 ? 4 : 0);
  }
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
}

// The slave's settings as the master reports them: the speed and the flags that matter.
std::string tty(int master) {
  termios t;
  if (tcgetattr(master, &t) != 0) return "none";
  const speed_t sp = cfgetospeed(&t);
  std::string s = sp == B9600 ? "9600" : sp == B38400 ? "38400" : sp == B57600 ? "57600" : "other";
  const struct {
    bool on;
    const char* name;
  } flags[] = {{(t.c_cflag & CSTOPB) != 0, "cstopb"}, {(t.c_lflag & ICANON) != 0, "icanon"},
               {(t.c_iflag & IXON) != 0, "ixon"},     {(t.c_iflag & IXOFF) != 0, "ixoff"},
               {(t.c_cflag & CRTSCTS) != 0, "crtscts"},
               // a received break is a line error, never a 0x00 in the data
               {(t.c_iflag & IGNBRK) && !(t.c_iflag & (BRKINT | PARMRK)), "ignbrk"}};
  for (const auto& f : flags)
    if (f.on) s += std::string(" ") + f.name;
  return s + " " + std::to_string(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP]);
}

TEST_F(SerPtyClosed, SettingsReachTheTtyAndCloseLeavesTheLine) {
  termios before, after;
  ASSERT_EQ(tcgetattr(master_, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  // Index 7 is 38400; a pseudo-terminal forces 8 bits without parity.
  ASSERT_EQ(results({ser_set_baud(-1, 7), ser_format(-1, 2, 2, 7), ser_open(0, 4000, 4000)}), "0 0 0");
  EXPECT_EQ(tty(master_), "38400 cstopb ignbrk 4371");
  arrive("\xC1", 1, 1);
  EXPECT_EQ(ser_get_byte(0), 0x41);  // data mask from the default byte size
  const struct {
    int32_t (*op)();
    int32_t result;
    const char* tty;
  } steps[] = {
      {[] { return ser_set_baud(0, 57600); }, 1, "57600 cstopb ignbrk 4371"},  // above 9 the rate
      {[] { return ser_set_baud(0, 12345); }, 0, "57600 cstopb ignbrk 4371"},
      {[] { return ser_set_baud(0, 5); }, 1, "9600 cstopb ignbrk 4371"},
      {[] { return ser_flow(0, 'S'); }, 0, "9600 cstopb ixon ixoff ignbrk 4371"},
      {[] { return ser_flow(0, 'H'); }, 0, "9600 cstopb crtscts ignbrk 4371"},
      {[] { return ser_flow(0, 'N'); }, 0, "9600 cstopb ignbrk 4371"},
      {[] { return ser_format(0, 0, 0, 8); }, 0, "9600 ignbrk 4371"},
  };
  for (const auto& k : steps) {
    EXPECT_EQ(k.op(), k.result) << k.tty;
    EXPECT_EQ(tty(master_), k.tty);
  }
  // Close lets the last bytes leave at the port's rate: only the timeouts go back.
  const char sound[8] = {'\xE0', 9, 8, 0, 1, 0, 0, 0};
  ASSERT_EQ(ser_write(0, sound, 8), 8);
  ASSERT_EQ(ser_close(0), 1);
  EXPECT_EQ(tty(master_), "9600 ignbrk 4371");
  ASSERT_EQ(tcgetattr(master_, &after), 0);
  EXPECT_EQ(after.c_cc[VMIN] * 256 + after.c_cc[VTIME], before.c_cc[VMIN] * 256 + before.c_cc[VTIME]);
  char got[8] = {};
  EXPECT_EQ(read_full(master_, got, 8), 8);
  EXPECT_EQ(std::memcmp(got, sound, 8), 0);
}

TEST_F(SerCable, BreakAndErrorsAreSeenOnceAtTheOtherEnd) {
  open_both();
  // The sender sees nothing and the receiver once; an error masked out is cleared all
  // the same, and a queue count does not consume it.
  EXPECT_EQ(results({ser_break(1, 'D'), ser_break(0, 'A'), ser_break(0, 'A'), ser_break(0, 'C'),
                     ser_break(0, 'D'), ser_break(1, 'D'), ser_break(1, 'D')}),
            "0 1 1 1 0 16 0");
  EXPECT_EQ(results({ser_break(0, 'A'), ser_break(0, 'C'), ser_errors(1, 0x0F), ser_break(1, 'D'),
                     ser_break(0, 'A'), ser_break(0, 'C'), ser_in_count(1), ser_errors(1, 0x1F)}),
            "1 1 0 0 1 1 0 16");
  EXPECT_EQ(results({sim_cable_inject_errors(cable_, 1, 0x02 | 0x08), ser_errors(0, 0x1F),
                     ser_errors(1, 0x1F), ser_errors(1, 0x1F)}),
            "0 0 10 0");
  // The masked-out overflow goes with the read; errors from before an open are not
  // reported after it.
  EXPECT_EQ(results({sim_cable_inject_errors(cable_, 1, 0x01), sim_cable_inject_errors(cable_, 1, 0x04),
                     ser_errors(1, 0x04), ser_errors(1, 0x1F), ser_close(1),
                     sim_cable_inject_errors(cable_, 1, 0x08), ser_open(1, 4000, 4000),
                     ser_errors(1, 0x1F), sim_cable_inject_errors(cable_, 2, 0x08),
                     sim_cable_inject_errors(cable_ + 1, 0, 0x08)}),
            "0 0 4 0 1 0 0 0 -1 -1");
  // Purge, and bytes lost while the other end is closed.
  char buf[8];
  EXPECT_EQ(results({ser_write(0, "abc", 3), ser_in_count(1), ser_in_count(0), ser_purge(1),
                     ser_in_count(1), ser_close(1), ser_write(0, "lost", 4),
                     ser_open(1, 4000, 4000), ser_read(1, buf, sizeof buf)}),
            "3 3 0 0 0 1 4 0 0");
}

TEST_F(SerCable, EndOpensOnceAndBindingsDecide) {
  // COM3 bound to the same end finds it busy; bad bindings are refused.
  EXPECT_EQ(results({ser_open(0, 4000, 4000), sim_cable_bind(3, cable_, 0), ser_open(2, 4000, 4000),
                     ser_error_text(nullptr, 0), ser_close(0), ser_open(2, 4000, 4000), ser_close(2),
                     sim_cable_unbind(3), sim_cable_unbind(3), sim_cable_bind(0, cable_, 0),
                     sim_cable_bind(33, cable_, 0), sim_cable_bind(3, cable_, 2),
                     sim_cable_bind(3, 0, 0)}),
            "0 0 -200 " + std::to_string(EBUSY) + " 1 0 1 0 -1 -1 -1 -1 -1");
  // Lines driven from outside play a peer that is not opened through the driver.
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_DTR), 0);
  EXPECT_EQ(inputs(0), "DSR CD");
  ASSERT_EQ(sim_cable_set_lines(cable_, 1, SIM_LINE_RTS), 0);
  EXPECT_EQ(inputs(0), "CTS");
  ser_dtr(0, 'S');
  EXPECT_EQ(sim_cable_lines(cable_, 0), static_cast<int>(SIM_LINE_DTR));
  // Destroying the cable unbinds it; the open end keeps working until closed.
  EXPECT_EQ(results({sim_cable_destroy(cable_), ser_dtr(0, 'C'), ser_close(0), sim_cable_destroy(cable_)}),
            "0 1 1 -1");
  int ids[SIM_CABLES];  // every id in use
  for (int& id : ids) ASSERT_GT(id = sim_cable_create(), 0);
  EXPECT_EQ(sim_cable_create(), -1);
  for (int id : ids) EXPECT_EQ(sim_cable_destroy(id), 0);
  cable_ = sim_cable_create();  // for TearDown
  ASSERT_GT(cable_, 0);
}

// A cable end's settings as "baud parity stop size flow xon/xoff xon-limit/xoff-limit",
// flow as C (CTS), I and O (XON/XOFF in and out) or -.
std::string line_settings(int cable, int end) {
  SerialLineSettings s;
  if (sim_cable_settings(cable, end, &s) != 0) return "none";
  char t[80];
  snprintf(t, sizeof t, "%d %d %d %d %c%c%c %02X/%02X %d/%d", s.baud, s.parity, s.stop_bits,
           s.byte_size, s.cts_flow ? 'C' : '-', s.xon_in ? 'I' : '-', s.xon_out ? 'O' : '-',
           s.xon_char, s.xoff_char, s.xon_limit, s.xoff_limit);
  return t;
}

TEST_F(SerCable, SettingsReachTheLineAndAStrictCableGarblesMismatchedSpeeds) {
  ASSERT_EQ(ser_set_baud(-1, 8), 0);  // table index: 57600
  ASSERT_EQ(ser_format(-1, 1, 2, 7), 0);
  ASSERT_EQ(ser_open(0, 400, 400), 0);
  ASSERT_EQ(ser_open(1, 4000, 4000), 0);
  // XON/XOFF limits: a quarter of a small input queue, 128 for a large one.
  EXPECT_EQ(line_settings(cable_, 0), "57600 1 2 7 --- 11/13 100/100");
  EXPECT_EQ(line_settings(cable_, 1), "57600 1 2 7 --- 11/13 128/128");
  EXPECT_EQ(line_settings(cable_, 2), "none");
  const struct {
    int32_t (*op)();
    int32_t result;
    const char* line;
  } steps[] = {
      {[] { return ser_set_baud(0, 2); }, 1, "1200 1 2 7 --- 11/13 100/100"},
      {[] { return ser_flow(0, 'S'); }, 0, "1200 1 2 7 -IO 11/13 100/100"},
      {[] { return ser_flow(0, 'Q'); }, 0, "1200 1 2 7 -IO 11/13 100/100"},
      {[] { return ser_flow(0, 'H'); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {[] { return ser_format(0, 9, 0, 8); }, 0, "1200 1 2 7 C-- 11/13 100/100"},
      {[] { return ser_set_baud(0, 4); }, 1, "4800 1 2 7 C-- 11/13 100/100"},
  };
  for (const auto& k : steps) {
    EXPECT_EQ(k.op(), k.result) << k.line;
    EXPECT_EQ(line_settings(cable_, 0), k.line);
  }
  // Strict: only equal speeds carry bytes, others arrive as a framing error.
  char buf[8];
  ASSERT_EQ(results({sim_cable_set_strict(cable_, true), ser_flow(0, 'N'), ser_set_baud(1, 4800),
                     ser_format(1, 1, 2, 7)}),
            "0 0 1 0");
  EXPECT_EQ(results({ser_write(0, "ok", 2), ser_read(1, buf, sizeof buf), ser_errors(1, 0x1F),
                     ser_set_baud(1, 9600), ser_write(0, "lost", 4), ser_read(1, buf, sizeof buf),
                     ser_errors(1, 0x1F), ser_set_baud(0, 9600), ser_write(0, "back", 4),
                     ser_read(1, buf, sizeof buf), ser_set_baud(1, 19200),
                     sim_cable_set_strict(cable_, false), ser_write(0, "x", 1),
                     ser_read(1, buf, sizeof buf), ser_errors(1, 0x1F)}),
            "2 2 0 1 4 0 8 1 4 4 1 0 1 1 0");
}

TEST_F(SerPtyClosed, RangeClosedAndOpenPortCodes) {
  auto every_call = [](int p) {
    char buf[4];
    return results({ser_close(p), ser_put_byte(p, 1), ser_write(p, "a", 1), ser_get_byte(p),
                    ser_read(p, buf, 4), ser_dtr(p, 'R'), ser_rts(p, 'S'), ser_purge(p), ser_drain(p),
                    ser_out_count(p), ser_in_count(p), ser_errors(p, 0x1F), ser_flow(p, 'N'), ser_cts(p),
                    ser_dsr(p), ser_ring(p), ser_carrier(p), ser_break(p, 'D'), ser_unget(p, 1),
                    ser_port_in(p, 0), ser_wait_event(p, SER_EV_RXCHAR),
                    ser_watch(p, nullptr, nullptr, 0, 0), ser_set_baud(p, 5), ser_format(p, 0, 0, 8)});
  };
  auto times = [](const std::string& v, int n) {
    std::string s = v;
    while (--n > 0) s += " " + v;
    return s;
  };
  // Out of range; -1 sets the defaults for the rate and the format only; closed.
  for (int port : {32, 1000, -2}) EXPECT_EQ(every_call(port), times("-1", 24)) << port;
  EXPECT_EQ(every_call(-1), times("-1", 22) + " 0 0");
  EXPECT_EQ(every_call(0), times("-3", 24));
  // Only the four legacy ports have a port address; 'W' flips background writes.
  EXPECT_EQ(results({ser_open(-1, 0, 0), ser_set_baud(-1, 19200), ser_format(-1, 0, 0, 8),
                     ser_open(32, 4000, 4000), ser_port_in(4, 0), ser_query('3'), ser_query('I'),
                     ser_query('V'), ser_query('v'), ser_option('X'), ser_option('W'), ser_option('W')}),
            "0 0 0 -1 -1 1 1 790 -1 -1 87 87");
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  EXPECT_EQ(results({ser_write(0, nullptr, 5), ser_write(0, "a", 0), ser_dtr(0, 'X'), ser_rts(0, 's'),
                     ser_break(0, 'Z'), ser_port_in(0, 0), ser_wait_event(0, 0),
                     ser_error_text(nullptr, 0), ser_wait_event(0, 0x8000)}),
            "-101 -101 -101 -101 -101 -1 -103 " + std::to_string(EINVAL) + " -103");
  // A pseudo-terminal has no modem lines and drops a break: everything reads as off.
  EXPECT_EQ(results({ser_dtr(0, 'S'), ser_dtr(0, 'R'), ser_rts(0, 'S'), ser_rts(0, 'R'), ser_rts(0, 'C'),
                     ser_rts(0, 'R'), ser_dsr(0), ser_cts(0), ser_carrier(0), ser_ring(0),
                     ser_break(0, 'A'), ser_break(0, 'C'), ser_break(0, 'D'), ser_errors(0, 0x1F),
                     ser_out_count(0), ser_purge(0)}),
            "1 1 1 2 1 0 0 0 0 0 1 1 0 0 0 0");
}

}  // namespace
