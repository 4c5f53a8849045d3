// The FPS counter and the frame-skip gate with clock readings of any origin.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "game/frame_timing.h"
#include "runtime/clock.h"

using namespace kelpora;
using namespace kelpora::game;

namespace {

// Feeds one call per `step` ms starting at `start` and returns the value after `calls` calls.
int32_t RunCounter(TFpsCounter& counter, int32_t start, int step, int calls) {
  int32_t value = -1;
  for (int i = 0; i < calls; ++i) {
    int32_t now = ClockAdd(start, i * step);
    value = counter.Measure(now, now);
  }
  return value;
}

TEST(FpsCounter, FirstCallClosesAWindowWhateverTheClocksOrigin) {
  for (int32_t start : {0, 1, 500, 999, -1, -400, INT32_MIN, INT32_MAX - 300, INT32_MAX}) {
    SCOPED_TRACE(start);
    TFpsCounter counter;
    EXPECT_EQ(counter.Measure(start, start), 0);
    EXPECT_EQ(counter.fpsWindowStart, start);
    // 60 calls in the next second (16 ms apart), then the call at +1008 closes the window.
    EXPECT_EQ(RunCounter(counter, ClockAdd(start, 16), 16, 61), 0);
    EXPECT_EQ(counter.Measure(ClockAdd(start, 1000), ClockAdd(start, 1001)), 61);
    EXPECT_EQ(counter.fpsWindowStart, ClockAdd(start, 1001));
  }
}

TEST(FpsCounter, ShowsZeroForTheFirstSecondThenAboutSixty) {
  TFpsCounter counter;
  int32_t start = INT32_MAX - 700;  // the clock wraps during the run
  EXPECT_EQ(RunCounter(counter, start, 16, 63), 0);  // up to +992 ms
  EXPECT_EQ(RunCounter(counter, ClockAdd(start, 1008), 16, 64), 62);
}

TEST(FrameSkipGate, TrueOnEveryFrameAtSixtyHertzPacing) {
  for (int32_t start : {0, -20, INT32_MAX - 40}) {
    TFrameSkipGate gate;
    gate.skipLastTime = start;
    int32_t now = start;
    for (int frame = 0; frame < 300; ++frame) {
      now = ClockAdd(now, frame % 3 == 2 ? 16 : 17);
      ASSERT_TRUE(gate.Due(now, now)) << "frame " << frame;
    }
    EXPECT_EQ(gate.skipThreshold, 0.0f);
  }
}

TEST(FrameSkipGate, FirstCallIsDueAndZeroDeltaGivesInfiniteRate) {
  TFrameSkipGate gate;
  gate.skipLastTime = 5;
  EXPECT_TRUE(gate.Due(5, 5));
  EXPECT_TRUE(std::isinf(gate.skipRate));
  EXPECT_EQ(gate.skipThreshold, 0.0f);
}

TEST(FrameSkipGate, UpwardRoundedRatesSetAThresholdThatSkipsFrames) {
  // Frames 3 ms apart: 333.33 Hz, so the layers move about every sixth frame.
  TFrameSkipGate gate;
  int32_t now = -100;
  gate.skipLastTime = now;
  int moves = 0;
  for (int frame = 0; frame < 60; ++frame) {
    now = ClockAdd(now, 3);
    moves += gate.Due(now, now) ? 1 : 0;
  }
  EXPECT_NEAR(gate.skipThreshold, 1000.0f / 3.0f / 60.0f, 1e-4);
  EXPECT_GE(moves, 9);
  EXPECT_LE(moves, 11);
}

}  // namespace
