// Canvases scaled into windows of other sizes. The screen tests run on an
// Xvfb with the openbox window manager (KELPORA_WM_DISPLAY, started by
// scripts/run-tests), which resizes the window and puts it in full screen as
// it would on a desktop; desktop full screen also runs without a window
// manager on the Xorg dummy server, whose video mode must never change.
#include <gtest/gtest.h>
// clang-format off
// Xlib after gtest: its None macro clashes with a name in gtest.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "graphics/canvas_scaling.h"
#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "graphics/x11_platform.h"
#include "input/keyboard_mouse.h"
#include "pixmap/pixmap.h"
#include "process.h"
#include "runtime/clock.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "x_display.h"

namespace kelpora {
namespace {

TEST(CanvasScaling, FitsWithBarsAndMapsPointerPositions) {
  const struct {
    int32_t scaling, windowW, windowH;
    TCanvasViewport viewport;
  } fits[] = {
      {SCALE_INTEGER, 200, 100, {60, 20, 80, 60}},  // factor 1, bars all round
      {SCALE_INTEGER, 250, 190, {5, 5, 240, 180}},  // factor 3
      {SCALE_INTEGER, 60, 60, {0, 7, 60, 45}},      // smaller than the canvas: shrinks to fit
      {SCALE_SMOOTH, 200, 100, {33, 0, 133, 100}},  // bars left and right
      {SCALE_SMOOTH, 120, 200, {0, 55, 120, 90}},   // bars above and below
      {SCALE_SMOOTH, 80, 60, {0, 0, 80, 60}},       // the canvas's own size
      {SCALE_SMOOTH, 0, 100, {0, 0, 0, 0}},         // no window
  };
  for (const auto& f : fits) {
    EXPECT_EQ(FitCanvas(80, 60, f.windowW, f.windowH, f.scaling), f.viewport)
        << f.scaling << " " << f.windowW << "x" << f.windowH;
  }
  EXPECT_EQ(FitCanvas(800, 600, 1920, 1080, SCALE_SMOOTH), (TCanvasViewport{240, 0, 1440, 1080}));
  EXPECT_EQ(FitCanvas(800, 600, 1920, 1080, SCALE_INTEGER), (TCanvasViewport{560, 240, 800, 600}));

  const struct {
    TCanvasViewport viewport;
    int32_t windowX, windowY, canvasX, canvasY;
  } points[] = {
      {{60, 20, 80, 60}, 0, 0, 0, 0},  // over the bars: clamped
      {{60, 20, 80, 60}, 199, 99, 79, 59},
      {{60, 20, 80, 60}, 100, 50, 40, 30},
      {{5, 5, 240, 180}, 7, 7, 0, 0},  // factor 3: three window pixels a canvas pixel
      {{5, 5, 240, 180}, 8, 8, 1, 1},
      {{5, 5, 240, 180}, 244, 184, 79, 59},
      {{33, 0, 133, 100}, 99, 99, 39, 59},
      {{33, 0, 133, 100}, -40, 500, 0, 59},  // outside the window
  };
  for (const auto& p : points) {
    int32_t x = p.windowX, y = p.windowY;
    WindowToCanvas(p.viewport, 80, 60, x, y);
    EXPECT_EQ(x, p.canvasX) << p.windowX << "," << p.windowY;
    EXPECT_EQ(y, p.canvasY) << p.windowX << "," << p.windowY;
  }
  // MovePointer's way back lands on the same canvas pixel, at any scale of 1 or more.
  for (const TCanvasViewport& v :
       {TCanvasViewport{60, 20, 80, 60}, TCanvasViewport{5, 5, 240, 180},
        TCanvasViewport{33, 0, 133, 100}, TCanvasViewport{0, 0, 97, 61}}) {
    for (int32_t cy = -1; cy <= 60; ++cy) {
      for (int32_t cx = -1; cx <= 80; ++cx) {
        int32_t x = cx, y = cy;
        CanvasToWindow(v, 80, 60, x, y);
        EXPECT_TRUE(x >= v.x && x < v.x + v.width && y >= v.y && y < v.y + v.height);
        WindowToCanvas(v, 80, 60, x, y);
        ASSERT_EQ(x, std::clamp(cx, 0, 79)) << v.width << " " << cx;
        ASSERT_EQ(y, std::clamp(cy, 0, 59)) << v.height << " " << cy;
      }
    }
  }
}

// The tests below that open windows share the window-manager display.
class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* wm = std::getenv("KELPORA_WM_DISPLAY");
    ASSERT_NE(wm, nullptr) << "KELPORA_WM_DISPLAY must name an X server with a window manager "
                              "(scripts/run-tests starts Xvfb with openbox)";
    setenv("DISPLAY", wm, 1);  // before the library's first connection
    InitGLDriverModule();
    InitInputModule();
    display_ = kelpora::testing::OpenDisplayPatiently(wm);
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    CloseCanvas();
    if (display_) XCloseDisplay(display_);
  }

  static Window CanvasWindow() {
    return static_cast<Window>(RefCast<TGLGraphicsContext>(CurrentCanvas()->context)->WindowId());
  }

