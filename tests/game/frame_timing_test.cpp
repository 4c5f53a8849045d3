// The FPS counter and the frame-skip gate with clock readings of any origin.
#include "game/frame_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "runtime/clock.h"
#include "runtime/system_driver.h"
#include "settable_clock.h"

using namespace kelpora;
using namespace kelpora::game;
using kelpora::testing::SettableClock;

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
  // Zero for the first second, then about sixty, while the clock wraps.
  TFpsCounter counter;
  int32_t start = INT32_MAX - 700;
  EXPECT_EQ(RunCounter(counter, start, 16, 63), 0);  // up to +992 ms
  EXPECT_EQ(RunCounter(counter, ClockAdd(start, 1008), 16, 64), 62);
}

// Replays `deltas` through `gate` from the clock reading `start` and returns
// how many frames the layers moved in.
int Replay(TFrameSkipGate& gate, int32_t start, const std::vector<int32_t>& deltas,
           std::vector<bool>* moves = nullptr) {
  gate.skipLastTime = start;
  int32_t now = start;
  int moved = 0;
  for (int32_t delta : deltas) {
    now = ClockAdd(now, delta);
    bool due = gate.Due(now, now);
    EXPECT_EQ(gate.skipDelta, static_cast<float>(delta)) << "at reading " << now;
    moved += due ? 1 : 0;
    if (moves) moves->push_back(due);
  }
  return moved;
}

std::vector<int32_t> Repeat(std::initializer_list<int32_t> pattern, size_t frames) {
  std::vector<int32_t> deltas;
  while (deltas.size() < frames)
    for (int32_t delta : pattern) deltas.push_back(delta);
  deltas.resize(frames);
  return deltas;
}

TEST(FrameSkipGate, AtSixtyHertzTheLayersMoveOnEveryFrame) {
  const std::vector<int32_t> sequences[] = {
      Repeat({16, 17, 17}, 300),
      Repeat({16, 17, 17, 13, 17, 16, 17, 17, 16, 17, 12, 21, 17, 16, 17, 14, 19, 17}, 300),
      // Deltas between the level's frames as the gate saw them in the demo at
      // 60 Hz pacing on a busy two-core machine, then with two more processes
      // spinning (frames late, then short catch-up frames).
      {8,  21, 17, 16, 17, 18, 11, 21, 17, 16, 18, 16, 12, 21, 17, 16, 17, 17, 12, 21, 17, 18,
       15, 17, 12, 28, 10, 16, 17, 16, 13, 21, 17, 16, 17, 17, 17, 17, 16, 23, 10, 17, 17, 16,
       17, 16, 18, 15, 17, 17, 18, 15, 17, 16, 17, 17, 18, 17, 16, 14, 19, 11, 21, 17, 18, 15,
       17, 17, 19, 14, 17, 16, 18, 16, 18, 15, 18, 16, 16, 16, 17, 17, 17, 16, 17, 17, 20, 14,
       17, 16, 17, 19, 15, 15, 18, 15, 17, 17, 17, 17, 16, 17, 18, 15, 20, 14, 16, 16, 21, 16,
       16, 15, 16, 17, 18, 15, 17, 20, 14, 16, 16, 17, 19, 15, 17, 21, 12, 16, 17, 27, 4,  16,
       20, 31, 10, 14, 14, 16, 24, 12, 30, 17, 10, 11, 19, 15, 15, 19, 18, 13, 19, 13, 18, 20,
       12, 19, 15, 20, 15, 18, 15, 17, 17, 15, 15, 18, 15, 19, 19, 14, 21, 13, 16, 17, 17, 16,
       17, 16, 17, 15, 18, 17, 13, 23, 17, 14, 22, 10, 20, 15, 19, 12, 20, 15, 17, 16, 20, 16,
       17, 13, 20, 14, 17, 17, 15, 18, 19, 13, 18, 14, 21, 16, 16, 18, 15, 19, 15, 18, 12, 19,
       17, 14, 22, 14, 19, 14, 15, 19, 15, 16, 22, 17, 16, 17, 14, 16, 20, 11, 19, 14},
      {18, 25, 26, 25, 12, 34, 15, 12, 10, 37, 24, 16, 30, 14, 20, 17, 24, 8,  11, 24, 18, 30,
       10, 27, 33, 12, 14, 18, 14, 19, 13, 24, 8,  17, 22, 16, 12, 22, 15, 23, 7,  18, 15, 42,
       21, 14, 60, 32, 48, 40, 10, 46, 40, 14, 35, 24, 41, 10, 53, 41, 6,  53, 31, 48, 28, 40,
       28, 40, 32, 32, 24, 40, 32, 26, 26, 28, 32, 24, 40, 24, 24, 34, 22, 28, 40, 28, 20, 20,
       32, 40, 40, 40, 24, 36, 28, 32, 21, 11, 44, 20, 24, 13, 44, 31, 24, 36, 32, 16, 16, 28,
       26, 22, 9,  31, 24, 33, 63, 84, 64, 64, 48, 38, 57, 33, 40, 32, 20, 60, 64, 68, 62, 50,
       24, 96, 68, 6,  42, 6,  15, 43, 6,  46, 6,  19, 43, 6,  90, 66, 66, 88, 88, 72, 46, 6,
       32, 8,  14, 50, 7,  19, 13, 53, 6,  18, 24, 12, 16, 28, 6,  42, 24, 8,  20, 12, 40, 8,
       53, 19, 6,  39, 6,  16, 17, 16, 17, 17, 16, 17, 17, 16, 17, 16, 17, 17, 17, 20, 20, 11,
       35, 26, 32, 36, 40, 36, 68, 31, 29, 36, 32, 28, 32, 40, 36, 60, 32, 44, 36, 40, 36, 32,
       40, 32, 32, 48, 42, 38, 36, 28, 40, 38, 42, 36, 24, 12, 12, 20, 16, 16, 16, 16},
  };
  // Origins that put the clock's wrap and its negative half inside the run.
  for (int32_t start : {0, -2000, INT32_MIN, INT32_MAX - 1000}) {
    for (const auto& deltas : sequences) {
      SCOPED_TRACE(::testing::Message() << "start " << start << ", " << deltas.size() << " frames");
      TFrameSkipGate gate;
      EXPECT_EQ(Replay(gate, start, deltas), static_cast<int>(deltas.size()));
      EXPECT_EQ(gate.skipThreshold, 0.0f);
    }
  }
  // The first call is due, and a zero delta counts as an infinite rate.
  TFrameSkipGate gate;
  gate.skipLastTime = 5;
  EXPECT_TRUE(gate.Due(5, 5));
  EXPECT_TRUE(std::isinf(gate.skipRate));
  EXPECT_EQ(gate.skipThreshold, 0.0f);
}

