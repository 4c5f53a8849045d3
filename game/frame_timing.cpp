#include "game/frame_timing.h"

#include <algorithm>
#include <cmath>

#include "runtime/clock.h"

namespace kelpora::game {

int32_t TFpsCounter::Measure(int32_t now, int32_t fresh) {
  if (windowOpen && ClockDiff(now, fpsWindowStart) < 1000) {
    ++fpsCount;
  } else {
    fpsValue = fpsCount;
    fpsCount = 0;
    fpsWindowStart = fresh;
    windowOpen = true;
  }
  return fpsValue;
}

bool TFrameSkipGate::Due(int32_t now, int32_t fresh) {
  ++skipCounter;
  int32_t delta = ClockDiff(now, skipLastTime);
  skipLastTime = fresh;
  skipDelta = static_cast<float>(delta);
  skipRate = 1000.0f / skipDelta;  // a zero delta gives +infinity
  // A clock stepped backwards says nothing about the rate.
  if (delta >= 0) JudgeThreshold(delta);
  if (static_cast<float>(skipCounter) > skipThreshold) {
    skipCounter = 0;
    return true;
  }
  return false;
}

void TFrameSkipGate::JudgeThreshold(int32_t delta) {
  recentDeltas[static_cast<size_t>(recentNext)] = delta;
  recentNext = (recentNext + 1) % kRateWindow;
  if (recentCount < kRateWindow) ++recentCount;
  if (recentCount < kRateWindow) return;  // too few frames to judge by
  int64_t sum = 0;
  for (int32_t recent : recentDeltas) sum += recent;
  // Frames per 60th of a second over the window; several frames within one
  // millisecond count as one millisecond.
  double framesPerMove = kRateWindow * (1000.0 / 60.0) / static_cast<double>(sum > 0 ? sum : 1);
  double current = static_cast<double>(skipThreshold) + 1.0;
  // Half a frame of rounding plus a little slack either way, so that a rate
  // near a boundary (about 90 Hz) does not make the gate flip to and fro.
  if (std::fabs(framesPerMove - current) > 0.6) {
    double rounded = std::min(std::round(framesPerMove), 1000.0);
    skipThreshold = static_cast<float>(std::max(rounded, 1.0) - 1.0);
  }
}

namespace {
TFpsCounter fpsCounter;
TFrameSkipGate frameSkipGate;
}  // namespace

int32_t MeasureFps() {
  int32_t now = ClockMs();
  return fpsCounter.Measure(now, ClockMs());
}

bool FrameSkipDue() {
  int32_t now = ClockMs();
  return frameSkipGate.Due(now, ClockMs());
}

void StartFrameSkipGate() { frameSkipGate.skipLastTime = ClockMs(); }

}  // namespace kelpora::game