  // Frames (the test pattern each time) until `done`, 30 s at most.
  template <typename Done>
  static bool FramesUntil(Done done) {
    int32_t start = ClockMs();
    while (ClockDiff(ClockMs(), start) < 30000) {
      DrawPattern();
      PresentFrame();
      if (done()) return true;
    }
    return false;
  }

  // Blue canvas with a red top-left quarter: scaling, placement and
  // orientation all show.
  static void DrawPattern() {
    SetClearColor(0, 0, 255);
    ClearScreen();
    SetDrawColor(255, 0, 0);
    FillRect(0, 0, 40, 30);
  }

  Display* display_ = nullptr;
};

TEST_F(WindowManagerTest, ResizedWindowShowsTheCanvasScaledWithBars) {
  const struct {
    int32_t scaling, windowW, windowH;
    TCanvasViewport v;
  } cases[] = {
      {SCALE_INTEGER, 200, 100, {60, 20, 80, 60}},
      {SCALE_INTEGER, 250, 190, {5, 5, 240, 180}},
      {SCALE_SMOOTH, 200, 100, {33, 0, 133, 100}},
      {SCALE_SMOOTH, 120, 200, {0, 55, 120, 90}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.scaling) + " " + std::to_string(c.windowW) + "x" +
                 std::to_string(c.windowH));
    TWindowOptions options;
    options.resizable = true;
    options.scaling = c.scaling;
    OpenCanvasWindow(80, 60, CANVAS_NO_SYNC, options);
    int32_t w = 0, h = 0;
    ASSERT_TRUE(FramesUntil([&] { return GetWindowSize(w, h), w == 80 && h == 60; }));
    WindowSizeChanged();
    // What dragging the window's corner asks of the window manager.
    XResizeWindow(display_, CanvasWindow(), static_cast<unsigned>(c.windowW),
                  static_cast<unsigned>(c.windowH));
    XSync(display_, False);
    ASSERT_TRUE(FramesUntil([&] { return GetWindowSize(w, h), w == c.windowW && h == c.windowH; }))
        << "the program saw " << w << "x" << h;
    EXPECT_TRUE(WindowSizeChanged());
    EXPECT_FALSE(WindowSizeChanged()) << "one change is reported once";
    EXPECT_EQ(CanvasWidth(), 80) << "the program still draws on its logical canvas";
    EXPECT_EQ(CanvasHeight(), 60);
    DrawPattern();
    PresentFrame();
    XSync(X11Display(), False);

    // The frame on the screen: black bars, the canvas in proportion. Smooth
    // scaling blends across the red edge and may round the canvas edge.
    XImage* image = XGetImage(display_, CanvasWindow(), 0, 0, static_cast<unsigned>(c.windowW),
                              static_cast<unsigned>(c.windowH), AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    int32_t blend = c.scaling == SCALE_SMOOTH ? c.v.width / 80 + 2 : 0;
    int32_t edge = c.scaling == SCALE_SMOOTH ? 1 : 0;
    int32_t wrong = 0;
    std::string first;
    for (int32_t y = 0; y < c.windowH; ++y) {
      for (int32_t x = 0; x < c.windowW; ++x) {
        int32_t dx = x - c.v.x, dy = y - c.v.y;
        bool inside = dx >= 0 && dx < c.v.width && dy >= 0 && dy < c.v.height;
        auto near = [](int32_t a, int32_t b, int32_t d) { return a >= b - d && a <= b + d; };
        if (near(dx, 0, edge) || near(dx, c.v.width - 1, edge) || near(dy, 0, edge) ||
            near(dy, c.v.height - 1, edge)) {
          continue;
        }
        int32_t redRight = c.v.width / 2, redBottom = c.v.height / 2;
        if (inside && ((near(dx, redRight, blend) && dy <= redBottom + blend) ||
                       (near(dy, redBottom, blend) && dx <= redRight + blend))) {
          continue;
        }
        unsigned long expected = !inside                             ? 0x000000
                                 : (dx < redRight && dy < redBottom) ? 0xFF0000
                                                                     : 0x0000FF;
        unsigned long shown = XGetPixel(image, x, y) & 0xFFFFFF;
        if (shown != expected && wrong++ == 0) {
          std::ostringstream at;
          at << x << "," << y << ": " << std::hex << shown << " not " << expected;
          first = at.str();
        }
      }
    }
    XDestroyImage(image);
    EXPECT_EQ(wrong, 0) << "first at " << first;

    // Scaling leaves the drawing state of the frame loop as it was, and
    // reading pixels reads the canvas.
    ClearScreen();
    FillRect(70, 50, 5, 5);
    Ref<TPixmap> drawn = ReadPixmap(0, 0, 80, 60);
    EXPECT_EQ(drawn->PixelAt(72, 52) & 0xFFFFFF, 0xFF0000u);
    EXPECT_EQ(drawn->PixelAt(10, 10) & 0xFFFFFF, 0x0000FFu);

    // The pointer over the window reads in canvas pixels, clamped over the bars.
    for (auto [x, y] : {std::pair{0, 0}, std::pair{c.windowW - 1, c.windowH - 1},
                        std::pair{c.v.x + c.v.width / 2, c.v.y + c.v.height / 2},
                        std::pair{c.v.x + c.v.width - 1, c.v.y}}) {
      int32_t canvasX = std::clamp((x - c.v.x) * 80 / c.v.width, 0, 79);
      int32_t canvasY = std::clamp((y - c.v.y) * 60 / c.v.height, 0, 59);
      XWarpPointer(display_, None, CanvasWindow(), 0, 0, 0, 0, x, y);
      XSync(display_, False);
      EXPECT_TRUE(FramesUntil([&] { return PointerX() == canvasX && PointerY() == canvasY; }))
          << "window " << x << "," << y << " read " << PointerX() << "," << PointerY();
    }
    // MovePointer takes canvas pixels: the pointer lands on that pixel's place.
    for (auto [cx, cy] : {std::pair{0, 0}, std::pair{79, 59}, std::pair{13, 47}}) {
      MovePointer(cx, cy);
      Window root, child;
      int rootX, rootY, x = -1, y = -1;
      unsigned mask;
      XQueryPointer(display_, CanvasWindow(), &root, &child, &rootX, &rootY, &x, &y, &mask);
      EXPECT_EQ((x - c.v.x) * 80 / c.v.width, cx) << "window x " << x;
      EXPECT_EQ((y - c.v.y) * 60 / c.v.height, cy) << "window y " << y;
      EXPECT_EQ(PointerX(), cx);
      EXPECT_EQ(PointerY(), cy);
    }
  }
}

