#include "graphics/glx_window.h"

#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/xf86vmode.h>
#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "graphics/canvas_scaling.h"
#include "graphics/glx_desktop.h"
#include "graphics/x11_platform.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/termination.h"
#include "runtime/text.h"

namespace kelpora {

struct GLContextRecord {
  Window window = 0;
  GLXContext context = nullptr;
  bool ownsWindow = false;  // false for a foreign window given to OpenOnWindow
  // A scaled canvas is drawn into a framebuffer object of its own size and
  // scaled into the window, whatever size that has, at every Present.
  bool scaled = false;
  int32_t scaling = SCALE_SMOOTH;
  int32_t canvasWidth = 0, canvasHeight = 0;
  int32_t windowWidth = 0, windowHeight = 0;  // as of the last Present
  bool sizeChanged = false;
  uint32_t framebuffer = 0, texture = 0;
  bool desktopFullScreen = false;
  bool byWindowManager = false;  // full screen asked of the window manager
  TWindowPlace saved{};  // the place and size to go back to without a window manager
};

namespace {

// One instance per process, never destroyed: exit hooks use it while static
// destructors run.
struct TPlatform {
  Display* display = nullptr;
  int screen = 0;
  XVisualInfo* visual = nullptr;
  bool vidModeAvailable = false;
  XF86VidModeModeInfo** modeLines = nullptr;
  int modeCount = 0;
  XF86VidModeModeInfo* chosenMode = nullptr;
  XF86VidModeModeInfo desktopMode{};  // the mode shown when full screen opened
  bool haveDesktopMode = false;
  bool fullScreen = false;
  Cursor blankCursor = 0;
  GLContextRecord* current = nullptr;
  GLContextRecord* selected = nullptr;
  GLContextRecord* shared = nullptr;
  uint32_t sharedSerial =
      0;  // counts the shared contexts made, so a new one never passes for an old one
  Window currentWindow = 0;
  Atom deleteWindowAtom = 0;
  std::vector<GLContextRecord*> live;  // records not yet closed
  bool exitHookAdded = false;
  String title;  // set by SetWindowTitle
  bool titleSet = false;
  TWindowOptions pendingOptions;  // for the window OpenCanvasWindow is opening
  bool optionsPending = false;
};

TPlatform& P() {
  static auto* platform = new TPlatform();
  return *platform;
}

bool IsLive(GLContextRecord* record) {
  auto& live = P().live;
  return record && std::find(live.begin(), live.end(), record) != live.end();
}

void ExitCleanup();

bool OpenDisplay() {
  TPlatform& p = P();
  if (p.display) return true;
  p.display = XOpenDisplay(nullptr);
  // A busy server can turn a connection away for a moment (its queue of
  // pending connections is short): try a few more times before giving up.
  const char* name = std::getenv("DISPLAY");
  for (int attempt = 0; !p.display && name && *name && attempt < 20; ++attempt) {
    timespec pause{0, 25000000L};
    nanosleep(&pause, nullptr);
    p.display = XOpenDisplay(nullptr);
  }
  if (!p.display) return false;
  p.screen = DefaultScreen(p.display);
  int major = 0, minor = 0;
  glXQueryVersion(p.display, &major, &minor);
  int eventBase = 0, errorBase = 0;
  // Asking a server without the extension would make Xlib print a complaint.
  p.vidModeAvailable = XF86VidModeQueryExtension(p.display, &eventBase, &errorBase) &&
                       XF86VidModeQueryVersion(p.display, &major, &minor);
  int attributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, None};
  p.visual = glXChooseVisual(p.display, p.screen, attributes);
  p.deleteWindowAtom = XInternAtom(p.display, "WM_DELETE_WINDOW", False);
  if (!p.exitHookAdded) {
    p.exitHookAdded = true;
    AddExitHook(ExitCleanup);
  }
  return true;
}

void (*flushHook)() = nullptr;

void FlushHeldDrawing() {
  if (flushHook) flushHook();
}

void PlatformMakeCurrent(GLContextRecord* record) {
  TPlatform& p = P();
  if (!record || record == p.current || !p.display) return;
  FlushHeldDrawing();
  glXMakeCurrent(p.display, record->window, record->context);
  p.current = record;
}

// Notes the window's size now; a change is kept for WindowSizeChanged.
void ReadWindowSize(GLContextRecord* record) {
  TPlatform& p = P();
  Window root;
  int x, y;
  unsigned w = 0, h = 0, border, depth;
  if (!XGetGeometry(p.display, record->window, &root, &x, &y, &w, &h, &border, &depth)) return;
  if (static_cast<int32_t>(w) != record->windowWidth ||
      static_cast<int32_t>(h) != record->windowHeight) {
    record->windowWidth = static_cast<int32_t>(w);
    record->windowHeight = static_cast<int32_t>(h);
    record->sizeChanged = true;
  }
}

TCanvasViewport ViewportOf(const GLContextRecord* record) {
  return FitCanvas(record->canvasWidth, record->canvasHeight, record->windowWidth,
                   record->windowHeight, record->scaling);
}

// Draws the finished canvas into the window's back buffer at the window's size now.
void ShowScaledCanvas(GLContextRecord* record) {
  ReadWindowSize(record);
  DrawCanvasScaled(record->texture, ViewportOf(record), record->windowWidth,
                   record->windowHeight);
}

// Framebuffer objects belong to their context, but the texture lives in the
// group that shares textures: both go explicitly, in the record's context.
void DeleteCanvasFramebuffer(GLContextRecord* record) {
  TPlatform& p = P();
  if (!record->framebuffer && !record->texture) return;
  if (p.current != record) FlushHeldDrawing();
  glXMakeCurrent(p.display, record->window, record->context);
  p.current = record;
  DeleteCanvasTarget(record->framebuffer, record->texture);
}

GLContextRecord* ScaledRecordOf(Window window) {
  for (GLContextRecord* record : P().live) {
    if (record->scaled && record->window == window) return record;
  }
  return nullptr;
}

void FreeModeLines() {
  TPlatform& p = P();
  if (p.modeLines) XFree(p.modeLines);
  p.modeLines = nullptr;
  p.modeCount = 0;
  p.chosenMode = nullptr;
}

// Notes the mode the screen shows before full screen switches away from it.
// The server's list entry with the same timings is kept whole; without one
// the timings themselves serve. Without an answer the first line is the guess.
void RememberDesktopMode() {
  TPlatform& p = P();
  int dotClock = 0;
  XF86VidModeModeLine line{};
  p.haveDesktopMode = XF86VidModeGetModeLine(p.display, p.screen, &dotClock, &line);
  if (!p.haveDesktopMode) return;
  if (line.privsize && line.c_private) XFree(line.c_private);
  XF86VidModeModeInfo& mode = p.desktopMode;
  mode = XF86VidModeModeInfo{};
  mode.dotclock = static_cast<unsigned>(dotClock);
  mode.hdisplay = line.hdisplay;
  mode.hsyncstart = line.hsyncstart;
  mode.hsyncend = line.hsyncend;
  mode.htotal = line.htotal;
  mode.hskew = line.hskew;
  mode.vdisplay = line.vdisplay;
  mode.vsyncstart = line.vsyncstart;
  mode.vsyncend = line.vsyncend;
  mode.vtotal = line.vtotal;
  mode.flags = line.flags;
  for (int i = 0; i < p.modeCount; ++i) {
    const XF86VidModeModeInfo& listed = *p.modeLines[i];
    if (listed.dotclock == mode.dotclock && listed.hdisplay == mode.hdisplay &&
        listed.hsyncstart == mode.hsyncstart && listed.hsyncend == mode.hsyncend &&
        listed.htotal == mode.htotal && listed.vdisplay == mode.vdisplay &&
        listed.vsyncstart == mode.vsyncstart && listed.vsyncend == mode.vsyncend &&
        listed.vtotal == mode.vtotal && listed.flags == mode.flags) {
      mode = listed;
      break;
    }
  }
  // The list's private data goes with the list.
  mode.privsize = 0;
  mode.c_private = nullptr;
}

// A second connection, opened on the main thread when full screen first
// opens and never closed: the termination watchdog and the crash handler put
// the desktop mode back through it, never through the main connection, whose
// lock an interrupted driver call may hold.
struct TEmergencyMode {
  Display* display = nullptr;
  int screen = 0;
  XF86VidModeModeInfo mode{};
};

TEmergencyMode& Emergency() {
  static auto* emergency = new TEmergencyMode();
  return *emergency;
}

void EmergencyRestoreMode() {
  TEmergencyMode& e = Emergency();
  XF86VidModeSetViewPort(e.display, e.screen, 0, 0);
  XF86VidModeSwitchToMode(e.display, e.screen, &e.mode);
  XSync(e.display, False);
}

void ArmEmergencyRestore() {
  TPlatform& p = P();
  TEmergencyMode& e = Emergency();
  if (!p.haveDesktopMode && !(p.modeLines && p.modeCount > 0)) return;
  if (!e.display) e.display = XOpenDisplay(DisplayString(p.display));
  if (!e.display) return;
  e.screen = p.screen;
  e.mode = p.haveDesktopMode ? p.desktopMode : *p.modeLines[0];
  e.mode.privsize = 0;
  e.mode.c_private = nullptr;
  SetEmergencyRestore(EmergencyRestoreMode);
}

// Back to the mode that was active when full screen opened.
void RestoreDesktopMode() {
  TPlatform& p = P();
  if (!p.fullScreen) return;
  SetEmergencyRestore(nullptr);
  if (p.display && (p.haveDesktopMode || (p.modeLines && p.modeCount > 0))) {
    XF86VidModeSetViewPort(p.display, p.screen, 0, 0);
    XF86VidModeSwitchToMode(p.display, p.screen,
                            p.haveDesktopMode ? &p.desktopMode : p.modeLines[0]);
    XSync(p.display, False);
  }
  FreeModeLines();
  p.haveDesktopMode = false;
  p.fullScreen = false;
}

// Releases the record's context (and the full-screen mode). The record itself
// is freed only by its owner (`free` false leaves it allocated).
void CloseRecord(GLContextRecord* record, bool free = true) {
  TPlatform& p = P();
  if (!record) return;
  if (IsLive(record)) {
    std::erase(p.live, record);
    if (p.display) {
      if (p.current == record) FlushHeldDrawing();
      DeleteCanvasFramebuffer(record);
      glXMakeCurrent(p.display, None, nullptr);
      p.current = nullptr;
      if (record->context) glXDestroyContext(p.display, record->context);
      if (record->ownsWindow && p.fullScreen && record->window == p.currentWindow) {
        XUngrabPointer(p.display, CurrentTime);
        XUngrabKeyboard(p.display, CurrentTime);
      }
      RestoreDesktopMode();
      // A closed canvas should not leave a dead window on the desktop.
      if (record->ownsWindow) XDestroyWindow(p.display, record->window);
      XFlush(p.display);
    }
  }
  if (p.current == record) p.current = nullptr;
  if (p.selected == record) p.selected = nullptr;
  if (p.shared == record) p.shared = nullptr;
  if (record->window == p.currentWindow) p.currentWindow = 0;
  if (free) delete record;
}

void ExitCleanup() {
  TPlatform& p = P();
  // A crashed thread may be inside the driver: the crash handler restored
  // the mode on the side, and nothing here may wait on the driver's locks.
  if (CrashInProgress()) return;
  // A visible record stays with the context object that owns it.
  if (p.current) CloseRecord(p.current, p.current == p.shared);
  RestoreDesktopMode();
  if (!p.display) return;
  // Every other context too: GL keeps memory for contexts that are never
  // destroyed even after the connection closes.
  while (!p.live.empty()) {
    GLContextRecord* record = p.live.back();
    CloseRecord(record, record == p.shared);
  }
  if (p.blankCursor) XFreeCursor(p.display, p.blankCursor);
  p.blankCursor = 0;
  if (p.visual) XFree(p.visual);
  p.visual = nullptr;
  XCloseDisplay(p.display);
  p.display = nullptr;
  p.currentWindow = 0;
  p.current = nullptr;
  p.selected = nullptr;
}

XF86VidModeModeInfo* PickModeLine(int32_t width, int32_t height, int32_t hertz) {
  TPlatform& p = P();
  for (int i = 0; i < p.modeCount; ++i) {
    XF86VidModeModeInfo* line = p.modeLines[i];
    if (line->hdisplay == width && line->vdisplay == height &&
        ModeRefreshRate(static_cast<int32_t>(line->dotclock), line->htotal, line->vtotal,
                        line->flags) == hertz) {
      return line;
    }
  }
  for (int i = 0; i < p.modeCount; ++i) {
    XF86VidModeModeInfo* line = p.modeLines[i];
    if (line->hdisplay == width && line->vdisplay == height) return line;
  }
  return nullptr;
}

void MakeBlankCursor(Window window) {
  TPlatform& p = P();
  static const char zeros[8] = {};
  Pixmap bitmap = XCreateBitmapFromData(p.display, window, zeros, 8, 8);
  XColor black = {};
  black.flags = DoRed | DoGreen | DoBlue;
  if (p.blankCursor) XFreeCursor(p.display, p.blankCursor);
  p.blankCursor = XCreatePixmapCursor(p.display, bitmap, bitmap, &black, &black, 0, 0);
  XFreePixmap(p.display, bitmap);
}

// Task bars and window lists show these: the title, and WM_CLASS as the
// executable's name and the title.
void NameWindow(Window window, bool setClass) {
  TPlatform& p = P();
  String title = WindowTitle();
  title = title.substr(0, title.find(u'\0'));  // X properties of text end at a NUL
  std::string name = ToUtf8(title);
  Atom utf8String = XInternAtom(p.display, "UTF8_STRING", False);
  for (const char* property : {"_NET_WM_NAME", "_NET_WM_ICON_NAME"}) {
    XChangeProperty(p.display, window, XInternAtom(p.display, property, False), utf8String, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(name.data()),
                    static_cast<int>(name.size()));
  }
  // WM_NAME as STRING (Latin-1) where the title fits, which every window
  // manager reads; else as UTF8_STRING. Xlib's own conversions depend on the
  // process's locale.
  bool latin1 = std::all_of(title.begin(), title.end(), [](char16_t c) { return c <= 0xFF; });
  std::string bytes = latin1 ? ToBytes(title) : name;
  XTextProperty text{};
  text.value = reinterpret_cast<unsigned char*>(bytes.data());
  text.encoding = latin1 ? XA_STRING : utf8String;
  text.format = 8;
  text.nitems = bytes.size();
  XSetWMName(p.display, window, &text);
  XSetWMIconName(p.display, window, &text);
  if (!setClass) return;
  std::string instance = ToBytes(ApplicationState.exePath);
  instance = instance.substr(instance.rfind('/') + 1);
  if (instance.empty() || instance == ".") instance = program_invocation_short_name;
  std::string className = bytes.empty() ? instance : bytes;
  XClassHint hint{instance.data(), className.data()};
  XSetClassHint(p.display, window, &hint);
}

GLContextRecord* CreateRecord(int32_t width, int32_t height, int32_t depth, int32_t hertz);

bool EnsureSharedRecord() {
  TPlatform& p = P();
  if (!p.shared) {
    p.shared = CreateRecord(0, 0, 0, 0);
    if (p.shared && ++p.sharedSerial == 0) p.sharedSerial = 1;
  }
  return p.shared != nullptr;
}

// Width and height 0 make the hidden 100 × 100 shared context.
GLContextRecord* CreateRecord(int32_t width, int32_t height, int32_t depth, int32_t hertz) {
  TPlatform& p = P();
  if (!OpenDisplay() || !p.visual) return nullptr;
  GLXContext shareList = nullptr;
  bool visible = width != 0 || height != 0;
  if (visible) {
    if (!EnsureSharedRecord()) return nullptr;
    shareList = p.shared->context;
  } else {
    width = 100;
    height = 100;
  }
  // A zero or negative size is not a window X can make.
  if (width <= 0 || height <= 0) return nullptr;
  Window root = RootWindow(p.display, p.screen);
  XSetWindowAttributes attributes = {};
  attributes.border_pixel = 0;
  attributes.colormap = XCreateColormap(p.display, root, p.visual->visual, AllocNone);
  Window window = 0;
  bool fullScreen = depth != 0 && visible;
  TWindowOptions options = visible && !fullScreen && p.optionsPending ? p.pendingOptions
                                                                       : TWindowOptions{};
  bool scaled = options.resizable || options.desktopFullScreen;
  bool askWindowManager =
      options.desktopFullScreen && WindowManagerOffersFullScreen(p.display, p.screen);
  if (fullScreen) {
    if (p.fullScreen || !p.vidModeAvailable) {
      XFreeColormap(p.display, attributes.colormap);
      return nullptr;
    }
    FreeModeLines();
    if (!XF86VidModeGetAllModeLines(p.display, p.screen, &p.modeCount, &p.modeLines)) {
      p.modeLines = nullptr;
      p.modeCount = 0;
    }
    p.chosenMode = PickModeLine(width, height, hertz);
    if (!p.chosenMode) {
      FreeModeLines();
      XFreeColormap(p.display, attributes.colormap);
      return nullptr;
    }
    RememberDesktopMode();
    ArmEmergencyRestore();
    XF86VidModeSwitchToMode(p.display, p.screen, p.chosenMode);
    XF86VidModeSetViewPort(p.display, p.screen, 0, 0);
    attributes.override_redirect = True;
    attributes.event_mask = StructureNotifyMask | ResizeRedirectMask | FocusChangeMask;
    window =
        XCreateWindow(p.display, root, 0, 0, p.chosenMode->hdisplay, p.chosenMode->vdisplay, 0,
                      p.visual->depth, InputOutput, p.visual->visual,
                      CWBorderPixel | CWOverrideRedirect | CWEventMask | CWColormap, &attributes);
    p.fullScreen = true;
  } else {
    // Resizing by the window manager is turned back, except where the canvas scales.
    attributes.event_mask = StructureNotifyMask | (scaled ? 0 : ResizeRedirectMask);
    window = XCreateWindow(p.display, root, 0, 0, static_cast<unsigned>(width),
                           static_cast<unsigned>(height), 0, p.visual->depth, InputOutput,
                           p.visual->visual, CWBorderPixel | CWEventMask | CWColormap, &attributes);
  }
  GLXContext context = glXCreateContext(p.display, p.visual, shareList, True);
  if (!context) {
    XDestroyWindow(p.display, window);
    if (fullScreen) RestoreDesktopMode();
    return nullptr;
  }
  auto* record = new GLContextRecord{window, context, true};
  p.live.push_back(record);
  if (scaled) {
    record->scaled = true;
    record->scaling = options.scaling;
    record->canvasWidth = record->windowWidth = width;
    record->canvasHeight = record->windowHeight = height;
    record->desktopFullScreen = options.desktopFullScreen;
    record->byWindowManager = askWindowManager;
    if (askWindowManager) {
      // Asked before mapping, the window manager maps it full screen at once.
      Atom state = XInternAtom(p.display, "_NET_WM_STATE_FULLSCREEN", False);
      XChangeProperty(p.display, window, XInternAtom(p.display, "_NET_WM_STATE", False), XA_ATOM,
                      32, PropModeReplace, reinterpret_cast<unsigned char*>(&state), 1);
    }
  }
  if (visible) {
    // A close from the window manager ends the program normally (event pump).
    XSetWMProtocols(p.display, window, &p.deleteWindowAtom, 1);
    NameWindow(window, true);
    XMapRaised(p.display, window);
    if (fullScreen) {
      XWarpPointer(p.display, None, window, 0, 0, 0, 0, 0, 0);
      XGrabKeyboard(p.display, window, True, GrabModeAsync, GrabModeAsync, CurrentTime);
      XGrabPointer(p.display, window, True, ButtonPressMask, GrabModeAsync, GrabModeAsync, window,
                   None, CurrentTime);
    }
    glXMakeCurrent(p.display, window, context);
    p.current = record;
    XEvent event;
    XIfEvent(
        p.display, &event,
        [](Display*, XEvent* e, XPointer arg) -> Bool {
          return e->type == MapNotify && e->xmap.window == *reinterpret_cast<Window*>(arg);
        },
        reinterpret_cast<XPointer>(&window));
    XSelectInput(p.display, window,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | (scaled ? 0 : ResizeRedirectMask));
    MakeBlankCursor(window);
    p.currentWindow = window;
    if (scaled && !MakeCanvasTarget(width, height, options.scaling, record->framebuffer,
                                    record->texture)) {
      CloseRecord(record);
      return nullptr;
    }
    if (options.desktopFullScreen && !askWindowManager) {
      record->saved = CoverScreen(p.display, p.screen, window);
    }
  }
  PumpInputSource();
  return record;
}

}  // namespace

