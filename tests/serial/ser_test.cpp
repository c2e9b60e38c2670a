// The driver over real pseudo-terminals (byte paths through the kernel, exclusive open,
// what it leaves on the tty) and over the simulated null-modem cable (modem lines,
// break, line errors, settings on the line). Most cases are call transcripts under
// tests/golden/serial_*.txt, one call a line with its result below it.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/pty_root.h"
#include "serial/ser.h"
#include "serial/sim_cable.h"
#include "tests/support/seq.h"
#include "tests/support/golden.h"

// TIOCOUTQ answered as a UART's output queue would: `held` bytes leaving at `per_s` bytes
// a second from `since` (a pseudo-terminal keeps none). Calls go through here by the link
// option --wrap=ioctl; nothing else is changed.
struct {
  std::atomic<int> held{0};
  int per_s = 0;
  std::chrono::steady_clock::time_point since;
} g_outq;
extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);
extern "C" int __wrap_ioctl(int fd, unsigned long request, void* arg) {
  if (request != TIOCOUTQ || g_outq.held == 0) return __real_ioctl(fd, request, arg);
  const std::chrono::duration<double> gone = std::chrono::steady_clock::now() - g_outq.since;
  *static_cast<int*>(arg) = std::max(0, g_outq.held - int(gone.count() * g_outq.per_s));
  return 0;
}

namespace {

using namespace std::chrono_literals;

// Every port closed and the driver's defaults back, whatever an earlier case left.
void ser_reset_for_test() {
  for (int p = 0; p < SER_PORTS; ++p) ser_close(p);
  ser_open(-1, 0, 0);
  ser_set_baud(-1, 19200);
  ser_format(-1, 0, 0, 8);
}

// Polls cond every 2 ms for up to 10 s.
template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(2ms))
    if (cond()) return true;
  return cond();
}

// Runs one transcript line: "reset pty|cable" starts a case afresh (COM1 a pseudo-terminal
// or COM1/COM2 the ends of a cable); the other words are driver and cable calls.
struct Driver {
  std::unique_ptr<PtyRoot> root;
  int master = -1, cable = -1;
  ~Driver() { release(); }
  void release() {
    ser_reset_for_test();
    if (cable > 0) sim_cable_destroy(cable);
  }

