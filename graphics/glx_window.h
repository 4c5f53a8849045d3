// The X11/GLX graphics driver: desktop windows and full-screen video modes
// with a double-buffered GL context each. Every context shares its textures
// with one hidden context made first.
#pragma once

#include <cstdint>

#include "graphics/canvas_scaling.h"
#include "vex2d/graphics_mode.h"

namespace kelpora {

// A window with its GL context; owned by the TGLGraphicsContext that opened it.
struct GLContextRecord;

// Refresh rate of a mode line: dot clock (kHz) × 1000 / (hTotal × vTotal),
// truncated; doubled when interlaced (flag 0x10), halved when double-scanned
// (flag 0x20), in 64-bit arithmetic. A line with a zero total, or whose rate
// does not fit in 32 bits, has rate 0.
int32_t ModeRefreshRate(int32_t dotClockKHz, int32_t hTotal, int32_t vTotal, uint32_t flags);

// A context on an X window. Closing releases the context (and restores the
// desktop video mode after full screen); the window ends with the connection.
class TGLGraphicsContext : public TGraphicsContext {
 public:
  explicit TGLGraphicsContext(GLContextRecord* record) : record_(record) {}
  ~TGLGraphicsContext() override;

  static Ref<TGLGraphicsContext> FromRecord(GLContextRecord* record);

  void MakeCurrent() override;
  void Present() override;
  void GetSize(int32_t& width, int32_t& height) override;
  void Close() override;

  // The X window id; 0 once closed.
  uint64_t WindowId() const;

 private:
  GLContextRecord* record_;
};

// The singleton graphics driver of this platform.
class TGLGraphicsDriver : public TGraphicsDriver {
 public:
  Ref<TGraphicsContext> OpenOnWindow(uint64_t window, int32_t flags) override;
  Ref<TGraphicsContext> OpenGraphics(int32_t width, int32_t height, int32_t depth, int32_t hertz,
                                     int32_t flags) override;
  // Non-zero shows the normal pointer over the current window, 0 a blank one.
  void SetPointerShown(int32_t shown) override;
  // Honoured where the server offers swap control: in full screen through
  // glXSwapIntervalSGI, in a window through GLX_EXT_swap_control or
  // GLX_MESA_swap_control. Without it the canvas paces in software.
  void SetSwapInterval(int32_t interval) override;
  // At most 1024 modes, depth always 24; empty without a display.
  Ref<TDisplayModeArray> ListDisplayModes() override;
  // Toggles between the hidden shared context and the selected one, so that
  // textures are made in the shared context; nothing in full screen.
  void SwitchContext();
};

Ref<TGLGraphicsDriver> GLGraphicsDriver();
void InitGLGraphicsModule();

// Facts about the platform layer, for diagnostics and tests.
bool GLFullScreenActive();
// The hidden shared context exists.
bool GLSharedContextExists();
// True when the shared context is the current one.
bool GLSharedContextCurrent();
// Names the hidden shared context that textures made now belong to; 0 when
// there is none. A shared context made after the last one was destroyed gets
// a new serial.
uint32_t GLSharedContextSerial();
// When the shared context `serial` still exists, makes sure a context sharing
// its textures is current (the hidden one when graphics is closed) and
// answers true; false when that context is gone.
bool GLMakeTextureContextCurrent(uint32_t serial);

// Names the windows the canvas opens: WM_NAME and _NET_WM_NAME (UTF-8) of
// those open now and of every later one. Until it is called a window takes
// ApplicationState.title. Windows given to OpenOnWindow keep their owner's names.
void SetWindowTitle(const String& title);
// The title the next window gets.
String WindowTitle();

// Opens a desktop-window canvas (OpenCanvas with depth 0) of logical size
// width × height that is drawn as today and scaled into the window at every
// PresentFrame, kept in proportion with black bars. Mouse positions and
// MovePointer are in canvas pixels then. Raises as OpenCanvas does.
void OpenCanvasWindow(int32_t width, int32_t height, int32_t rateAndFlags,
                      const TWindowOptions& options);
// The canvas window's size in pixels as of the last PresentFrame (of the
// window itself for a canvas that is not scaled); 0 × 0 without one.
void GetWindowSize(int32_t& width, int32_t& height);
// True once after each change of a scaled canvas window's size, as seen by PresentFrame.
bool WindowSizeChanged();
// Switches a scaled canvas window between desktop full screen (covering its
// monitor through the window manager, or the screen where none offers it; the
// video mode never changes) and the window's previous size and place. False
// for a canvas not opened by OpenCanvasWindow. The size follows at a later
// PresentFrame, when the window manager has done it.
bool SetDesktopFullScreen(bool on);
bool DesktopFullScreenActive();

// Called before a buffer swap and before the current context changes, so a
// drawing layer that holds back GL work can hand it over first.
void SetGLFlushHook(void (*flush)());

}  // namespace kelpora