Display* X11Display() { return P().display; }
unsigned long X11CurrentWindow() { return P().currentWindow; }
unsigned long X11DeleteWindowAtom() { return P().deleteWindowAtom; }

int32_t ModeRefreshRate(int32_t dotClockKHz, int32_t hTotal, int32_t vTotal, uint32_t flags) {
  double total = static_cast<double>(hTotal) * static_cast<double>(vTotal);
  if (total <= 0) return 0;
  double rate = static_cast<double>(dotClockKHz) * 1000.0 / total;
  // At most 2^31 kHz over a total of 1: far inside 64 bits, doubled or not.
  if (!(std::fabs(rate) < 4e12)) return 0;
  int64_t hertz = static_cast<int64_t>(rate);
  if (flags & 0x10) hertz *= 2;
  if (flags & 0x20) hertz >>= 1;
  return hertz >= INT32_MIN && hertz <= INT32_MAX ? static_cast<int32_t>(hertz) : 0;
}

TGLGraphicsContext::~TGLGraphicsContext() {
  // A context dropped without Close still gives its GL context back.
  if (record_) CloseRecord(record_);
}

Ref<TGLGraphicsContext> TGLGraphicsContext::FromRecord(GLContextRecord* record) {
  return MakeRef<TGLGraphicsContext>(record);
}

