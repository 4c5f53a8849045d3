#include "x_session.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "x_display.h"

namespace kelpora::testing {

namespace {
Display* AsDisplay(void* display) { return static_cast<Display*>(display); }

// The 640×480 child of the root window, preferring a mapped one; 0 if none.
Window FindDemoWindow(Display* display, bool mustBeViewable) {
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return 0;
  Window target = 0;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) && attributes.width == 640 &&
        attributes.height == 480 && (!mustBeViewable || attributes.map_state == IsViewable))
      target = children[i];
  }
  if (children) XFree(children);
  return target;
}
}  // namespace

void Shot::SavePpm(const std::string& path) const {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
}

XSession::XSession() {
  for (int attempt = 0; attempt < 20 && !display_; ++attempt) {
    int number = 40 + (getpid() + attempt * 7) % 50;
    if (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) continue;
    displayName_ = ":" + std::to_string(number);
    server_ = std::make_unique<ChildProcess>(
        "/usr/bin/Xvfb", std::vector<std::string>{displayName_, "-screen", "0", "1024x768x24",
                                                  "-nolisten", "tcp", "+extension", "GLX"});
    for (int wait = 0; wait < 100 && !display_ && server_->Running(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      display_ = XOpenDisplay(displayName_.c_str());
    }
    if (!display_) server_.reset();
  }
  if (!display_) throw std::runtime_error("could not start a private Xvfb");
}

XSession::~XSession() {
  if (display_) XCloseDisplay(AsDisplay(display_));
  if (server_) {
    server_->Signal(SIGTERM);
    server_->Wait(5000);
  }
}

Shot XSession::Grab(int x, int y, int width, int height) {
  Display* display = AsDisplay(display_);
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  Shot shot;
  if (!image) return shot;
  shot.width = width;
  shot.height = height;
  shot.rgb.resize(static_cast<size_t>(width) * height * 3);
  for (int row = 0; row < height; ++row)
    for (int column = 0; column < width; ++column) {
      unsigned long pixel = XGetPixel(image, column, row);
      uint8_t* out = &shot.rgb[(static_cast<size_t>(row) * width + column) * 3];
      out[0] = static_cast<uint8_t>((pixel & image->red_mask) >> 16);
      out[1] = static_cast<uint8_t>((pixel & image->green_mask) >> 8);
      out[2] = static_cast<uint8_t>(pixel & image->blue_mask);
    }
  XDestroyImage(image);
  return shot;
}

void XSession::TapKey(unsigned long keysym) {
  Display* display = AsDisplay(display_);
  KeyCode code = XKeysymToKeycode(display, keysym);
  XTestFakeKeyEvent(display, code, True, 0);
  XFlush(display);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  XTestFakeKeyEvent(display, code, False, 0);
  XFlush(display);
}

bool XSession::SendCloseRequest() {
  Display* display = AsDisplay(display_);
  Window target = FindDemoWindow(display, true);
  if (!target) return false;
  testing::SendCloseRequest(display, target);
  return true;
}

bool XSession::WatchPresentations() {
  Display* display = AsDisplay(display_);
  int errorBase = 0;
  if (!XDamageQueryExtension(display, &damageEventBase_, &errorBase))
    throw std::runtime_error("the X server has no DAMAGE extension");
  Window target = FindDemoWindow(display, false);
  if (!target) return false;
  damage_ = XDamageCreate(display, target, XDamageReportRawRectangles);
  XFlush(display);
  return true;
}

int XSession::NextPresentations(int timeoutMs, int x, int y, int width, int height, Shot& shot) {
  Display* display = AsDisplay(display_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int count = 0;
  for (;;) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != damageEventBase_ + XDamageNotify) continue;
      auto& notify = reinterpret_cast<XDamageNotifyEvent&>(event);
      if (notify.damage == damage_ && notify.area.width == 640 && notify.area.height == 480)
        ++count;
    }
    if (count > 0) {
      // The server sends the damage of every swap it ran before the grab
      // ahead of the grab's reply: an empty queue means nothing newer shows.
      shot = Grab(x, y, width, height);
      if (XEventsQueued(display, QueuedAlready) == 0) return count;
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(left.count()));
  }
}

}  // namespace kelpora::testing
