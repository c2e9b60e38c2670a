// The serial reader, send path, captures and line errors over real pseudo-terminals
// (bytes through the kernel's tty layer and the driver) and the simulated cable, from
// transcripts (tests/golden/commlib_serial_*.txt) with words of their own for the
// terminal: "pty <com>" links <root>/dev/COM<com> to a new one; "type <slot> <bytes>"
// writes to its master and waits until the driver holds them; "line <slot> <n>" reads
// what the port sent.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <ctime>

#include "tests/commlib/conn_script.h"
#include "platform/pty_root.h"

using connscript::Bytes;
using connscript::wait_input;

namespace {

// Writes all the bytes to the (non-blocking) master.
void feed(int master, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
    pollfd p = {master, POLLOUT, 0};
    if (w < 0 && (errno != EAGAIN || poll(&p, 1, 5000) <= 0)) {
      ADD_FAILURE() << "pty master stays full";
      return;
    }
    done += size_t(w > 0 ? w : 0);
  }
}


struct PtyWords {
  PtyRoot root;
  int master[16] = {};  // by COM number
  std::string operator()(connscript::Runner& r, const std::string& w, const connscript::Args& a) {
    Connection* c = a.empty() ? nullptr : r.o[connscript::num(a[0]) % 20];
    auto n = [&](size_t k) { return int(connscript::num(a[k])); };
    Seq out;
    const bool bytes = w == "type" || w == "type_poll" || w == "send";
    Bytes b = bytes ? connscript::blob(a, w == "send" ? 3 : 1) : Bytes();
    const int size = int(b.size());
    // A reader pass: its result, queued stream/datagram, held, overflow, error seen,
    // dropped, setup state and fill.
    auto pass = [&] {
      out << serial_poll(c) << c->queue[0].count << c->queue[1].count << c->serial_raw_count << c->serial_overflow_len
          << (c->serial_error_time != 0) << c->rx_dropped << c->serial_reader_state << c->serial_frame_fill;
    };
    if (w == "pty") {
      out << ((master[n(0) % 16] = root.add_com(n(0))) >= 0);
    } else if (w == "type" || w == "type_poll") {
      const int before = ser_in_count(int(c->serial_port) - 1);
      feed(master[c->serial_port % 16], b);
      out << wait_input(c, before + size);
      if (w == "type_poll") pass();
    } else if (w == "poll") pass();
    else if (w == "line") {  // slot count: what the port sent, and "+" if more followed
      const int m = master[c->serial_port % 16];
      Bytes got(size_t(n(1)) + 1);
      got.resize(size_t(plat_read_full(m, got.data(), n(1))));
      uint8_t extra;
      out << connscript::hex(got.data(), got.size()) << (plat_read_full(m, &extra, 1, 50) ? "+" : "");
    } else if (w == "send") {  // slot setup raw bytes
      serial_set_framing(c, n(1), n(2));
      out << qc::serial_send(c, b.data(), size);
    } else if (w == "connect") out << conn_connect(c, a[1].c_str(), a[2].c_str(), n(3), n(4));  // slot transport address port flags
    else if (w == "disconnect") out << conn_disconnect(c);
    else if (w == "wait") {  // slot channel timeout: conn_wait's result, whether it took the
      // whole time, and whether it kept this thread running for half of it or more
      const auto t0 = std::chrono::steady_clock::now();
      const std::clock_t cpu = std::clock();
      const int r = conn_wait(c, n(1), n(2));
      out << r << (std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(n(2) - 10) ? "whole" : "early")
          << ((std::clock() - cpu) * 2000 / CLOCKS_PER_SEC >= n(2) ? "busy" : "idle");
    } else if (w == "readable") {  // slot ms: the wait handle within that time
      pollfd p{int(conn_wait_handle(c)), POLLIN, 0};
      out << (poll(&p, 1, n(1)) == 1 && (p.revents & POLLIN));
    } else if (w == "conn_poll") out << conn_poll(c, n(1));
    else if (w == "dtr_op") out << (serial_dtr_op(c, n(1)) > -1);
    else return "";
    return out.s + "\n";
  }
};

TEST(SerialScript, ReaderSendPathCapturesAndLineErrors) {
  lpcap::ScratchDir dir(nullptr);
  for (const char* name : {"commlib_serial_pty.txt", "commlib_serial_cable.txt"}) {
    PtyWords words;
    connscript::Runner r;
    r.more = std::ref(words);
    EXPECT_TRUE(connscript::run_script(name, std::move(r)));
  }
}

TEST(SerialPty, RawModeKeepsBytesAndStopsReadingWhenNearlyFull) {
  PtyRoot root;
  const int master = root.add_com(3);
  Connection* c = conn_alloc();
  std::shared_ptr<void> release(nullptr, [&](void*) {
    serial_close(c);
    conn_free(c);
  });
  ASSERT_TRUE(master >= 0 && connscript::open_serial(c, "COM3", 115200) == 0);
  c->serial_raw = 1;
  Bytes bytes(6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + (i >> 8));
  feed(master, bytes);  // more than the tty's input buffer: the kernel holds the rest
  for (int i = 0; i < 1000 && qc::kSerialLimit - c->serial_raw_count >= qc::kRawLowWater; ++i)
    if (serial_poll(c) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int held = c->serial_raw_count;
  EXPECT_GT(held, qc::kSerialLimit - qc::kRawLowWater);
  ASSERT_TRUE(wait_input(c, 1));
  EXPECT_EQ(serial_poll(c), 0);
  EXPECT_EQ(int(c->serial_raw_count), held);
  Bytes got;
  for (int i = 0; i < 2000 && got.size() < bytes.size(); ++i) {
    uint8_t buf[1500];
    int n = rx_receive(c, -1, buf, sizeof buf);  // runs a pass first
    ASSERT_GE(n, 0);
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(+c->rx_dropped, 0u);
}

}  // namespace
