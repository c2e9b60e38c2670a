/* Sends WM_DELETE_WINDOW to a window, as a window manager's close box does.
   Usage: wm_delete <window id>. Exit code 0 once the message is sent. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  char* end = NULL;
  unsigned long id = argc == 2 ? strtoul(argv[1], &end, 0) : 0;
  Display* d = id != 0 && *end == '\0' ? XOpenDisplay(NULL) : NULL;
  if (!d) {
    fprintf(stderr, "usage: wm_delete <window id> (with a display)\n");
    return 2;
  }
  XEvent ev = {0};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = (Window)id;
  ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
  Status ok = XSendEvent(d, (Window)id, False, NoEventMask, &ev);
  XSync(d, False);
  XCloseDisplay(d);
  return ok ? 0 : 1;
}
