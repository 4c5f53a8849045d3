// Desktop windows and contexts on a real X server (Xvfb in the test script).
#include <gtest/gtest.h>
// clang-format off
// Xlib after gtest: its None macro clashes with a name in gtest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>
// clang-format on

#include <cstdlib>

#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "graphics/x11_platform.h"
#include "pixmap/pixmap.h"
#include "process.h"
#include "runtime/clock.h"
#include "runtime/errors.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "x_display.h"

namespace kelpora {
namespace {

class GLXWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X server (DISPLAY)";
    InitGLDriverModule();
  }
  void TearDown() override { CloseCanvas(); }
};

TEST(ModeRefreshRate, FromDotClockAndTotals) {
  EXPECT_EQ(ModeRefreshRate(25175, 800, 525, 0), 59);
  EXPECT_EQ(ModeRefreshRate(25175, 800, 525, 0x10), 118);
  EXPECT_EQ(ModeRefreshRate(25175, 800, 525, 0x30), 59);
  EXPECT_EQ(ModeRefreshRate(65000, 1344, 806, 0), 60);
  EXPECT_EQ(ModeRefreshRate(25175, 0, 525, 0), 0) << "a zero total gives rate 0";
  EXPECT_EQ(ModeRefreshRate(25175, 800, 0, 0x10), 0);
  // Absurd lines: doubling must not overflow on the way to the halving.
  EXPECT_EQ(ModeRefreshRate(2000000, 1, 1, 0x30), 2000000000);
  EXPECT_EQ(ModeRefreshRate(2000000, 1, 1, 0x10), 0) << "4e9 Hz has no 32-bit rate";
  EXPECT_EQ(ModeRefreshRate(INT32_MAX, 1, 1, 0x20), 0);
}

TEST_F(GLXWindowTest, DesktopWindowWithHiddenSharedContext) {
  Ref<TGraphicsContext> context = GLGraphicsDriver()->OpenGraphics(640, 480, 0, 60, 0);
  ASSERT_TRUE(context);
  EXPECT_TRUE(GLSharedContextExists()) << "the hidden context is made first";
  EXPECT_FALSE(GLFullScreenActive());
  int32_t width = 0, height = 0;
  context->GetSize(width, height);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  context->MakeCurrent();
  EXPECT_FALSE(GLSharedContextCurrent());
  // A desktop window asks for swap control only where the server offers it
  // (Xvfb does not); presenting works either way.
  GLGraphicsDriver()->SetSwapInterval(1);
  int32_t start = ClockMs();
  for (int i = 0; i < 5; ++i) {
    context->Present();
    context->MakeCurrent();
  }
  EXPECT_LT(ClockDiff(ClockMs(), start), 30000) << "presenting got stuck";
  context->Close();
  context->GetSize(width, height);
  EXPECT_EQ(width, 0) << "a closed context has no window";
  context->Close();  // twice is harmless
}

TEST_F(GLXWindowTest, SwitchContextTogglesWithTheSharedOne) {
  Ref<TGraphicsContext> context = GLGraphicsDriver()->OpenGraphics(100, 80, 0, 0, 0);
  ASSERT_TRUE(context);
  context->MakeCurrent();
  GLGraphicsDriver()->SwitchContext();
  EXPECT_TRUE(GLSharedContextCurrent());
  GLGraphicsDriver()->SwitchContext();
  EXPECT_FALSE(GLSharedContextCurrent());
  // After Present there is no selected context to go back to.
  context->Present();
  GLGraphicsDriver()->SwitchContext();
  GLGraphicsDriver()->SwitchContext();
  EXPECT_TRUE(GLSharedContextCurrent());
  context->Close();
}

TEST_F(GLXWindowTest, ModesAreEmptyWithoutTheVideoModeExtension) {
  // Xvfb has no XFree86-VidModeExtension: listing is empty (and prints
  // nothing), so full screen is refused.
  Display* display = kelpora::testing::OpenDisplayPatiently();
  ASSERT_NE(display, nullptr);
  int opcode, event, error;
  bool hasVidMode = XQueryExtension(display, "XFree86-VidModeExtension", &opcode, &event, &error);
  XCloseDisplay(display);
  ASSERT_FALSE(hasVidMode) << "DISPLAY should be Xvfb";
  EXPECT_EQ(GLGraphicsDriver()->ListDisplayModes()->Length(), 0u);
  try {
    OpenCanvas(640, 480, 32, 60);
    ADD_FAILURE() << "full screen opened without modes";
  } catch (const TRuntimeError& failure) {
    EXPECT_STREQ(failure.what(), "Graphics mode does not exist");
  }
}

