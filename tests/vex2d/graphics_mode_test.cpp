#include "vex2d/graphics_mode.h"

#include <gtest/gtest.h>

#include <climits>

#include "recording_driver.h"
#include "runtime/errors.h"
#include "vex2d/draw_state.h"

namespace kelpora {
namespace {

using testing::TManualClockDriver;
using testing::TRecordingDriver;

class GraphicsModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitVex2DModule();
    savedSystem_ = SystemDriver();
    clock_ = MakeRef<TManualClockDriver>();
    clock_->now = 5000;
    SystemDriver() = clock_;
    driver_ = MakeRef<TRecordingDriver>();
    InstallGraphicsDriver(driver_, 2);
  }
  void TearDown() override {
    CloseCanvas();
    InstallGraphicsDriver(nullptr, 0);
    SystemDriver() = savedSystem_;
  }
  std::string Message(void (*call)()) {
    try {
      call();
    } catch (const TRuntimeError& error) {
      return error.what();
    }
    return "(no error)";
  }

  Ref<TSystemDriver> savedSystem_;
  Ref<TManualClockDriver> clock_;
  Ref<TRecordingDriver> driver_;
};

TEST_F(GraphicsModeTest, OpenWithoutDriverFails) {
  InstallGraphicsDriver(nullptr, 0);
  EXPECT_EQ(Message([] { OpenCanvas(640, 480, 0, CANVAS_NO_SYNC); }), "Unable to create graphics");
  EXPECT_FALSE(CurrentCanvas());
}

TEST_F(GraphicsModeTest, WindowedOpenDefaultsTo85HzAndLeavesBothBuffersCleared) {
  int32_t generation = graphicsGeneration;
  OpenCanvas(640, 480, 0, CANVAS_NO_SYNC);
  EXPECT_EQ(driver_->calls.front(), "OpenGraphics(640,480,0,85,2)");
  EXPECT_EQ(graphicsGeneration, NextGraphicsGeneration(generation));
  EXPECT_EQ(driver_->Count("MakeCurrent"), 3);
  EXPECT_EQ(driver_->Count("ClearTarget"), 2);
  EXPECT_EQ(driver_->Count("Present"), 2);
  EXPECT_EQ(driver_->Count("BindContext(640,480)"), 3);
  EXPECT_EQ(driver_->Count("UnbindContext"), 2);
  // No sync: the swap interval is set to 0 and nothing else is tried.
  EXPECT_EQ(driver_->Count("SetSwapInterval(1)"), 0);
  EXPECT_FALSE(SoftwarePacing());
  int32_t w, h, d, hz;
  CanvasSettings(w, h, d, hz);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(hz, 85);
  EXPECT_EQ(CanvasWidth(), 640);
  EXPECT_EQ(CanvasHeight(), 480);
}