  std::string operator()(const std::string& w, const std::vector<std::string>& a) {
    auto n = [&](size_t k) {  // a one-letter argument is a letter code, anything else a number
      const std::string s = k < a.size() ? a[k] : "0";
      return s.size() == 1 && !isdigit(s[0]) ? int(s[0]) : int(std::strtol(s.c_str(), nullptr, 0));
    };
    const int p = n(0);
    const std::string text = a.size() > 1 ? a[1] : "";
    char buf[128] = {};
    long r;
    if (w == "reset") {
      release();
      root.reset();
      root.reset(new PtyRoot);
      master = a[0] == "pty" ? root->add_com(1) : -1;
      cable = a[0] == "cable" ? sim_cable_create() : -1;
      if (cable > 0 && (sim_cable_bind(1, cable, 0) != 0 || sim_cable_bind(2, cable, 1) != 0)) cable = -1;
      return master < 0 && cable < 0 ? "set-up failed\n" : "";
    }
    if (w == "read" || w == "master") {
      r = w == "read" ? ser_read(p, a.size() > 2 ? nullptr : buf, n(1)) : plat_read_full(master, buf, p);
      return std::to_string(r) + " " + std::string(buf, size_t(r > 0 ? r : 0)) + "\n";
    }
    if (w == "error_text") return std::to_string(ser_error_text(buf, p)) + " " + buf + "\n";
    if (w == "feed") {
      const int before = ser_in_count(0);
      if (write(master, a[0].data(), a[0].size()) != ssize_t(a[0].size())) return "write failed\n";
      return eventually([&] { return ser_in_count(0) >= before + int(a[0].size()); }) ? "" : "not arrived\n";
    }
    if (w == "every") {  // each call that takes a port
      return results({ser_close(p), ser_put_byte(p, 1), ser_write(p, "a", 1), ser_get_byte(p),
                      ser_read(p, buf, 4), ser_dtr(p, 'R'), ser_rts(p, 'S'), ser_purge(p), ser_drain(p),
                      ser_out_count(p), ser_in_count(p), ser_errors(p, 0x1F), ser_flow(p, 'N'), ser_cts(p),
                      ser_dsr(p), ser_ring(p), ser_carrier(p), ser_break(p, 'D'), ser_unget(p, 1),
                      ser_port_in(p, 0), ser_wait_event(p, SER_EV_RXCHAR),
                      ser_watch(p, nullptr, nullptr, 0, 0), ser_set_baud(p, 5), ser_format(p, 0, 0, 8)}) + "\n";
    }
    // The slave's settings as the master reports them: the speed code, the flags that matter
    // (CSTOPB CRTSCTS; IXON IXOFF IGNBRK BRKINT PARMRK; ICANON), XON XOFF, VMIN VTIME. A
    // received break must be a line error, never a 0x00 in the data: IGNBRK alone.
    termios t;
    if (w == "tty") {
      if (tcgetattr(master, &t) != 0) return "none\n";
      return results({cfgetospeed(&t), t.c_cflag & (CSTOPB | CRTSCTS),
                      t.c_iflag & (IXON | IXOFF | IGNBRK | BRKINT | PARMRK), t.c_lflag & ICANON,
                      t.c_cc[VSTART], t.c_cc[VSTOP], t.c_cc[VMIN], t.c_cc[VTIME]}) + "\n";
    }
    // A cable end's settings: baud parity stop size, CTS flow, XON/XOFF in and out, the
    // XON/XOFF characters and limits.
    SerialLineSettings s;
    if (w == "settings") {
      if (sim_cable_settings(cable, p, &s) != 0) return "none\n";
      return results({s.baud, s.parity, s.stop_bits, s.byte_size, s.cts_flow, s.xon_in, s.xon_out,
                      s.xon_char, s.xoff_char, s.xon_limit, s.xoff_limit}) + "\n";
    }
    if (w == "inputs") return results({ser_dsr(p), ser_carrier(p), ser_cts(p), ser_ring(p)}) + "\n";
    if (w == "hangup") {
      root->hang_up(master);
      return "";
    }
    if (w == "exhaust") {  // every cable id in use, then given back
      int ids[SIM_CABLES], made = 0, freed = 0;
      for (int& id : ids) made += (id = sim_cable_create()) > 0;
      r = sim_cable_create();
      for (int id : ids) freed += sim_cable_destroy(id) == 0;
      return results({made, r, freed}) + "\n";
    }
    // The cable calls' optional third argument: "none" or an offset from this case's cable.
    const int cab = a.size() < 3 ? cable : a[2] == "none" ? 0 : cable + n(2);
    r = w == "open" ? ser_open(p, n(1), n(2))
      : w == "close" ? ser_close(p) : w == "baud" ? ser_set_baud(p, n(1))
      : w == "format" ? ser_format(p, n(1), n(2), n(3)) : w == "put" ? ser_put_byte(p, uint8_t(n(1)))
      : w == "write" ? ser_write(p, text == "null" ? nullptr : text.data(), a.size() > 2 ? n(2) : int(text.size()))
      : w == "get" ? ser_get_byte(p) : w == "unget" ? ser_unget(p, uint8_t(n(1))) : w == "drain" ? ser_drain(p)
      : w == "purge" ? ser_purge(p) : w == "in" ? ser_in_count(p) : w == "out" ? ser_out_count(p)
      : w == "errors" ? ser_errors(p, n(1)) : w == "dtr" ? ser_dtr(p, char(n(1)))
      : w == "rts" ? ser_rts(p, char(n(1))) : w == "flow" ? ser_flow(p, char(n(1))) : w == "cts" ? ser_cts(p)
      : w == "break" ? ser_break(p, char(n(1))) : w == "option" ? ser_option(a[0][0])
      : w == "query" ? ser_query(a[0][0]) : w == "port_in" ? ser_port_in(p, n(1))
      : w == "wait_event" ? ser_wait_event(p, uint32_t(n(1))) : w == "errno" ? ser_error_text(nullptr, 0)
      : w == "bind" ? sim_cable_bind(p, cab, n(1)) : w == "unbind" ? sim_cable_unbind(p)
      : w == "destroy" ? sim_cable_destroy(a.empty() ? cable : p)
      : w == "inject" ? sim_cable_inject_errors(cab, p, uint32_t(n(1)))
      : w == "set_lines" ? sim_cable_set_lines(cable, p, uint32_t(n(1)))
      : w == "lines" ? sim_cable_lines(cable, p) : w == "ring" ? sim_cable_set_ring(cable, p, n(1) != 0)
      : w == "strict" ? sim_cable_set_strict(cable, p != 0) : -999999;
    return std::to_string(r) + "\n";
  }
};