TEST_F(GLXWindowTest, WindowedCanvasFallsBackToSoftwarePacing) {
  int32_t start = ClockMs();
  OpenCanvas(640, 480, 0, 60);
  EXPECT_TRUE(SoftwarePacing()) << "desktop swaps do not wait for the retrace";
  EXPECT_LT(ClockDiff(ClockMs(), start), 30000) << "the sync probe did not give up";
  int32_t w, h, d, hz;
  CanvasSettings(w, h, d, hz);
  EXPECT_EQ(hz, 60);
  // 60 paced frames wait at least a second (the schedule itself is checked
  // on a set clock in the vex2d tests); the swaps that end the first and the
  // last frame may take different times.
  PresentFrame();
  int32_t first = ClockMs();
  for (int i = 0; i < 60; ++i) PresentFrame();
  EXPECT_GE(ClockDiff(ClockMs(), first), 950) << "frames did not wait their time";
  OpenCanvas(320, 200, 0, 0);
  CanvasSettings(w, h, d, hz);
  EXPECT_EQ(hz, 85);
  EXPECT_EQ(w, 320);
}

// The pointer over the window shows the blank cursor while hidden.
TEST_F(GLXWindowTest, HidePointerPutsTheBlankCursorOnTheWindow) {
  OpenCanvas(320, 240, 0, CANVAS_NO_SYNC);
  Display* display = kelpora::testing::OpenDisplayPatiently();
  ASSERT_NE(display, nullptr);
  auto context = RefCast<TGLGraphicsContext>(CurrentCanvas()->context);
  Window window = static_cast<Window>(context->WindowId());
  // The shown pointer is the root window's, which may be invisible on a bare
  // server: give the root a visible one while testing.
  Cursor arrow = XCreateFontCursor(display, XC_left_ptr);
  XDefineCursor(display, DefaultRootWindow(display), arrow);
  // Away from the corner where the other tests' windows open.
  XMoveWindow(display, window, 900, 700);
  XRaiseWindow(display, window);
  XWarpPointer(display, None, window, 0, 0, 0, 0, 50, 50);
  XSync(display, False);
  auto cursorIsBlank = [&] {
    XSync(X11Display(), False);  // the library's request has been handled
    XSync(display, False);
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    bool blank = true;
    for (int i = 0; i < image->width * image->height; ++i) blank &= (image->pixels[i] == 0);
    XFree(image);
    return blank;
  };
  HidePointer();
  EXPECT_TRUE(cursorIsBlank());
  ShowPointer();
  EXPECT_FALSE(cursorIsBlank());
  XUndefineCursor(display, DefaultRootWindow(display));
  XFreeCursor(display, arrow);
  XCloseDisplay(display);
}

// A window made by someone else (a toolkit, say) can be drawn into.
TEST_F(GLXWindowTest, DrawsIntoAForeignWindow) {
  Display* display = kelpora::testing::OpenDisplayPatiently();
  ASSERT_NE(display, nullptr);
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 120, 90, 0, 0, 0);
  XMapWindow(display, window);
  XSync(display, False);
  Ref<TGraphicsContext> opened = GLVex2DDriver()->OpenOnWindow(window, 0);
  auto graphics = RefCast<TVex2DGraphics>(opened);
  ASSERT_TRUE(graphics);
  graphics->MakeCurrent();
  EXPECT_EQ(CanvasWidth(), 120);
  EXPECT_EQ(CanvasHeight(), 90);
  SetClearColor(1, 2, 3);
  ClearScreen();
  SetDrawColor(255, 0, 0);
  FillRect(10, 10, 5, 5);
  Ref<TPixmap> pixels = ReadPixmap(0, 0, 120, 90);
  EXPECT_EQ(pixels->PixelAt(12, 12) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(pixels->PixelAt(119, 89) & 0xFFFFFF, 0x010203u);
  graphics->Present();
  graphics->Close();
  // Closing leaves the foreign window to its owner.
  XWindowAttributes attributes;
  EXPECT_TRUE(XGetWindowAttributes(display, window, &attributes));
  XDestroyWindow(display, window);
  XCloseDisplay(display);
}