void TGLGraphicsContext::MakeCurrent() {
  if (!IsLive(record_)) return;
  PlatformMakeCurrent(record_);
  P().selected = record_;
}

void SetGLFlushHook(void (*flush)()) { flushHook = flush; }

void TGLGraphicsContext::Present() {
  TPlatform& p = P();
  FlushHeldDrawing();
  if (IsLive(record_) && p.display) {
    if (record_->scaled) {
      PlatformMakeCurrent(record_);
      ShowScaledCanvas(record_);
    }
    glXSwapBuffers(p.display, record_->window);
    if (record_->scaled) BindCanvasTarget(record_->framebuffer);
  }
  PumpInputSource();
  p.selected = nullptr;
}

void TGLGraphicsContext::GetSize(int32_t& width, int32_t& height) {
  width = 0;
  height = 0;
  TPlatform& p = P();
  if (!IsLive(record_) || !p.display) return;
  if (record_->scaled) {
    width = record_->canvasWidth;
    height = record_->canvasHeight;
    return;
  }
  Window root;
  int x, y;
  unsigned w = 0, h = 0, border, depth;
  if (XGetGeometry(p.display, record_->window, &root, &x, &y, &w, &h, &border, &depth)) {
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
  }
}

void TGLGraphicsContext::Close() {
  GLContextRecord* record = record_;
  record_ = nullptr;
  CloseRecord(record);
}

