// Opens an X display the way the library does: a server busy with many
// parallel test programs can turn a connection away for a moment (its queue
// of pending connections is short), so try again for up to a second.
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

}  // namespace kelpora::testing
