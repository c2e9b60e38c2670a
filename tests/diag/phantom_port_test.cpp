// A serial port node with no UART behind it, as a desktop user outside the dialout
// group meets it: the open is refused, yet the port does not exist.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "diag/gamecomm.h"
#include "platform/com_probe.h"
#include "probe/ports.h"
#include "probe/settings.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

TEST(PhantomPort, RefusedNodeWithoutUartIsAbsentAndTheGameLinkSaysSo) {
  TempRoot sys, root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);  // the refused user must reach both roots
  ASSERT_EQ(chmod(sys.path().c_str(), 0755), 0);
  sys.as_sysroot();
  Pty phantom, uart;
  // What sysfs tells every user about the tty behind a node: its UART type (0: none).
  for (const auto& p : {std::pair<Pty*, const char*>{&phantom, "0\n"}, {&uart, "4\n"}}) {
    struct stat st;
    ASSERT_EQ(fstat(p.first->slave, &st), 0);
    ASSERT_TRUE(sys.write("sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev)) + "/type", p.second));
  }
  ASSERT_TRUE(root.symlink_to("dev/COM3", phantom.name));
  ASSERT_TRUE(root.symlink_to("dev/COM4", uart.name));
  ASSERT_TRUE(root.devs("DisplayMode=2\nCommunications_class=Serial\nGame_comm=COM3\n"));
  // Opened by whoever may: still no port without its UART.
  EXPECT_EQ(plat_com_probe(3, nullptr), PLAT_COM_ABSENT);
  EXPECT_EQ(plat_com_probe(4, nullptr), PLAT_COM_FREE);
  ASSERT_EQ(fchmod(phantom.slave, 0), 0);
  ASSERT_EQ(fchmod(uart.slave, 0), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    probe_com_ports(COM_PORTS, com_port_states);
    read_device_settings();
    unsigned char out[3] = {com_port_states[3], com_port_states[4], static_cast<unsigned char>(open_game_link())};
    _exit(write(fds[1], out, sizeof out) == sizeof out ? 0 : 4);
  }
  close(fds[1]);
  unsigned char got[3] = {9, 9, 99};
  ssize_t n = read(fds[0], got, sizeof got);
  close(fds[0]);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(n, 3);
  EXPECT_EQ(got[0], 0) << "COM3 has no UART";
  EXPECT_EQ(got[1], 2) << "COM4 has one and refuses this user";
  EXPECT_EQ(got[2], GAME_LINK_NO_PORT);
}

}  // namespace
