// Full-screen video modes on Xorg with the dummy driver, whose display
// scripts/run-tests exports as KELPORA_XORG_DISPLAY. Each case runs the helper
// program in a child process on that display and checks what it reports and
// what mode the server shows afterwards.
#include <gtest/gtest.h>
// clang-format off
// Xlib after gtest: its None macro clashes with a name in gtest.
#include <X11/Xlib.h>
#include <X11/extensions/xf86vmode.h>
// clang-format on

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"
#include "x_display.h"

namespace kelpora {
namespace {

class GLXFullScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* xorg = std::getenv("KELPORA_XORG_DISPLAY");
    ASSERT_NE(xorg, nullptr) << "KELPORA_XORG_DISPLAY must name an Xorg server with the dummy "
                                "driver (scripts/run-tests starts one)";
    xorg_ = xorg;
    display_ = kelpora::testing::OpenDisplayPatiently(xorg);
    ASSERT_NE(display_, nullptr) << "cannot open " << xorg_;
    desktop_ = CurrentMode();
  }
  void TearDown() override {
    if (!display_) return;
    if (CurrentMode() != desktop_) SwitchServerTo(desktop_);
    XCloseDisplay(display_);
  }

  // Switches the server itself, as a desktop's own settings would, to the
  // listed mode that CurrentMode would describe as `mode`.
  void SwitchServerTo(const std::string& mode) {
    int count = 0;
    XF86VidModeModeInfo** lines = nullptr;
    ASSERT_TRUE(XF86VidModeGetAllModeLines(display_, DefaultScreen(display_), &count, &lines));
    for (int i = 0; i < count; ++i) {
      std::string name = std::to_string(lines[i]->hdisplay) + "x" +
                         std::to_string(lines[i]->vdisplay) + " clock " +
                         std::to_string(lines[i]->dotclock);
      if (name != mode) continue;
      XF86VidModeSwitchToMode(display_, DefaultScreen(display_), lines[i]);
      XSync(display_, False);
      break;
    }
    XFree(lines);
    ASSERT_EQ(CurrentMode(), mode);
  }

  std::string CurrentMode() {
    int dotClock = 0;
    XF86VidModeModeLine line{};
    if (!XF86VidModeGetModeLine(display_, DefaultScreen(display_), &dotClock, &line)) return "?";
    if (line.privsize) XFree(line.c_private);
    return std::to_string(line.hdisplay) + "x" + std::to_string(line.vdisplay) + " clock " +
           std::to_string(dotClock);
  }

  testing::ProcessResult Helper(const std::string& command) {
    std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", xorg_.c_str(), 1);
    auto result = testing::RunProcess(GLX_HELPER_PATH, {command});
    if (saved.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", saved.c_str(), 1);
    }
    return result;
  }
  static bool Has(const testing::ProcessResult& result, const std::string& text) {
    return result.out.find(text) != std::string::npos;
  }

  std::string xorg_;
  Display* display_ = nullptr;
  std::string desktop_;
};

// The server adds its own default lines to the configured ones and orders
// them; the configured ones are 1024x768 (first, the desktop), 800x600 at 60
// and 75 Hz and 640x480 at 25.175 MHz.
TEST_F(GLXFullScreenTest, ListsTheServersModeLines) {
  auto result = Helper("list");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("mode 1024x768 depth 24 rate 60\n"), 0u) << result.out;
  EXPECT_TRUE(Has(result, "mode 800x600 depth 24 rate 60\n")) << result.out;
  EXPECT_TRUE(Has(result, "mode 800x600 depth 24 rate 75\n")) << result.out;
  EXPECT_TRUE(Has(result, "mode 640x480 depth 24 rate 59\n")) << result.out;
  EXPECT_EQ(result.out.find("depth 16"), std::string::npos);
}

TEST_F(GLXFullScreenTest, SwitchesTo640x480AndCloseRestoresTheDesktop) {
  // 60 Hz is not listed for 640x480 (the line gives 59): the line of that size is used.
  auto result = Helper("640x480@60-close");
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(Has(result, "open 640x480 clock 25175\n")) << result.out;
  EXPECT_TRUE(Has(result, "canvas 640x480 depth 32 rate 60 fullscreen 1\n")) << result.out;
  EXPECT_TRUE(Has(result, "pixel 0080ff\n")) << result.out;
  EXPECT_TRUE(Has(result, "closed " + desktop_ + "\n")) << result.out;
  EXPECT_EQ(CurrentMode(), desktop_);
}

