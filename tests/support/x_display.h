// Opens an X display the way the library does: a server busy with many
// parallel test programs can turn a connection away for a moment (its queue
// of pending connections is short), so try again for up to a second. And the
// close request that the tests send in a window manager's place.
#pragma once

#include <X11/Xlib.h>

#include <ctime>

namespace kelpora::testing {

inline Display* OpenDisplayPatiently(const char* name = nullptr) {
  Display* display = XOpenDisplay(name);
  for (int attempt = 0; !display && attempt < 40; ++attempt) {
    timespec pause{0, 25000000L};
    nanosleep(&pause, nullptr);
    display = XOpenDisplay(name);
  }
  return display;
}

// What a window manager does when the user clicks a window's close button.
inline void SendCloseRequest(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

}  // namespace kelpora::testing
