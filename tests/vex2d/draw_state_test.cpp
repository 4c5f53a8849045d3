#include "vex2d/draw_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "recording_driver.h"
#include "runtime/errors.h"
#include "vex2d/graphics_mode.h"

namespace kelpora {
namespace {

using testing::TRecordingDriver;

class DrawStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitVex2DModule();
    driver_ = MakeRef<TRecordingDriver>();
    InstallGraphicsDriver(driver_, 2);
    OpenCanvas(640, 480, 0, CANVAS_NO_SYNC);
    driver_->calls.clear();
  }
  void TearDown() override {
    CloseCanvas();
    InstallGraphicsDriver(nullptr, 0);
  }
  const std::string& Last() { return driver_->calls.back(); }
  Ref<TRecordingDriver> driver_;
};

TEST_F(DrawStateTest, RotationAndScaleMakeTheMatrix) {
  SetDrawRotation(90);
  EXPECT_NEAR(drawState.ix, 0, 1e-6);
  EXPECT_FLOAT_EQ(drawState.iy, -1);
  EXPECT_FLOAT_EQ(drawState.jx, 1);
  EXPECT_NEAR(drawState.jy, 0, 1e-6);
  SetDrawTransform(30, 2, 3);
  EXPECT_FLOAT_EQ(drawState.ix, 2 * std::cos(30 * std::numbers::pi / 180));
  EXPECT_FLOAT_EQ(drawState.iy, -3 * 0.5f);
  EXPECT_FLOAT_EQ(drawState.jx, 2 * 0.5f);
  EXPECT_FLOAT_EQ(drawState.jy, 3 * std::cos(30 * std::numbers::pi / 180));
  EXPECT_EQ(driver_->Count("ApplyTransform"), 2);
  SetDrawScale(-1, 1);
  float sx, sy;
  GetDrawScale(sx, sy);
  EXPECT_EQ(sx, -1);
  EXPECT_EQ(GetDrawRotation(), 30);
}

// FillRect(100, 100, 10, 20) rotated by 90 degrees extends 20 pixels left and
// 10 down from (100, 100): check the corners the driver would draw.
TEST_F(DrawStateTest, RotatedRectangleCorners) {
  SetDrawRotation(90);
  FillRect(100, 100, 10, 20);
  EXPECT_EQ(Last(), "DrawBox(-0,-0,10,20,100,100)");
  const TDrawState& s = drawState;
  auto tx = [&](float x, float y) { return x * s.ix + y * s.iy + 100; };
  auto ty = [&](float x, float y) { return x * s.jx + y * s.jy + 100; };
  EXPECT_NEAR(tx(10, 20), 80, 1e-4);
  EXPECT_NEAR(ty(10, 20), 110, 1e-4);
  EXPECT_NEAR(tx(10, 0), 100, 1e-4);
  EXPECT_NEAR(ty(0, 20), 100, 1e-4);
}

TEST_F(DrawStateTest, HandleIsStoredNegatedAndAppliedBeforeTheOrigin) {
  SetDrawHandle(3, 4);
  float hx, hy;
  GetDrawHandle(hx, hy);
  EXPECT_EQ(hx, -3);
  EXPECT_EQ(hy, -4);
  SetDrawOrigin(10, 20);
  FillRect(1, 2, 30, 40);
  EXPECT_EQ(Last(), "DrawBox(-3,-4,27,36,11,22)");
  FillOval(1, 2, 30, 40);
  EXPECT_EQ(Last(), "DrawEllipse(-3,-4,27,36,11,22)");
  auto xy = MakeArray<float>(6);
  FillPolygon(xy);
  EXPECT_EQ(Last(), "DrawPolygon(6,-3,-4,10,20)");
  // A point ignores the handle and the transform, but not the origin.
  SetDrawRotation(45);
  PlotPoint(5, 6);
  EXPECT_EQ(Last(), "DrawPoint(15,26)");
}

TEST_F(DrawStateTest, LineSegmentWithLastPixelPlotsTheTransformedEnd) {
  SetDrawHandle(1, 2);
  SetDrawOrigin(100, 200);
  SetDrawScale(2, 3);
  driver_->calls.clear();
  DrawLineSegment(10, 20, 15, 30, false);
  ASSERT_EQ(driver_->calls.size(), 1u);
  EXPECT_EQ(Last(), "DrawSegment(-1,-2,4,8,110,220)");
  DrawLineSegment(10, 20, 15, 30, true);
  ASSERT_EQ(driver_->calls.size(), 3u);
  // u = 4, v = 8 scaled by (2, 3) and moved to (110, 220).
  EXPECT_EQ(Last(), "DrawPoint(118,244)");
}

TEST_F(DrawStateTest, SettersStoreAndForward) {
  SetDrawColor(300, -1, 7);
  EXPECT_EQ(Last(), "ApplyColor(300,-1,7)") << "out-of-range colours pass on unchanged";
  int32_t r, g, b;
  GetDrawColor(r, g, b);
  EXPECT_EQ(r, 300);
  SetDrawAlpha(0.25f);
  EXPECT_EQ(Last(), "ApplyAlpha(0.25)");
  EXPECT_EQ(GetDrawAlpha(), 0.25f);
  SetClearColor(1, 2, 3);
  EXPECT_EQ(Last(), "ApplyClearColor(1,2,3)");
  size_t before = driver_->calls.size();
  SetTransparentColor(4, 5, 6);
  EXPECT_EQ(driver_->calls.size(), before) << "the mask colour is not a driver state";
  GetTransparentColor(r, g, b);
  EXPECT_EQ(b, 6);
  SetClipRect(10, 20, 100, 50);
  EXPECT_EQ(Last(), "ApplyClip(10,20,100,50)");
  int32_t x, y, w, h;
  GetClipRect(x, y, w, h);
  EXPECT_EQ(h, 50);
  SetLineThickness(2.5f);
  EXPECT_EQ(Last(), "ApplyLineWidth(2.5)");
  ClearScreen();
  EXPECT_EQ(Last(), "ClearTarget");
}

TEST(DrawStateWithoutGraphics, DrawingRaisesTheNullObjectError) {
  SetCurrentVex2DDriver(nullptr);
  EXPECT_THROW(FillRect(0, 0, 1, 1), TNullObjectError);
  EXPECT_THROW(HidePointer(), TNullObjectError);
}

}  // namespace
}  // namespace kelpora
