// The level's frames-per-second counter and the gate that decides whether
// the layers move in this frame. Both take clock readings (ClockMs) and work
// only with wrap-safe differences, so any origin of the clock is fine.
#pragma once

#include <cstdint>

namespace kelpora::game {

struct TFpsCounter {
  bool windowOpen = false;  // no window yet: the first call closes one at once
  int32_t fpsWindowStart = 0;
  int32_t fpsCount = 0;
  int32_t fpsValue = 0;

  // `now` is a reading taken before, `fresh` one taken after the decision
  // (the new window starts at the fresh reading). Returns the last completed count.
  int32_t Measure(int32_t now, int32_t fresh);
};

struct TFrameSkipGate {
  int32_t skipCounter = 0;
  int32_t skipLastTime = 0;
  float skipDelta = 1.0f;
  float skipRate = 1000.0f;
  float skipThreshold = 0.0f;

  // True when the layers should move in this frame.
  bool Due(int32_t now, int32_t fresh);
};

// The game's own counter and gate over the system clock.
int32_t MeasureFps();
bool FrameSkipDue();
// Starts the gate's first delta at the current clock reading.
void StartFrameSkipGate();
}  // namespace kelpora::game