TEST_F(GLXFullScreenTest, PicksTheExactRateOrTheFirstLineOfThatSize) {
  std::string modes = Helper("list").out;
  std::string first =
      modes.find("800x600 depth 24 rate 75") < modes.find("800x600 depth 24 rate 60") ? "49500"
                                                                                      : "40000";
  auto exact = Helper("800x600@60-close");
  EXPECT_TRUE(Has(exact, "open 800x600 clock 40000\n")) << exact.out << exact.err;
  exact = Helper("800x600@75-close");
  EXPECT_TRUE(Has(exact, "open 800x600 clock 49500\n")) << exact.out << exact.err;
  auto fallback = Helper("800x600@99-close");
  EXPECT_TRUE(Has(fallback, "open 800x600 clock " + first + "\n")) << fallback.out << fallback.err;
  EXPECT_EQ(CurrentMode(), desktop_);
}

TEST_F(GLXFullScreenTest, UnlistedSizeFailsBeforeAnyWindow) {
  auto result = Helper("missing");
  EXPECT_TRUE(Has(result, "error: Graphics mode does not exist\n")) << result.out << result.err;
  EXPECT_TRUE(Has(result, "window made: 0\n")) << result.out;
  EXPECT_TRUE(Has(result, "after " + desktop_ + "\n")) << result.out;
}

TEST_F(GLXFullScreenTest, DesktopModeComesBackHoweverTheProgramEnds) {
  auto normal = Helper("640x480@60-return");
  EXPECT_TRUE(normal.exited);
  EXPECT_EQ(normal.status, 0) << normal.err;
  EXPECT_TRUE(Has(normal, "open 640x480")) << normal.out << normal.err;
  EXPECT_TRUE(Has(normal, "exit hook ran"));
  EXPECT_EQ(CurrentMode(), desktop_) << "after a normal end";

  auto error = Helper("640x480@60-error");
  EXPECT_EQ(error.status, 255);
  EXPECT_EQ(error.err, "failing on purpose");
  EXPECT_EQ(CurrentMode(), desktop_) << "after an unhandled error";

  auto term = Helper("640x480@60-term");
  EXPECT_TRUE(term.exited);
  EXPECT_EQ(term.status, 0);
  EXPECT_TRUE(Has(term, "open 640x480")) << term.out << term.err;
  EXPECT_EQ(CurrentMode(), desktop_) << "after SIGTERM";

  auto crash = Helper("640x480@60-segv");
  EXPECT_TRUE(crash.signalled);
  EXPECT_EQ(crash.signal, SIGSEGV);
  EXPECT_TRUE(Has(crash, "open 640x480")) << crash.out << crash.err;
  EXPECT_EQ(CurrentMode(), desktop_) << "after a crash signal";
}

// SIGTERM at any moment of a frame loop, or while the program is busy in a
// loop of its own, ends it with status 0 and the desktop mode back.
TEST_F(GLXFullScreenTest, TerminateAtAnyMomentRestoresTheDesktopMode) {
  std::vector<std::string> endings(20, "swaps");
  endings.push_back("busy");
  unsigned seed = 1;
  for (const std::string& ending : endings) {
    testing::ChildProcess child(GLX_HELPER_PATH, {"640x480@60-" + ending}, {"DISPLAY=" + xorg_});
    ASSERT_TRUE(child.WaitForOutput("looping\n")) << ending;
    usleep(static_cast<useconds_t>(rand_r(&seed) % 200000));
    child.Signal(SIGTERM);
    testing::ProcessResult result = child.Wait(60000);
    EXPECT_TRUE(result.exited) << ending << ": signal " << result.signal << " " << result.err;
    EXPECT_EQ(result.status, 0) << ending;
    EXPECT_EQ(CurrentMode(), desktop_) << "after SIGTERM in " << ending;
    if (CurrentMode() != desktop_) SwitchServerTo(desktop_);
  }
}

// The desktop in a mode that is not the server's first line: every way of
// ending full screen must come back to exactly that mode.
TEST_F(GLXFullScreenTest, TheModeBeforeFullScreenComesBackNotTheFirstLine) {
  const std::string before = "800x600 clock 49500";
  for (const char* ending : {"close", "return", "error", "term", "segv"}) {
    SwitchServerTo(before);
    auto result = Helper(std::string("640x480@60-") + ending);
    EXPECT_TRUE(Has(result, "open 640x480 clock 25175\n")) << ending << ": " << result.out;
    EXPECT_EQ(CurrentMode(), before) << "after ending by " << ending;
  }
}

}  // namespace
}  // namespace kelpora
