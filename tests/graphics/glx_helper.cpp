// A small program run by the window tests in a child process, so that it can
// open its own display connection, switch video modes and end in every way.
// Usage: glx_helper <command>; prints its findings on standard output.
#include <X11/Xlib.h>
#include <X11/extensions/xf86vmode.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "graphics/x11_platform.h"
#include "input/keyboard_mouse.h"
#include "runtime/errors.h"
#include "runtime/startup.h"
#include "vex2d/graphics_mode.h"
#include "x_display.h"

using namespace kelpora;

namespace {

std::string command;

// The mode the server shows now, asked over a connection of our own.
void PrintCurrentMode(const char* label) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::printf("%s no display\n", label);
    return;
  }
  int dotClock = 0, event = 0, error = 0;
  if (!XF86VidModeQueryExtension(display, &event, &error)) {
    std::printf("%s none\n", label);  // Xvfb has no video modes
    XCloseDisplay(display);
    return;
  }
  XF86VidModeModeLine line{};
  XF86VidModeGetModeLine(display, DefaultScreen(display), &dotClock, &line);
  std::printf("%s %dx%d clock %d\n", label, line.hdisplay, line.vdisplay, dotClock);
  if (line.privsize) XFree(line.c_private);
  XCloseDisplay(display);
  std::fflush(stdout);
}

void OnExit() {
  std::printf("exit hook ran\n");
  std::fflush(stdout);
}

// What a window manager does when the user clicks the close button.
void SendCloseRequest(uint64_t window) {
  Display* display = XOpenDisplay(nullptr);
  kelpora::testing::SendCloseRequest(display, static_cast<Window>(window));
  XCloseDisplay(display);
}

// The canvas window's size and place on the screen, asked over a connection
// of our own once the library's requests have been handled.
std::string Geometry() {
  XSync(X11Display(), False);
  Display* display = XOpenDisplay(nullptr);
  if (!display) return "no display";
  Window window = RefCast<TGLGraphicsContext>(CurrentCanvas()->context)->WindowId(), child, root;
  int x = 0, y = 0, ignored;
  unsigned w = 0, h = 0, border, depth;
  XGetGeometry(display, window, &root, &ignored, &ignored, &w, &h, &border, &depth);
  XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
  XCloseDisplay(display);
  return std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(x) + "," +
         std::to_string(y);
}

// Frames until the window has the size wanted (the window manager answers
// in its own time), 30 s at most; then how it lies.
std::string SettleAt(int32_t width, int32_t height) {
  int32_t w = 0, h = 0;
  for (int i = 0; i < 3000; ++i) {
    ClearScreen();
    PresentFrame();
    GetWindowSize(w, h);
    if (w == width && h == height) break;
    usleep(10000);
  }
  // A window manager may move the window after sizing it: a few more frames.
  for (int i = 0; i < 20; ++i) {
    PresentFrame();
    usleep(10000);
  }
  return Geometry();
}

// Desktop full screen and back, as the window manager (or, without one, the
// library) does it, with the video mode before, during and after.
void DesktopFullScreen() {
  PrintCurrentMode("mode");
  TWindowOptions options;
  options.resizable = true;
  OpenCanvasWindow(160, 120, CANVAS_NO_SYNC, options);
  Display* display = X11Display();
  int32_t screenW = DisplayWidth(display, DefaultScreen(display));
  int32_t screenH = DisplayHeight(display, DefaultScreen(display));
  std::printf("screen %dx%d\n", screenW, screenH);
  // Somewhere else than where it opened, to see the place come back.
  SettleAt(160, 120);
  Display* own = XOpenDisplay(nullptr);
  XMoveWindow(own, RefCast<TGLGraphicsContext>(CurrentCanvas()->context)->WindowId(), 50, 40);
  XCloseDisplay(own);
  std::printf("window %s\n", SettleAt(160, 120).c_str());
  WindowSizeChanged();
  std::printf("toggle %d\n", SetDesktopFullScreen(true) ? 1 : 0);
  std::printf("full %s active %d\n", SettleAt(screenW, screenH).c_str(),
              DesktopFullScreenActive() ? 1 : 0);
  std::printf("size changed %d\n", WindowSizeChanged() ? 1 : 0);
  std::printf("canvas %dx%d\n", CanvasWidth(), CanvasHeight());
  PrintCurrentMode("mode");
  SetDesktopFullScreen(false);
  std::printf("back %s active %d\n", SettleAt(160, 120).c_str(),
              DesktopFullScreenActive() ? 1 : 0);
  options.desktopFullScreen = true;
  OpenCanvasWindow(160, 120, CANVAS_NO_SYNC, options);
  std::printf("opened full %s\n", SettleAt(screenW, screenH).c_str());
  PrintCurrentMode("mode");
  // A canvas of today's kind has no desktop full screen.
  OpenCanvas(160, 120, 0, CANVAS_NO_SYNC);
  std::printf("plain toggle %d\n", SetDesktopFullScreen(true) ? 1 : 0);
  CloseCanvas();
  PrintCurrentMode("mode");
}

