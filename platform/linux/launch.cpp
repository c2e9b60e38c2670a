#include "platform/launch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <linux/close_range.h>

int plat_launch_detached(const char* const* argv) {
  if (!argv || !argv[0]) return EINVAL;
  // The grandchild reports a failed exec through this pipe; a successful exec
  // closes it (close-on-exec) and the parent reads end of file.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(report[0]);
    close(report[1]);
    return e;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on: the parent may have threads.
    close(report[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) {
      int e = errno;
      (void)!write(report[1], &e, sizeof e);
      _exit(1);
    }
    if (grandchild > 0) _exit(0);  // re-parents the tool to init: no zombie for us
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      if (null_fd > 2) close(null_fd);
    }
    // The tool must not inherit our X connection or other descriptors; an old
    // kernel without close_range leaves them, which only costs descriptors.
    (void)close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    signal(SIGPIPE, SIG_DFL);
    execvp(argv[0], const_cast<char* const*>(argv));
    int e = errno;
    (void)!write(report[1], &e, sizeof e);
    _exit(127);
  }
  close(report[1]);
  int st;
  while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
  }
  int e = 0;
  ssize_t n;
  do {
    n = read(report[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  return (n == static_cast<ssize_t>(sizeof e)) ? e : 0;
}

// The Linux counterparts of the Windows tools. A tool that is not installed
// shows nothing, as a missing Windows tool does.
int plat_launch_tool(int tool, const char* /*system_command*/) {
  static const char* const device_manager[] = {
      "x-terminal-emulator", "-e", "sh", "-c",
      "echo 'USB devices:'; lsusb; echo; echo 'Serial devices:'; ls -l /dev/serial/by-id; "
      "echo; echo 'Press Enter to close.'; read -r _",
      nullptr};
  static const char* const network[] = {"nm-connection-editor", nullptr};
  static const char* const cmd[] = {"x-terminal-emulator", nullptr};
  switch (tool) {
    case PLAT_TOOL_DEVICE_MANAGER:
      return plat_launch_detached(device_manager);
    case PLAT_TOOL_NETWORK:
      return plat_launch_detached(network);
    case PLAT_TOOL_CMD:
      return plat_launch_detached(cmd);
    default:
      return EINVAL;
  }
}
