// A serial port node with no UART behind it, as a desktop user outside the dialout
// group meets it: the open is refused, yet the port does not exist.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
  // As a user who may not open them (COM3 has no UART, COM4 has one and refuses), the
  // states and the game link's answer come back as the exit code.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    probe_com_ports(COM_PORTS, com_port_states);
    read_device_settings();
    _exit(com_port_states[3] * 100 + com_port_states[4] * 10 + (open_game_link() == GAME_LINK_NO_PORT));
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 21) << status;
}

}  // namespace
