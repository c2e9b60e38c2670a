// The Windows bodies of the platform seam under Wine: loopback sockets and the
// wake-up, paths, console keys from a pipe, and a serial port that the runner maps to
// a pseudo-terminal pair (LP_WIN_COM_A/LP_WIN_COM_B, e.g. 5 and 6).
#include <gtest/gtest.h>
#include <io.h>
#include <fcntl.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/com_path.h"
#include "platform/com_probe.h"
#include "platform/console_keys.h"
#include "platform/paths.h"
#include "platform/serial_device.h"
#include "platform/sockets.h"
#include "platform/sound.h"
#include "tests/support/seq.h"

namespace {

using Clock = std::chrono::steady_clock;
long ms_since(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

const uint8_t kLoop[4] = {127, 0, 0, 1};

int bound_port(int s) {
  SockAddr4 a;
  return sock_local_name(s, &a) == 0 ? sock_addr_port(&a) : -1;
}

}  // namespace

TEST(WinSockets, WakeDatagramsAndSharedPorts) {
  int r = sock_create(kSockDatagram), w = sock_wake_create(), woken = 0;
  ASSERT_TRUE(r > 2 && w > 2 && sock_bind_any(r, 0) == 0);
  const uint16_t port = uint16_t(bound_port(r));
  SockWaitSet set{};
  set.fd[0] = r;
  EXPECT_EQ((Seq() << sock_wait(&set, w, 50, &woken) << woken).s, "0 0");  // the time-out
  std::thread t([w] { Sleep(100); sock_wake_signal(w); });
  auto start = Clock::now();
  EXPECT_EQ((Seq() << sock_wait(&set, w, 10000, &woken) << woken).s, "0 1");
  EXPECT_LT(ms_since(start), 3000);
  t.join();
  woken = 0;  // the wake-up stays set
  EXPECT_EQ((Seq() << sock_wait(&set, w, 10000, &woken) << woken << sock_wake_close(w)).s,
            "0 1 0");
  int rc = sock_recv(r, nullptr, 0);  // a blocking socket with nothing waiting
  ASSERT_LT(rc, 0);
  EXPECT_TRUE(sock_err_would_block(-rc)) << -rc;
  int s = sock_create(kSockDatagram), full = 0;
  SockAddr4 to, from;
  sock_addr_make(&to, kLoop, port);
  char big[100], small[10], text[32];
  for (int i = 0; i < 100; ++i) big[i] = char(i);
  ASSERT_EQ(sock_sendto(s, big, 100, &to), 100);
  ASSERT_EQ(sock_wait(&set, 0, 5000, &woken), 1);
  EXPECT_TRUE(set.readable[0]);
  // A datagram cut to the buffer tells its full length.
  EXPECT_EQ((Seq() << sock_recvfrom(r, small, 10, &from, &full) << full << small[9]).s, "10 100 9");
  sock_addr_text(&from, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(sock_close(s) + sock_close(r), 0);
  // With the address reused, datagram and stream ports alike take a second socket: a
  // server binds its port again while an earlier socket still holds it (Wine, like Linux,
  // keeps a listening port to itself; Windows gives it over).
  int a = sock_create(kSockDatagram), b = sock_create(kSockDatagram);
  int l1 = sock_create(kSockStream), l2 = sock_create(kSockStream);
  EXPECT_EQ((Seq() << sock_set_reuseaddr(a) << sock_set_reuseaddr(b) << sock_bind_any(a, port)
                   << sock_bind_any(b, port) << sock_set_reuseaddr(l1) << sock_set_reuseaddr(l2)
                   << sock_bind_any(l1, 0) << sock_bind_any(l2, uint16_t(bound_port(l1)))
                   << sock_listen(l2, -1)).s,
            "0 0 0 0 0 0 0 0 0");
  for (int h : {a, b, l1, l2}) sock_close(h);
}

// The stream round trip itself is the harness pairs' (scripts/test-windows.sh).
TEST(WinSockets, ARefusedConnectShowsInTheWait) {
  int l = sock_create(kSockStream), woken;
  ASSERT_TRUE(l > 2 && sock_bind_any(l, 0) + sock_listen(l, -1) == 0);
  SockAddr4 to;
  sock_addr_make(&to, kLoop, uint16_t(bound_port(l)));
  sock_close(l);  // the port is free again: a connect is refused
  int n = sock_create(kSockStream);
  ASSERT_EQ(sock_set_nonblocking(n, 1), 0);
  int rc = sock_connect(n, &to);
  ASSERT_LT(rc, 0);
  EXPECT_TRUE(sock_err_would_block(-rc)) << -rc;
  SockWaitSet w{};
  w.fd[0] = n;
  w.want_write[0] = true;
  EXPECT_EQ((Seq() << sock_wait(&w, 0, 5000, &woken) << w.writable[0] << sock_pending_error(n)
                   << sock_peer_name(n, nullptr)).s,
            (Seq() << 1 << 1 << WSAECONNREFUSED << -sock_err_not_connected_code()).s);
  sock_close(n);
  // The system's text for the report line: something to read, and the line is ours to end.
  const std::string text = sock_err_text(WSAECONNREFUSED);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text.back(), ' ') << text;
}

TEST(WinPaths, RootFilesUseBackslashesAndTheOverride) {
  char a[MAX_PATH], b[MAX_PATH], c[MAX_PATH], d[MAX_PATH] = "x";
  _putenv("QUMEX_ROOT=");
  EXPECT_STREQ(plat_qumex_root(), "C:\\Qumex");
  EXPECT_EQ((Seq() << plat_root_path("PREFERENCES/SETTINGS/DEVS.NIN", a, sizeof a) << _putenv("QUMEX_ROOT=Z:\\tmp\\root\\")
                   << plat_root_path("BIN/Tunecfg.", b, sizeof b) << plat_root_path("BIN/Tunecfg.", d, 10)
                   << _putenv("QUMEX_ROOT=") << plat_com_device_path(12, c, sizeof c)
                   << plat_com_device_path(0, c + 100, 10)).s, "0 0 0 1 0 0 1");
  EXPECT_EQ(std::string(a) + "|" + b + "|" + c + "|" + d, "C:\\Qumex\\PREFERENCES\\SETTINGS\\DEVS.NIN|Z:\\tmp\\root\\BIN\\Tunecfg.|\\\\.\\COM12|");
}

TEST(WinConsoleKeys, BytesFromAPipeWithTimeoutsAndItsEnd) {
  HANDLE rd, wr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(rd), _O_RDONLY);
  ConsoleKeys* k = fd >= 0 ? console_keys_open(fd) : nullptr;
  ASSERT_NE(k, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(console_keys_get(k, 100), -1);
  EXPECT_GE(ms_since(start), 80);
  DWORD put;
  ASSERT_TRUE(WriteFile(wr, "ab", 2, &put, nullptr));
  EXPECT_EQ((Seq() << console_keys_get(k, 2000) << console_keys_get(k, 2000)).s, "97 98");
  // A script piped in runs far ahead of the reader: the keys wait, none lost or repeated.
  std::string script(4096 + 64, '\0');
  for (size_t i = 0; i < script.size(); ++i) script[i] = char(' ' + i % 90);
  std::thread writer([&] { WriteFile(wr, script.data(), DWORD(script.size()), &put, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the feed fills up meanwhile
  std::string got;
  for (int ch; got.size() < script.size() && (ch = console_keys_get(k, 2000)) >= 0;) got += char(ch);
  writer.join();
  EXPECT_TRUE(got == script) << got.size() << " keys, first " << got.substr(0, 8);
  EXPECT_EQ((Seq() << CloseHandle(wr) << console_keys_get(k, 2000)).s, "1 -2");
  console_keys_close(k);
  _close(fd);
}

namespace {

int env_com(const char* name) { return std::getenv(name) ? std::atoi(std::getenv(name)) : 0; }

// Opens \\.\COMn at 19200 baud.
SerialDevice* open_com(int n) {
  SerialDevice* d = nullptr;
  SerialLineSettings s;
  s.baud = 19200;
  if (serial_device_open(("\\\\.\\COM" + std::to_string(n)).c_str(), &d) == 0 && d->configure(s))
    ADD_FAILURE() << "COM" << n << " not configured";
  return d;
}

}  // namespace

// Bytes across the pair and the probe's states are the harness pairs'
// (scripts/test-windows.sh) and WinProbe.ComPortsOfThePair's.
TEST(WinSerial, SettingsReadBackAnEmptyReadAndAStopEndingAWait) {
  int a = env_com("LP_WIN_COM_A"), b = env_com("LP_WIN_COM_B");
  if (!a || !b) GTEST_SKIP() << "no COM port pair given (LP_WIN_COM_A, LP_WIN_COM_B)";
  // A second opener is refused by Windows but not by Wine: not checked here.
  SerialDevice *da = open_com(a), *db = open_com(b);
  ASSERT_TRUE(da && db);
  SerialLineSettings back;
  EXPECT_EQ((Seq() << da->get_settings(&back) << back.baud << back.byte_size << back.parity).s, "0 19200 8 0");
  // A pseudo-terminal has no modem lines: Wine refuses DTR and RTS, and the refusals are
  // told. The caller's queue sizes are taken.
  EXPECT_EQ((Seq() << da->set_dtr(true) << da->set_rts(false) << da->set_queues(16000, 16000)).s,
            (Seq() << ERROR_NOT_SUPPORTED << ERROR_NOT_SUPPORTED << 0).s);
  int n = -1;
  char buf[16];
  // Nothing waiting: a read returns at once with no bytes.
  EXPECT_EQ((Seq() << db->read(buf, sizeof buf, &n) << n).s, "0 0");
  // A stop flag ends a wait that nothing else would end.
  static std::atomic<bool> stop{false};
  SerialEventMark m;
  ASSERT_EQ(db->event_mark(&m), 0);
  std::thread t([] { Sleep(100); stop.store(true); });
  uint32_t ev = 1;
  auto start = Clock::now();
  EXPECT_EQ((Seq() << db->wait_event(SERDEV_EV_RXCHAR | SERDEV_EV_DSR, m, &stop, -1, &ev) << ev
                   << (ms_since(start) < 2000)).s, (Seq() << ECANCELED << 0 << 1).s);
  t.join();
  EXPECT_EQ(da->close() + db->close(), 0);
  delete da, delete db;
  EXPECT_EQ(plat_com_probe(a, nullptr), PLAT_COM_FREE);
}

namespace {
int g_alerts = 0;
void count_alert() { ++g_alerts; }
}  // namespace

TEST(WinSound, AMissingFileGivesTheAlertInstead) {
  plat_sound_set_alert(count_alert);
  EXPECT_EQ((Seq() << plat_play_wav("C:\\no\\such\\reward.wav") << plat_play_wav(nullptr)
                   << g_alerts).s,
            "1 1 2");
  plat_sound_set_alert(nullptr);
}