uint64_t TGLGraphicsContext::WindowId() const { return IsLive(record_) ? record_->window : 0; }

Ref<TGraphicsContext> TGLGraphicsDriver::OpenOnWindow(uint64_t window, int32_t) {
  TPlatform& p = P();
  if (!OpenDisplay() || !p.visual || !EnsureSharedRecord()) return nullptr;
  GLXContext context = glXCreateContext(p.display, p.visual, p.shared->context, True);
  if (!context) return nullptr;
  auto* record = new GLContextRecord{static_cast<Window>(window), context, false};
  p.live.push_back(record);
  glXMakeCurrent(p.display, record->window, context);
  p.current = record;
  p.currentWindow = record->window;
  return TGLGraphicsContext::FromRecord(record);
}

Ref<TGraphicsContext> TGLGraphicsDriver::OpenGraphics(int32_t width, int32_t height, int32_t depth,
                                                      int32_t hertz, int32_t) {
  GLContextRecord* record = CreateRecord(width, height, depth, hertz);
  if (!record) return nullptr;
  return TGLGraphicsContext::FromRecord(record);
}

void TGLGraphicsDriver::SetPointerShown(int32_t shown) {
  TPlatform& p = P();
  if (!p.display || !p.currentWindow) return;
  if (shown) {
    XUndefineCursor(p.display, p.currentWindow);
  } else if (p.blankCursor) {
    XDefineCursor(p.display, p.currentWindow, p.blankCursor);
  }
  XFlush(p.display);
}