TEST(FrameSkipGate, FasterFramesMoveTheLayersAboutSixtyTimesASecond) {
  struct Case {
    const char* name;
    std::vector<int32_t> deltas;
    int framesPerMove;
  };
  const Case cases[] = {
      {"120 Hz", Repeat({8, 8, 9}, 600), 2},
      {"120 Hz with jitter", Repeat({8, 9, 7, 8, 10, 6, 9, 8, 7, 9}, 600), 2},
      {"144 Hz", Repeat({7, 7, 7, 7, 7, 6, 7, 7, 7, 7, 7, 6, 7, 7, 7, 7, 7, 7}, 600), 2},
      {"240 Hz", Repeat({4, 4, 4, 5}, 600), 4},
      {"333 Hz", Repeat({3}, 600), 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFrameSkipGate gate;
    std::vector<bool> moves;
    Replay(gate, INT32_MAX - 2000, c.deltas, &moves);
    // After the first window of frames the layers move on exactly every
    // framesPerMove-th frame: evenly, without a double step or a long stall.
    int last = -1;
    for (int frame = TFrameSkipGate::kRateWindow * 2; frame < static_cast<int>(moves.size());
         ++frame) {
      if (!moves[static_cast<size_t>(frame)]) continue;
      if (last >= 0) {
        ASSERT_EQ(frame - last, c.framesPerMove) << "frame " << frame;
      }
      last = frame;
    }
    EXPECT_EQ(gate.skipThreshold, static_cast<float>(c.framesPerMove - 1));
  }
}

TEST(FrameSkipGate, RatesNearTheBoundaryAndBackwardClockStepsDoNotUnsettleIt) {
  // About 90 Hz, wobbling either side of the boundary between moving on every
  // frame and on every second one: the gate settles once.
  TFrameSkipGate gate;
  gate.skipLastTime = 0;
  int32_t now = 0, changes = 0;
  float threshold = gate.skipThreshold;
  for (int32_t delta : Repeat({11, 11, 12, 10, 11, 12, 11, 10, 12, 11, 11, 12}, 600)) {
    now = ClockAdd(now, delta);
    gate.Due(now, now);
    changes += gate.skipThreshold != threshold ? 1 : 0;
    threshold = gate.skipThreshold;
  }
  EXPECT_LE(changes, 1);

  // At 120 Hz a clock that steps back once neither stops nor speeds the layers.
  TFrameSkipGate stepped;
  std::vector<int32_t> deltas = Repeat({8, 8, 9}, 60);
  deltas[30] = -5000;
  std::vector<bool> moves;
  Replay(stepped, -10, deltas, &moves);
  for (size_t frame = 20; frame < moves.size(); ++frame)
    EXPECT_NE(moves[frame], moves[frame - 1]) << frame;
}

// The game's own counter and gate, read from the system clock, while that
// clock wraps from its largest reading to its smallest.
TEST(GameTiming, CounterAndGateOnTheSystemClockAcrossTheWrap) {
  InitSystemModule();
  SettableClock clock(INT32_MAX - 500);
  StartFrameSkipGate();
  const std::vector<int32_t> deltas = Repeat({16, 17, 17, 13, 20, 17}, 130);  // 2.2 s
  int32_t fps = -1;
  for (size_t frame = 0; frame < deltas.size(); ++frame) {
    clock.Advance(deltas[frame]);
    EXPECT_TRUE(FrameSkipDue()) << "frame " << frame;
    fps = MeasureFps();
    if (frame < 60) {
      EXPECT_EQ(fps, 0) << "frame " << frame;
    }
  }
  EXPECT_GE(fps, 58);
  EXPECT_LE(fps, 61);
}

}  // namespace