// Desktop full screen covers the screen with no video-mode change, whether
// the window manager does it (openbox) or the library itself (no window
// manager, on the Xorg dummy server), and toggling back restores the window's
// size and place.
TEST(DesktopFullScreen, CoversTheScreenAndComesBack) {
  for (const char* variable : {"KELPORA_WM_DISPLAY", "KELPORA_XORG_DISPLAY"}) {
    SCOPED_TRACE(variable);
    const char* name = std::getenv(variable);
    ASSERT_NE(name, nullptr) << variable << " is set by scripts/run-tests";
    testing::ChildProcess child(GLX_HELPER_PATH, {"desktop-fullscreen"},
                                {std::string("DISPLAY=") + name});
    testing::ProcessResult result = child.Wait(120000);
    ASSERT_TRUE(result.exited) << result.err;
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::map<std::string, std::string> said;
    std::istringstream lines(result.out);
    std::string modes;
    for (std::string line; std::getline(lines, line);) {
      size_t space = line.find(' ');
      std::string key = line.substr(0, space);
      if (key == "opened" || key == "plain" || key == "size") {
        space = line.find(' ', space + 1);
        key = line.substr(0, space);
      }
      if (space == std::string::npos) continue;
      said[key] = line.substr(space + 1);
      if (key == "mode") modes += line + "\n";
    }
    std::string screen = said["screen"];
    ASSERT_FALSE(screen.empty()) << result.out;
    EXPECT_EQ(said["toggle"], "1");
    EXPECT_EQ(said["full"], screen + " at 0,0 active 1") << result.out;
    EXPECT_EQ(said["size changed"], "1");
    EXPECT_EQ(said["canvas"], "160x120") << "the program draws on the same canvas";
    EXPECT_EQ(said["back"], said["window"] + " active 0") << result.out;
    EXPECT_EQ(said["window"].substr(0, 7), "160x120");
    EXPECT_EQ(said["opened full"], screen + " at 0,0") << "opened in desktop full screen";
    EXPECT_EQ(said["plain toggle"], "0") << "a canvas of today's kind keeps its window";
    // Four readings of the video mode, all the same; Xvfb has none to read.
    std::string mode = "mode " + said["mode"] + "\n";
    EXPECT_EQ(modes, mode + mode + mode + mode);
    if (std::string(variable) == "KELPORA_XORG_DISPLAY") {
      EXPECT_NE(said["mode"], "none");
    }
  }
}

// Where the server offers swap control for windows, a windowed canvas asks
// its drawable for vertical sync; elsewhere it paces frames in software.
TEST_F(WindowManagerTest, WindowedVsyncOrSoftwarePacing) {
  OpenCanvas(200, 100, 0, 60);
  Display* own = X11Display();
  std::string extensions = glXQueryExtensionsString(own, DefaultScreen(own));
  auto has = [&](const std::string& name) {
    return (" " + extensions + " ").find(" " + name + " ") != std::string::npos;
  };
  if (has("GLX_EXT_swap_control")) {
    GLGraphicsDriver()->SetSwapInterval(1);
    unsigned interval = 0;
    glXQueryDrawable(own, glXGetCurrentDrawable(), GLX_SWAP_INTERVAL_EXT, &interval);
    EXPECT_EQ(interval, 1u);
  } else if (has("GLX_MESA_swap_control")) {
    GLGraphicsDriver()->SetSwapInterval(1);
    auto get = reinterpret_cast<int (*)()>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXGetSwapIntervalMESA")));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get(), 1);
  } else {
    EXPECT_TRUE(SoftwarePacing()) << "no swap control: the Part's pacing takes over";
  }
}

}  // namespace
}  // namespace kelpora
