/* Sends WM_DELETE_WINDOW to a window, as a window manager's close box does.
   Usage: wm_delete <window id>. Exit code 0 once the message is sent. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: wm_delete <window id>\n");
    return 2;
  }
  char* end = NULL;
  unsigned long id = strtoul(argv[1], &end, 0);
  if (!end || *end || id == 0) {
    fprintf(stderr, "wm_delete: bad window id %s\n", argv[1]);
    return 2;
  }
  Display* d = XOpenDisplay(NULL);
  if (!d) {
    fprintf(stderr, "wm_delete: cannot open display\n");
    return 1;
  }
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = (Window)id;
  ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
  ev.xclient.data.l[1] = CurrentTime;
  Status ok = XSendEvent(d, (Window)id, False, NoEventMask, &ev);
  XSync(d, False);
  XCloseDisplay(d);
  return ok ? 0 : 1;
}