void Main() {
  InitGLDriverModule();
  InitInputModule();  // the pump that sees the close request
  AddExitHook(OnExit);
  if (command == "list") {
    for (int32_t i = 0; i < CountDisplayModes(); ++i) {
      int32_t w, h, d, hz;
      GetDisplayMode(i, w, h, d, hz);
      std::printf("mode %dx%d depth %d rate %d\n", w, h, d, hz);
    }
    return;
  }
  if (command == "desktop-fullscreen") {
    DesktopFullScreen();
    return;
  }
  if (command == "missing") {
    try {
      OpenCanvas(1234, 567, 32, 60);
    } catch (const TRuntimeError& error) {
      std::printf("error: %s\n", error.what());
    }
    std::printf("window made: %d\n", GLSharedContextExists() ? 1 : 0);
    PrintCurrentMode("after");
    return;
  }
  if (command.starts_with("close-request")) {
    OpenCanvas(320, 240, 0, CANVAS_NO_SYNC);
    uint64_t window = RefCast<TGLGraphicsContext>(CurrentCanvas()->context)->WindowId();
    // Frames until a request shows; about 30 s at most.
    auto framesUntilRequest = [] {
      for (int i = 0; i < 3000 && !CloseRequested(); ++i) {
        ClearScreen();
        PresentFrame();
        usleep(10000);
      }
      return CloseRequested() ? 1 : 0;
    };
    if (command == "close-request-kept") {
      // A program that reads close requests decides itself.
      int before = CloseRequested() ? 1 : 0;
      SendCloseRequest(window);
      std::printf("close requested %d before %d\n", framesUntilRequest(), before);
      ClearCloseRequest();
      std::printf("after clear %d\n", CloseRequested() ? 1 : 0);
      SendCloseRequest(window);
      std::printf("second request %d\n", framesUntilRequest());
      std::fflush(stdout);
      std::exit(5);
    }
    if (command == "close-request-wait") {
      // Sent while the wait blocks, by a fresh copy of this program: the
      // child of a process with GL threads may only exec.
      std::string id = std::to_string(window);
      if (fork() == 0) {
        execl("/proc/self/exe", "glx_helper", "send-close", id.c_str(), nullptr);
        _exit(127);
      }
      WaitKeyCode();
    } else {
      SendCloseRequest(window);
      for (int i = 0; i < 300; ++i) {
        ClearScreen();
        PresentFrame();
        usleep(10000);
      }
    }
    std::printf("still running\n");
    std::exit(3);
  }
  // Full-screen commands: <width>x<height>@<rate>-<ending>.
  int width = 0, height = 0, rate = 0;
  std::sscanf(command.c_str(), "%dx%d@%d", &width, &height, &rate);
  OpenCanvas(width, height, 32, rate);
  PrintCurrentMode("open");
  int32_t w, h, d, hz;
  CanvasSettings(w, h, d, hz);
  std::printf("canvas %dx%d depth %d rate %d fullscreen %d\n", w, h, d, hz,
              GLFullScreenActive() ? 1 : 0);
  SetClearColor(0, 128, 255);
  ClearScreen();
  auto pixels = ReadPixmap(0, 0, w, h);
  std::printf("pixel %06x\n", pixels->PixelAt(w - 1, h - 1) & 0xFFFFFF);
  PresentFrame();
  std::fflush(stdout);
  const char* ending = std::strchr(command.c_str(), '-');
  std::string how = ending ? ending + 1 : "close";
  if (how == "close") {
    CloseCanvas();
    PrintCurrentMode("closed");
  } else if (how == "term") {
    std::raise(SIGTERM);
  } else if (how == "swaps" || how == "busy") {
    // Waits for the test's SIGTERM in a frame loop, or in a loop of its own.
    std::printf("looping\n");
    std::fflush(stdout);
    for (volatile bool forever = true; forever;) {
      if (how == "swaps") {
        ClearScreen();
        PresentFrame();
      }
    }
  } else if (how == "segv") {
    std::raise(SIGSEGV);
  } else if (how == "error") {
    RaiseError(u"failing on purpose");
  }
}

}  // namespace

int main(int argc, char** argv) {
  command = argc > 1 ? argv[1] : "";
  if (command == "send-close" && argc > 2) {
    usleep(300000);
    SendCloseRequest(std::stoull(argv[2]));
    return 0;
  }
  return RunApplication(argc, argv, Main);
}
