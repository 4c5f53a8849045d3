// The level's frames-per-second counter and the gate that decides whether
// the layers move in this frame. Both take clock readings (ClockMs) and work
// only with wrap-safe differences, so any origin of the clock is fine.
#pragma once

#include <array>
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

// Holds the layers near 60 moves per second when frames come faster than
// that: the layers move on every (threshold + 1)-th frame. The threshold is
// judged from the presentation rate over the last few frames, never from one
// delta, so a single short catch-up frame at 60 Hz changes nothing; it is 0
// (move on every frame) up to about 90 frames per second, 1 at 120 and 144 Hz,
// and so on.
struct TFrameSkipGate {
  static constexpr int kRateWindow = 8;  // frames the rate is averaged over

  int32_t skipCounter = 0;
  int32_t skipLastTime = 0;
  float skipDelta = 1.0f;    // the last delta in ms
  float skipRate = 1000.0f;  // the rate that delta alone gives
  float skipThreshold = 0.0f;
  std::array<int32_t, kRateWindow> recentDeltas{};
  int32_t recentCount = 0;
  int32_t recentNext = 0;

  // `now` is a reading taken before, `fresh` one taken after (the next delta
  // starts at it). True when the layers should move in this frame.
  bool Due(int32_t now, int32_t fresh);

 private:
  void JudgeThreshold(int32_t delta);
};

// The game's own counter and gate over the system clock.
int32_t MeasureFps();
bool FrameSkipDue();
// Starts the gate's first delta at the current clock reading.
void StartFrameSkipGate();
}  // namespace kelpora::game