TEST_F(GraphicsModeTest, MakeCurrentResetsTheDrawingState) {
  OpenCanvas(320, 240, 0, CANVAS_NO_SYNC);
  SetDrawColor(1, 2, 3);
  SetBlendMode(BLEND_ADDITIVE);
  SetDrawHandle(5, 6);
  SetDrawOrigin(7, 8);
  SetLineThickness(3);
  SetDrawTransform(45, 2, 2);
  driver_->calls.clear();
  CurrentCanvas()->MakeCurrent();
  const std::vector<std::string> expected = {"MakeCurrent",
                                             "BindContext(320,240)",
                                             "ApplyColor(255,255,255)",
                                             "ApplyAlpha(1)",
                                             "ApplyBlend(1)",
                                             "ApplyClearColor(0,0,0)",
                                             "ApplyTransform(1,-0,0,1)",
                                             "ApplyClip(0,0,320,240)"};
  EXPECT_EQ(driver_->calls, expected);
  EXPECT_EQ(GetBlendMode(), BLEND_MASKED);
  float x, y;
  GetDrawHandle(x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  GetDrawOrigin(x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(GetLineThickness(), 3) << "line width is not part of the reset";
  EXPECT_EQ(drawState.defaultPictureFlags, 3);
  // Present drops the current driver: drawing then is a null-object error.
  CurrentCanvas()->Present();
  EXPECT_THROW(SetDrawColor(1, 1, 1), TNullObjectError);
  EXPECT_EQ(CanvasWidth(), 0);
}

TEST_F(GraphicsModeTest, FullScreenNeedsAListedSizeAndFallsBackOnRate) {
  driver_->AddMode(800, 600, 24, 60);
  driver_->AddMode(640, 480, 24, 75);
  EXPECT_EQ(Message([] { OpenCanvas(1024, 768, 32, 60 | CANVAS_NO_SYNC); }),
            "Graphics mode does not exist");
  EXPECT_EQ(driver_->Count("OpenGraphics"), 0) << "no window before the check";
  OpenCanvas(640, 480, 32, 60 | CANVAS_NO_SYNC);
  EXPECT_EQ(driver_->calls.front(), "OpenGraphics(640,480,32,60,2)");
}

TEST_F(GraphicsModeTest, DriverThatIsNotVex2DIsClosedAndRejected) {
  driver_->wrapContexts = false;
  EXPECT_EQ(Message([] { OpenCanvas(640, 480, 0, CANVAS_NO_SYNC); }),
            "Current graphics driver is not a Vex2D driver");
  EXPECT_EQ(driver_->Count("Close"), 1);
  EXPECT_FALSE(CurrentCanvas());
}

TEST_F(GraphicsModeTest, ProbeFallsBackToSoftwarePacingAfter100UnpacedSwaps) {
  OpenCanvas(640, 480, 0, 60);
  EXPECT_TRUE(SoftwarePacing());
  EXPECT_EQ(driver_->Count("Present"), 2 + 100);
  EXPECT_EQ(driver_->calls.back(), "SetSwapInterval(0)");
  EXPECT_EQ(Message([] { OpenCanvas(640, 480, 0, 60 | CANVAS_REQUIRE_SYNC); }),
            "Unable to synchronize to refresh rate");
}

TEST_F(GraphicsModeTest, ProbeAcceptsThreeSwapsAtTheRefreshPeriod) {
  driver_->presentDelayMs = 16;  // 1000 / 60 = 16
  OpenCanvas(640, 480, 0, 60);
  EXPECT_FALSE(SoftwarePacing());
  EXPECT_EQ(driver_->Count("Present"), 2 + 3);
  EXPECT_EQ(driver_->calls.back(), "MakeCurrent");
  EXPECT_EQ(driver_->Count("SetSwapInterval(1)"), 1);
}

TEST_F(GraphicsModeTest, SoftwarePacingWaitsOnTheSixtyHertzSchedule) {
  OpenCanvas(640, 480, 0, 60 | CANVAS_SOFT_SYNC);
  ASSERT_TRUE(SoftwarePacing());
  driver_->calls.clear();
  for (int i = 0; i < 6; ++i) PresentFrame();
  EXPECT_EQ(clock_->delays, (std::vector<int32_t>{16, 17, 17, 16, 17, 17}));
  // The swap leaves the drawing state alone.
  EXPECT_EQ(driver_->Count("BindContext"), 0);
  EXPECT_EQ(driver_->Count("Present"), 6);
  // A frame 2 s late does not wait; the schedule restarts from then.
  clock_->now += 2000;
  clock_->delays.clear();
  PresentFrame();
  PresentFrame();
  EXPECT_EQ(clock_->delays, (std::vector<int32_t>{16}));
}

TEST_F(GraphicsModeTest, CloseAdvancesGenerationAndStopsDrawing) {
  graphicsGeneration = -1;
  OpenCanvas(640, 480, 0, CANVAS_NO_SYNC);
  EXPECT_EQ(graphicsGeneration, 1) << "0 is skipped";
  CloseCanvas();
  EXPECT_EQ(graphicsGeneration, 2);
  EXPECT_EQ(driver_->calls.back(), "Close");
  EXPECT_FALSE(CurrentCanvas());
  EXPECT_THROW(ClearScreen(), TNullObjectError);
  driver_->calls.clear();
  PresentFrame();
  CloseCanvas();
  EXPECT_TRUE(driver_->calls.empty());
  EXPECT_EQ(NextGraphicsGeneration(INT32_MAX), INT32_MIN);
}

TEST_F(GraphicsModeTest, ModeListIsCachedUntilTheDriverChanges) {
  EXPECT_EQ(CountDisplayModes(), 0);
  EXPECT_EQ(CountDisplayModes(), 0);
  EXPECT_EQ(driver_->listCount, 2) << "an empty list is asked for again";
  driver_->AddMode(640, 480, 24, 60);
  driver_->AddMode(800, 600, 24, 75);
  EXPECT_EQ(CountDisplayModes(), 2);
  EXPECT_EQ(CountDisplayModes(), 2);
  EXPECT_EQ(driver_->listCount, 3);
  int32_t w, h, d, hz;
  GetDisplayMode(1, w, h, d, hz);
  EXPECT_EQ(w, 800);
  EXPECT_EQ(hz, 75);
  EXPECT_THROW(GetDisplayMode(2, w, h, d, hz), TArrayBoundsError);
  EXPECT_THROW(GetDisplayMode(-1, w, h, d, hz), TArrayBoundsError);
  EXPECT_TRUE(HasDisplayMode(800, 0, 0, 0));
  EXPECT_TRUE(HasDisplayMode(0, 0, 24, 60));
  EXPECT_FALSE(HasDisplayMode(800, 600, 24, 60));
  InstallGraphicsDriver(driver_, 2);
  CountDisplayModes();
  EXPECT_EQ(driver_->listCount, 4);
}

TEST_F(GraphicsModeTest, PointerCallsGoToTheCurrentDriver) {
  OpenCanvas(640, 480, 0, CANVAS_NO_SYNC);
  HidePointer();
  ShowPointer();
  EXPECT_EQ(driver_->Count("SetPointerShown(0)"), 1);
  EXPECT_EQ(driver_->calls.back(), "SetPointerShown(1)");
}

TEST(PacingSchedule, ResynchronisesWhenLateOrFarAhead) {
  TPacingSchedule schedule;
  schedule.start = 1000;
  EXPECT_EQ(AdvancePacing(schedule, 1000, 60), 16);
  EXPECT_EQ(AdvancePacing(schedule, 1016, 60), 17);
  // Late by far: no wait, next frame one period from now.
  EXPECT_EQ(AdvancePacing(schedule, 3000, 60), 0);
  EXPECT_EQ(AdvancePacing(schedule, 3000, 60), 16);
  // A schedule more than a second ahead restarts too.
  schedule.accum += 2000 * 60;
  EXPECT_EQ(AdvancePacing(schedule, 3016, 60), 0);
}

// A run long enough to overflow 32-bit frame bookkeeping, on a clock that
// wraps in the middle of it, keeps every frame on the exact schedule.
TEST(PacingSchedule, StaysExactOverLongRunsAcrossTheClockWrap) {
  TPacingSchedule schedule;
  schedule.start = INT32_MAX - 100000;
  schedule.accum = 0;
  int32_t now = schedule.start;
  const int64_t frames = 60LL * 60 * 60 * 30;  // 30 hours at 60 Hz
  int64_t elapsedTotal = 0;
  for (int64_t n = 1; n <= frames; ++n) {
    int32_t wait = AdvancePacing(schedule, now, 60);
    ASSERT_TRUE(wait == 16 || wait == 17) << "frame " << n << " wait " << wait;
    now = static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(wait));
    elapsedTotal += wait;
    ASSERT_EQ(elapsedTotal, n * 1000 / 60) << "frame " << n;
  }
}

}  // namespace
}  // namespace kelpora
