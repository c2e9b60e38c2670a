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

namespace {

using Clock = std::chrono::steady_clock;
long ms_since(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

const uint8_t kLoop[4] = {127, 0, 0, 1};

// A datagram socket on a free loopback port; its port into *port.
int udp_on_loopback(uint16_t* port) {
  int s = sock_create(kSockDatagram);
  if (s < 0 || sock_bind_any(s, 0) != 0) return -1;
  SockAddr4 a;
  if (sock_local_name(s, &a) != 0) return -1;
  *port = sock_addr_port(&a);
  return s;
}

}  // namespace

TEST(WinSockets, WakeDatagramsAndSharedPorts) {
  uint16_t port;
  int r = udp_on_loopback(&port);
  ASSERT_GT(r, 2);
  int w = sock_wake_create();
  ASSERT_GT(w, 2);
  SockWaitSet set{};
  set.fd[0] = r;
  int woken = 0;
  EXPECT_EQ(sock_wait(&set, w, 50, &woken), 0);  // nothing yet: the time-out
  EXPECT_EQ(woken, 0);
  std::thread t([w] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sock_wake_signal(w);
  });
  auto start = Clock::now();
  EXPECT_EQ(sock_wait(&set, w, 10000, &woken), 0);
  EXPECT_EQ(woken, 1);
  EXPECT_LT(ms_since(start), 3000);
  t.join();
  woken = 0;
  EXPECT_EQ(sock_wait(&set, w, 10000, &woken), 0);  // stays set
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(sock_wake_close(w), 0);
  int rc = sock_recv(r, nullptr, 0);  // a blocking socket with nothing waiting
  ASSERT_LT(rc, 0);
  EXPECT_TRUE(sock_err_would_block(-rc)) << -rc;
  int s = sock_create(kSockDatagram);
  SockAddr4 to;
  sock_addr_make(&to, kLoop, port);
  char big[100];
  for (int i = 0; i < 100; ++i) big[i] = char(i);
  ASSERT_EQ(sock_sendto(s, big, 100, &to), 100);
  ASSERT_EQ(sock_wait(&set, 0, 5000, &woken), 1);
  EXPECT_TRUE(set.readable[0]);
  char small[10];
  SockAddr4 from;
  int full = 0;  // the full length of a datagram cut to the buffer
  EXPECT_EQ(sock_recvfrom(r, small, 10, &from, &full), 10);
  EXPECT_EQ(full, 100);
  EXPECT_EQ(small[9], 9);
  char text[32];
  sock_addr_text(&from, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  sock_close(s);
  EXPECT_EQ(sock_close(r), 0);
  // Datagram ports are shared, stream ports are not.
  int a = sock_create(kSockDatagram), b = sock_create(kSockDatagram);
  ASSERT_EQ(sock_set_reuseaddr(a) + sock_set_reuseaddr(b), 0);
  EXPECT_EQ(sock_bind_any(a, port), 0);
  EXPECT_EQ(sock_bind_any(b, port), 0);
  sock_close(a);
  sock_close(b);
  int l1 = sock_create(kSockStream), l2 = sock_create(kSockStream);
  ASSERT_EQ(sock_set_reuseaddr(l1) + sock_set_reuseaddr(l2), 0);
  ASSERT_EQ(sock_bind_any(l1, 0), 0);
  ASSERT_EQ(sock_listen(l1, -1), 0);
  SockAddr4 bound;
  ASSERT_EQ(sock_local_name(l1, &bound), 0);
  EXPECT_LT(sock_bind_any(l2, sock_addr_port(&bound)), 0);
  sock_close(l2);
  sock_close(l1);
}

TEST(WinSockets, StreamRoundTripAndARefusedConnectShowsInTheWait) {
  int l = sock_create(kSockStream);
  ASSERT_GT(l, 2);
  ASSERT_EQ(sock_bind_any(l, 0), 0);
  ASSERT_EQ(sock_listen(l, -1), 0);
  SockAddr4 bound, to;
  ASSERT_EQ(sock_local_name(l, &bound), 0);
  sock_addr_make(&to, kLoop, sock_addr_port(&bound));
  int c = sock_create(kSockStream);
  ASSERT_EQ(sock_connect(c, &to), 0);
  SockAddr4 peer;
  int a = sock_accept(l, &peer);
  ASSERT_GT(a, 2);
  EXPECT_EQ(sock_peer_name(c, nullptr), 0);
  ASSERT_EQ(sock_send(c, "ping", 4), 4);
  SockWaitSet set{};
  set.fd[0] = a;
  int woken;
  ASSERT_EQ(sock_wait(&set, 0, 5000, &woken), 1);
  char buf[8] = {};
  EXPECT_EQ(sock_recv(a, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "ping");
  sock_close(a);
  sock_close(c);
  sock_close(l);  // the port is free again: a connect to it is refused

  int n = sock_create(kSockStream);
  ASSERT_EQ(sock_set_nonblocking(n, 1), 0);
  int rc = sock_connect(n, &to);
  ASSERT_LT(rc, 0);
  EXPECT_TRUE(sock_err_would_block(-rc)) << -rc;
  SockWaitSet w{};
  w.fd[0] = n;
  w.want_write[0] = true;
  EXPECT_EQ(sock_wait(&w, 0, 5000, &woken), 1);
  EXPECT_TRUE(w.writable[0]);
  EXPECT_EQ(sock_pending_error(n), WSAECONNREFUSED);
  EXPECT_EQ(sock_peer_name(n, nullptr), -sock_err_not_connected_code());
  sock_close(n);
}

TEST(WinPaths, RootFilesUseBackslashesAndTheOverride) {
  char out[MAX_PATH];
  ASSERT_EQ(_putenv("QUMEX_ROOT="), 0);
  EXPECT_STREQ(plat_qumex_root(), "C:\\Qumex");
  ASSERT_EQ(plat_root_path("PREFERENCES/SETTINGS/DEVS.NIN", out, sizeof out), 0);
  EXPECT_STREQ(out, "C:\\Qumex\\PREFERENCES\\SETTINGS\\DEVS.NIN");
  ASSERT_EQ(_putenv("QUMEX_ROOT=Z:\\tmp\\root\\"), 0);
  ASSERT_EQ(plat_root_path("BIN/Tunecfg.", out, sizeof out), 0);
  EXPECT_STREQ(out, "Z:\\tmp\\root\\BIN\\Tunecfg.");
  EXPECT_EQ(plat_root_path("BIN/Tunecfg.", out, 10), 1);
  EXPECT_STREQ(out, "");
  ASSERT_EQ(_putenv("QUMEX_ROOT="), 0);
  ASSERT_EQ(plat_com_device_path(12, out, sizeof out), 0);
  EXPECT_STREQ(out, "\\\\.\\COM12");
  EXPECT_EQ(plat_com_device_path(0, out, sizeof out), 1);
}

TEST(WinConsoleKeys, BytesFromAPipeWithTimeoutsAndItsEnd) {
  HANDLE rd, wr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(rd), _O_RDONLY);
  ASSERT_GE(fd, 0);
  ConsoleKeys* k = console_keys_open(fd);
  ASSERT_NE(k, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(console_keys_get(k, 100), -1);
  EXPECT_GE(ms_since(start), 80);
  DWORD put;
  ASSERT_TRUE(WriteFile(wr, "ab", 2, &put, nullptr));
  EXPECT_EQ(console_keys_get(k, 2000), 'a');
  EXPECT_EQ(console_keys_get(k, 2000), 'b');
  CloseHandle(wr);
  EXPECT_EQ(console_keys_get(k, 2000), -2);
  console_keys_close(k);
  _close(fd);
}

namespace {

int env_com(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}

std::string com_name(int n) { return "\\\\.\\COM" + std::to_string(n); }

// Reads until want bytes came or two seconds passed, waiting for bytes between reads.
std::string read_some(SerialDevice* d, size_t want) {
  std::string got;
  auto start = Clock::now();
  while (got.size() < want && ms_since(start) < 2000) {
    SerialEventMark m;
    uint32_t ev = 0;
    if (d->event_mark(&m) != 0 || d->wait_event(SERDEV_EV_RXCHAR, m, nullptr, &ev) != 0) break;
    char buf[64];
    int n = 0;
    if (d->read(buf, sizeof buf, &n) != 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

}  // namespace

TEST(WinSerial, APortPairCarriesBytesAndAStopEndsAWait) {
  int a = env_com("LP_WIN_COM_A"), b = env_com("LP_WIN_COM_B");
  if (!a || !b) GTEST_SKIP() << "no COM port pair given (LP_WIN_COM_A, LP_WIN_COM_B)";
  EXPECT_EQ(plat_com_probe(a, nullptr), PLAT_COM_FREE);
  int err = 0;
  EXPECT_EQ(plat_com_probe(31, &err), PLAT_COM_ABSENT);
  EXPECT_NE(err, 0);

  SerialDevice *da = nullptr, *db = nullptr;
  ASSERT_EQ(serial_device_open(com_name(a).c_str(), &da), 0);
  ASSERT_EQ(serial_device_open(com_name(b).c_str(), &db), 0);
  // A second opener is refused by Windows but not by Wine: not checked here.

  SerialLineSettings s;
  s.baud = 19200;
  ASSERT_EQ(da->configure(s), 0);
  ASSERT_EQ(db->configure(s), 0);
  SerialLineSettings back;
  ASSERT_EQ(da->get_settings(&back), 0);
  EXPECT_EQ(back.baud, 19200);
  EXPECT_EQ(back.byte_size, 8);
  EXPECT_EQ(back.parity, 0);

  int n = -1;
  char buf[16];
  EXPECT_EQ(db->read(buf, sizeof buf, &n), 0);  // nothing waiting: at once, no bytes
  EXPECT_EQ(n, 0);
  int written = 0;
  ASSERT_EQ(da->write("hello", 5, nullptr, &written), 0);
  EXPECT_EQ(written, 5);
  EXPECT_EQ(read_some(db, 5), "hello");

  // A stop flag ends a wait that nothing else would end.
  std::atomic<bool> stop{false};
  SerialEventMark m;
  ASSERT_EQ(db->event_mark(&m), 0);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.store(true);
  });
  uint32_t ev = 1;
  auto start = Clock::now();
  EXPECT_EQ(db->wait_event(SERDEV_EV_RXCHAR | SERDEV_EV_DSR, m, &stop, &ev), ECANCELED);
  EXPECT_EQ(ev, 0u);
  EXPECT_LT(ms_since(start), 2000);
  t.join();

  EXPECT_EQ(da->close(), 0);
  EXPECT_EQ(db->close(), 0);
  delete da;
  delete db;
  EXPECT_EQ(plat_com_probe(a, nullptr), PLAT_COM_FREE);
}

namespace {
int g_alerts = 0;
void count_alert() { ++g_alerts; }
}  // namespace

TEST(WinSound, AMissingFileGivesTheAlertInstead) {
  plat_sound_set_alert(count_alert);
  EXPECT_EQ(plat_play_wav("C:\\no\\such\\reward.wav"), 1);
  EXPECT_EQ(plat_play_wav(nullptr), 1);
  EXPECT_EQ(g_alerts, 2);
  plat_sound_set_alert(nullptr);
}
