#include "game/frame_timing.h"

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
  skipDelta = static_cast<float>(ClockDiff(now, skipLastTime));
  skipLastTime = fresh;
  skipRate = 1000.0f / skipDelta;
  // The threshold is recomputed only when the single-precision rate was
  // rounded upwards from the exact quotient (deltas of 3, 6, 7, 9, 12, 13 ms
  // and the like), never at the 16-17 ms deltas of 60 Hz pacing, so there the
  // threshold stays 0 and the layers move on every frame.
  long double exactRate = 1000.0L / static_cast<long double>(skipDelta);
  if (exactRate < static_cast<long double>(skipRate)) {
    skipRate = 1000.0f / skipDelta;
    skipThreshold = skipRate / 60.0f;
  }
  if (static_cast<float>(skipCounter) > skipThreshold) {
    skipCounter = 0;
    return true;
  }
  return false;
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