TEST(SerScript, PtyAndCableCallTranscripts) {
  for (const char* name : {"serial_cable.txt", "serial_pty.txt", "serial_codes.txt"}) {
    Driver d;
    EXPECT_TRUE(script_match(name, std::ref(d)));
  }
}

// A fresh driver with COM1 a pseudo-terminal open as port 0 (the test keeps the master),
// or with COM1 and COM2 the two ends of a simulated null-modem cable, both open.
template <bool kCable>
struct SerFixture : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(d("reset", {kCable ? "cable" : "pty"}), "");
    ASSERT_EQ(d("open", {"0", "4000", "4000"}), "0\n");
    ASSERT_EQ(kCable ? d("open", {"1", "4000", "4000"}) : "0\n", "0\n");
  }
  Driver d;
};
using SerPty = SerFixture<false>;
using CableTest = SerFixture<true>;

// A write larger than the terminal's buffer waits for the reader, however late it comes.
TEST_F(SerPty, WriteWaitsForASlowReader) {
  static char out[256 * 1024], in[sizeof out];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = char(i * 131 + i / 251);
  std::thread reader([&] {
    usleep(300 * 1000);
    EXPECT_EQ(plat_read_full(d.master, in, int(sizeof in), 20000), int(sizeof in));
  });
  EXPECT_EQ(ser_write(0, out, int(sizeof out)), int(sizeof out));
  reader.join();
  EXPECT_EQ(0, memcmp(in, out, sizeof out));
}

// Close lets queued output leave for as long as the line's rate needs (19200 bit/s: 960
// bytes, 600 ms with the margin), and no longer when flow control holds it.
TEST_F(SerPty, CloseLetsQueuedOutputLeaveForAsLongAsTheLineNeeds) {
  auto close_ms = [](int per_s) {
    g_outq.since = std::chrono::steady_clock::now();
    g_outq.per_s = per_s;
    g_outq.held = 960;
    EXPECT_EQ(ser_close(0), 1);
    g_outq.held = 0;
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_outq.since).count());
  };
  const long drained = close_ms(4000);  // gone after 240 ms
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
  const long held = close_ms(0);
  EXPECT_TRUE(drained >= 200 && drained < 550 && held >= 550 && held < 1500) << drained << " " << held;
}

TEST_F(SerPty, PortHeldByAnotherProcessAndResetAtOpen) {
  ser_close(0);
  int up[2], down[2], status = -1;
  ASSERT_EQ(pipe(up) | pipe(down), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // holds the port until the parent has tried
    char r = ser_open(0, 4000, 4000) == 0 ? 'y' : 'n';
    _exit(write(up[1], &r, 1) == 1 && close(down[1]) == 0 && read(down[0], &r, 1) >= 0 ? 0 : 2);
  }
  char r = 0;
  EXPECT_TRUE(read(up[0], &r, 1) == 1 && r == 'y');
  EXPECT_EQ(ser_open(0, 4000, 4000), -200);
  for (int fd : {up[0], up[1], down[0], down[1]}) close(fd);
  EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0);
  // 'R' stays set for the rest of the process, so it is tried in a child; without it,
  // bytes that arrived before the open are read after it.
  ASSERT_GE(pid = fork(), 0);
  if (pid == 0) {
    if (write(d.master, "abc", 3) != 3 || ser_open(0, 4000, 4000) != 0) _exit(1);
    if (!eventually([] { return ser_in_count(0) == 3; }) || ser_close(0) != 1) _exit(2);
    if (ser_option('R') != 82 || write(d.master, "abc", 3) != 3) _exit(3);
    usleep(20000);
    _exit(ser_open(0, 4000, 4000) != 0 || ser_in_count(0) != 0 ? 4 : 0);
  }
  EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0) << status;
}

