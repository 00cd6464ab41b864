/* Asks a window to close as a window manager's close box does: a WM_DELETE_WINDOW message.
 *   xclose WINDOW_ID */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: xclose WINDOW_ID\n");
    return 2;
  }
  /* 0 would be taken as "the window under the pointer": a close sent to nobody. */
  Window w = (Window)strtoul(argv[1], NULL, 0);
  if (w == 0) {
    fprintf(stderr, "xclose: no window given\n");
    return 2;
  }
  /* A busy X server may turn a connection away now and then: try again. */
  Display* d = NULL;
  for (int i = 0; i < 20 && !d; i++) {
    d = XOpenDisplay(NULL);
    if (!d) usleep(20000);
  }
  if (!d) {
    fprintf(stderr, "xclose: no display\n");
    return 1;
  }
  XEvent e = {0};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, e.xclient.window, False, NoEventMask, &e);
  XSync(d, False);
  XCloseDisplay(d);
  return 0;
}