void TGLGraphicsDriver::SetSwapInterval(int32_t interval) {
  TPlatform& p = P();
  if (!p.display) return;
  if (!p.fullScreen) {
    if (p.current && p.current != p.shared) SetWindowSwapInterval(p.display, p.screen, interval);
    return;
  }
  using SwapIntervalFunction = int (*)(int);
  auto swapInterval = reinterpret_cast<SwapIntervalFunction>(
      glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalSGI")));
  if (!swapInterval) return;
  // Some servers answer the request with a protocol error (software GLX on
  // the dummy driver does); the default handler would end the program, while
  // a refused swap interval only means the probe falls back to pacing.
  XSync(p.display, False);
  XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  swapInterval(interval);
  XSync(p.display, False);
  XSetErrorHandler(previous);
}

Ref<TDisplayModeArray> TGLGraphicsDriver::ListDisplayModes() {
  TPlatform& p = P();
  if (!OpenDisplay() || !p.vidModeAvailable) return MakeArray<Ref<TDisplayMode>>(0);
  int count = 0;
  XF86VidModeModeInfo** lines = nullptr;
  if (!XF86VidModeGetAllModeLines(p.display, p.screen, &count, &lines) || !lines) {
    return MakeArray<Ref<TDisplayMode>>(0);
  }
  size_t kept = static_cast<size_t>(std::clamp(count, 0, 1024));
  auto modes = MakeArray<Ref<TDisplayMode>>(kept);
  for (size_t i = 0; i < kept; ++i) {
    auto mode = MakeRef<TDisplayMode>();
    mode->width = lines[i]->hdisplay;
    mode->height = lines[i]->vdisplay;
    mode->depth = 24;
    mode->hertz = ModeRefreshRate(static_cast<int32_t>(lines[i]->dotclock), lines[i]->htotal,
                                  lines[i]->vtotal, lines[i]->flags);
    (*modes)[i] = mode;
  }
  XFree(lines);
  return modes;
}

void TGLGraphicsDriver::SwitchContext() {
  TPlatform& p = P();
  if (p.fullScreen) return;
  if (p.current != p.shared) {
    PlatformMakeCurrent(p.shared);
  } else {
    PlatformMakeCurrent(p.selected);
  }
}

Ref<TGLGraphicsDriver> GLGraphicsDriver() {
  static auto* driver = new Ref<TGLGraphicsDriver>(MakeRef<TGLGraphicsDriver>());
  return *driver;
}

void InitGLGraphicsModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitVex2DModule();
  GLGraphicsDriver();
}