// Task bars read the title as _NET_WM_NAME (UTF-8) or WM_NAME, and group
// windows by WM_CLASS.
TEST_F(GLXWindowTest, WindowCarriesTitleAndClass) {
  OpenCanvas(200, 100, 0, CANVAS_NO_SYNC);
  auto window = [] {
    return static_cast<Window>(RefCast<TGLGraphicsContext>(CurrentCanvas()->context)->WindowId());
  };
  Display* display = kelpora::testing::OpenDisplayPatiently();
  ASSERT_NE(display, nullptr);
  auto names = [&] {
    XSync(X11Display(), False);
    std::string net, wm;
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window(), XInternAtom(display, "_NET_WM_NAME", False), 0, 1024,
                           False, XInternAtom(display, "UTF8_STRING", False), &type, &format,
                           &count, &after, &data) == Success &&
        data) {
      net.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
    }
    XTextProperty text{};
    if (XGetWMName(display, window(), &text)) {
      char* atom = XGetAtomName(display, text.encoding);
      wm = std::string(atom) + " " + std::string(reinterpret_cast<char*>(text.value), text.nitems);
      XFree(atom);
      XFree(text.value);
    }
    return std::make_pair(net, wm);
  };
  // The process was not started through RunApplication: no application title.
  auto shown = testing::RunProcess(
      "/usr/bin/xprop", {"-id", std::to_string(window()), "WM_NAME", "_NET_WM_NAME", "WM_CLASS"});
  EXPECT_NE(shown.out.find("WM_NAME(STRING) = \"Kelpora Application\""), std::string::npos)
      << shown.out << shown.err;
  EXPECT_NE(shown.out.find("_NET_WM_NAME(UTF8_STRING) = \"Kelpora Application\""),
            std::string::npos);
  EXPECT_NE(shown.out.find("WM_CLASS(STRING) = \"glx_window_tests\", \"Kelpora Application\""),
            std::string::npos);
  // WM_NAME is Latin-1 (STRING) where the title fits, else UTF-8.
  const struct {
    std::u16string title;
    std::string utf8;
    std::string wmName;
  } titles[] = {
      {u"Caf\u00e9", "Caf\xc3\xa9", "STRING Caf\xe9"},
      {u"Niveau \u2116 1 \u2013 nuit", "Niveau \xe2\x84\x96 1 \xe2\x80\x93 nuit", ""},
      {u"Clef \U0001D11E", "Clef \xf0\x9d\x84\x9e", ""},       // a surrogate pair
      {u"bad \xd800 half", "bad \xef\xbf\xbd half", ""},       // an unpaired surrogate
      {std::u16string(u"cut\0here", 8), "cut", "STRING cut"},  // text properties end at a NUL
  };
  for (const auto& title : titles) {
    SetWindowTitle(title.title);
    auto [net, wm] = names();
    EXPECT_EQ(net, title.utf8);
    EXPECT_EQ(wm, title.wmName.empty() ? "UTF8_STRING " + title.utf8 : title.wmName);
  }
  // A window opened later takes the last title, as its class too.
  SetWindowTitle(u"Second window");
  OpenCanvas(200, 100, 0, CANVAS_NO_SYNC);
  EXPECT_EQ(names().first, "Second window");
  XClassHint hint{};
  ASSERT_TRUE(XGetClassHint(display, window(), &hint));
  EXPECT_STREQ(hint.res_name, "glx_window_tests");
  EXPECT_STREQ(hint.res_class, "Second window");
  XFree(hint.res_name);
  XFree(hint.res_class);
  XCloseDisplay(display);
}

// The close button ends a program that never reads close requests (also
// while it waits for a key); one that reads them carries on and ends its own way.
TEST(GLXProcess, WindowCloseRequest) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr);
  const struct {
    const char* command;
    int status;
    const char* shown;
  } cases[] = {
      {"close-request", 0, ""},
      {"close-request-wait", 0, ""},
      {"close-request-kept", 5, "close requested 1 before 0\nafter clear 0\nsecond request 1\n"},
  };
  for (const auto& c : cases) {
    auto result = testing::RunProcess(GLX_HELPER_PATH, {c.command}, {}, {}, 60000);
    EXPECT_TRUE(result.exited) << c.command << result.err;
    EXPECT_EQ(result.status, c.status) << c.command << result.out << result.err;
    EXPECT_EQ(result.out, std::string(c.shown) + "exit hook ran\n") << c.command;
  }
}

}  // namespace
}  // namespace kelpora