TEST_F(SerPty, BackgroundWritesRunRefuseASecondAndStopAtClose) {
  // Far more than a pseudo-terminal buffers, so the write still runs while nobody reads.
  std::vector<unsigned char> big(1 << 20), got(big.size());
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + 3);
  std::shared_ptr<void> bg((ser_option('W'), nullptr), [](void*) { ser_option('W'); });  // background writes on for the case
  ASSERT_EQ(ser_write(0, big.data(), static_cast<int>(big.size())), 0);
  char c;  // a second write is refused, reads go on while the writer works
  EXPECT_EQ(results({ser_write(0, "x", 1), ser_read(0, &c, 1)}), "-100 0");
  ASSERT_TRUE(plat_read_full(d.master, got.data(), int(got.size()), 10000) == int(big.size()) && got == big);
  int r = -100;  // once the writer has ended the next one is taken
  ASSERT_TRUE(eventually([&] { return (r = ser_write(0, big.data(), int(big.size()))) != -100; }) && r == 0);
  // Nobody reads now: the writer must stop by itself when the port closes.
  EXPECT_EQ(results({ser_close(0), ser_write(0, big.data(), 1)}), "1 -3");
  big.assign(big.size(), 0);  // the writer no longer reads the buffer
  ASSERT_EQ(ser_open(0, 4000, 4000), 0);
}

TEST_F(SerPty, WaitEventWakesOnIncomingBytes) {
  std::atomic<int32_t> events{-1};
  std::thread waiter([&] { events = ser_wait_event(0, SER_EV_RXCHAR | SER_EV_DSR); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.load(), -1);  // nothing has happened yet
  ASSERT_EQ(write(d.master, "a", 1), 1);
  waiter.join();
  EXPECT_EQ(events.load(), int32_t(SER_EV_RXCHAR));
}

// A watch's notify: closes its own port (once told to go, after `closer` spins), or counts
// its calls and re-arms once if asked.
struct Notes {
  std::atomic<int> calls{0}, message{0}, closer{-1}, close_result{0};
  std::atomic<bool> rearm{false}, ready{false}, go{false}, closed{false};  // closed set last: the test may end right after it
  static void notify(void* cookie, uint16_t message) {
    Notes* n = static_cast<Notes*>(cookie);
    if (n->closer >= 0) {
      for (n->ready = true; !n->go;) std::this_thread::yield();
      for (int spin = n->closer; spin > 0; --spin) n->calls.load();
      n->close_result = ser_close(1);
      n->closed = true;
      return;
    }
    n->message = message;
    if (n->rearm.exchange(false)) ser_watch(1, &Notes::notify, n, uint16_t(message + 1), SER_EV_CTS);
    ++n->calls;
  }
};

// One-shot watches: notify re-arms from inside itself; stopping a running one answers 1
// and it never calls.
TEST_F(CableTest, WatchRearmsFromNotifyAndStops) {
  Notes notes;
  notes.rearm = true;
  ASSERT_EQ(ser_watch(1, &Notes::notify, &notes, 10, SER_EV_CTS), 0);
  ser_rts(0, 'S');
  ASSERT_TRUE(eventually([&] { return notes.calls == 1; }));
  ser_rts(0, 'C');
  ASSERT_TRUE(eventually([&] { return notes.calls == 2 && notes.message == 11; }));
  EXPECT_EQ(results({ser_watch(1, &Notes::notify, &notes, 20, SER_EV_RING), ser_watch(1, nullptr, nullptr, 0, 0)}), "0 1");
  sim_cable_set_ring(d.cable, 1, true);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(notes.calls, 2);
}

// A watch's notify closes its own port while the application closes it, both let go at
// the same moment: exactly one of them closes it, the other finds it closed, and the port
// is free for the next round.
TEST_F(CableTest, WatchAndApplicationCloseTheSamePortTogether) {
  Notes n;
  uint32_t peer_lines = 0;
  ser_close(1);
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    n.closed = n.ready = n.go = false;
    n.closer = i % 8 * 20;
    ASSERT_TRUE(ser_open(1, 4000, 4000) == 0 && ser_watch(1, &Notes::notify, &n, 1, SER_EV_DSR) == 0);
    sim_cable_set_lines(d.cable, 0, peer_lines ^= SIM_LINE_DTR);
    ASSERT_TRUE(eventually([&] { return n.ready.load(); }));
    n.go = true;
    const int32_t app = ser_close(1);
    ASSERT_TRUE(app == 1 || (app == -3 && eventually([&] { return n.closed.load(); }))) << app;
    EXPECT_TRUE(!n.closed || n.close_result == (app == -3 ? 1 : -3)) << n.close_result;
  }
}

}  // namespace