String WindowTitle() {
  TPlatform& p = P();
  if (p.titleSet) return p.title;
  return ApplicationState.title.empty() ? String(u"Kelpora Application") : ApplicationState.title;
}

void SetWindowTitle(const String& title) {
  TPlatform& p = P();
  p.title = title;
  p.titleSet = true;
  if (!p.display) return;
  for (GLContextRecord* record : p.live) {
    if (record->ownsWindow && record != p.shared) NameWindow(record->window, false);
  }
  XFlush(p.display);
}

bool GLFullScreenActive() { return P().fullScreen; }
bool GLSharedContextExists() { return P().shared != nullptr; }
bool GLSharedContextCurrent() { return P().shared && P().current == P().shared; }

uint32_t GLSharedContextSerial() { return P().shared ? P().sharedSerial : 0; }

bool GLMakeTextureContextCurrent(uint32_t serial) {
  TPlatform& p = P();
  if (!p.display || !p.shared || serial == 0 || serial != p.sharedSerial) return false;
  // Every live context shares the shared one's textures; with none current
  // (graphics closed) the hidden one serves.
  if (!p.current) PlatformMakeCurrent(p.shared);
  return p.current != nullptr;
}

}  // namespace kelpora

namespace kelpora {

namespace {

// The scaled record of the canvas window that input addresses; null for a
// window that is not scaled.
GLContextRecord* CanvasRecord() {
  TPlatform& p = P();
  return p.display && p.currentWindow ? ScaledRecordOf(p.currentWindow) : nullptr;
}

}  // namespace

void OpenCanvasWindow(int32_t width, int32_t height, int32_t rateAndFlags,
                      const TWindowOptions& options) {
  TPlatform& p = P();
  p.pendingOptions = options;
  p.optionsPending = true;
  struct TForget {
    ~TForget() { P().optionsPending = false; }
  } forget;
  OpenCanvas(width, height, 0, rateAndFlags);
}

void GetWindowSize(int32_t& width, int32_t& height) {
  TPlatform& p = P();
  width = 0;
  height = 0;
  if (GLContextRecord* record = CanvasRecord()) {
    width = record->windowWidth;
    height = record->windowHeight;
    return;
  }
  if (!p.display || !p.currentWindow) return;
  Window root;
  int x, y;
  unsigned w = 0, h = 0, border, depth;
  if (XGetGeometry(p.display, p.currentWindow, &root, &x, &y, &w, &h, &border, &depth)) {
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
  }
}

bool WindowSizeChanged() {
  GLContextRecord* record = CanvasRecord();
  if (!record || !record->sizeChanged) return false;
  record->sizeChanged = false;
  return true;
}

bool SetDesktopFullScreen(bool on) {
  GLContextRecord* record = CanvasRecord();
  if (!record) return false;
  if (record->desktopFullScreen == on) return true;
  TPlatform& p = P();
  record->desktopFullScreen = on;
  if (on) record->byWindowManager = WindowManagerOffersFullScreen(p.display, p.screen);
  if (record->byWindowManager) {
    // The window manager keeps the place and size to go back to.
    RequestFullScreenState(p.display, p.screen, record->window, on);
  } else if (on) {
    record->saved = CoverScreen(p.display, p.screen, record->window);
  } else {
    XMoveResizeWindow(p.display, record->window, record->saved.x, record->saved.y,
                      std::max(record->saved.width, 1u), std::max(record->saved.height, 1u));
    XFlush(p.display);
  }
  return true;
}

bool DesktopFullScreenActive() {
  GLContextRecord* record = CanvasRecord();
  return record && record->desktopFullScreen;
}

void X11WindowToCanvas(unsigned long window, int32_t& x, int32_t& y) {
  if (GLContextRecord* record = P().display ? ScaledRecordOf(window) : nullptr) {
    WindowToCanvas(ViewportOf(record), record->canvasWidth, record->canvasHeight, x, y);
  }
}

void X11CanvasToWindow(unsigned long window, int32_t& x, int32_t& y) {
  if (GLContextRecord* record = P().display ? ScaledRecordOf(window) : nullptr) {
    CanvasToWindow(ViewportOf(record), record->canvasWidth, record->canvasHeight, x, y);
  }
}

}  // namespace kelpora
