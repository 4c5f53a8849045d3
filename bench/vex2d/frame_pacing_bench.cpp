// Frame pacing: 600 empty frames at 60 Hz in a 640 × 480 window, paced by
// PresentFrame, beside the same loop paced by a nanosleep limiter (how common
// frameworks cap the frame rate). Needs an X server (DISPLAY). Counters are
// deviations of the frame intervals from 1000/60 ms, in ms.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "graphics/gl_driver.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"

namespace {

using namespace kelpora;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 600;
constexpr double kPeriodMs = 1000.0 / 60.0;

void Report(benchmark::State& state, const std::vector<Clock::time_point>& times) {
  std::vector<double> deviations;
  double sum = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    double interval = std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count();
    deviations.push_back(std::fabs(interval - kPeriodMs));
    sum += interval;
  }
  std::sort(deviations.begin(), deviations.end());
  auto percentile = [&](double p) {
    return deviations[std::min(deviations.size() - 1, static_cast<size_t>(p * deviations.size()))];
  };
  state.counters["mean_interval_ms"] = sum / static_cast<double>(deviations.size());
  state.counters["p50_dev_ms"] = percentile(0.50);
  state.counters["p99_dev_ms"] = percentile(0.99);
  state.counters["max_dev_ms"] = deviations.back();
}

bool OpenWindow(benchmark::State& state, int32_t rateAndFlags) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("needs an X server (DISPLAY)");
    return false;
  }
  InitGLDriverModule();
  OpenCanvas(640, 480, 0, rateAndFlags);
  return true;
}

void PresentFramePacing(benchmark::State& state) {
  if (!OpenWindow(state, 60)) return;
  for (auto _ : state) {
    std::vector<Clock::time_point> times;
    times.reserve(kFrames + 1);
    PresentFrame();
    times.push_back(Clock::now());
    for (int i = 0; i < kFrames; ++i) {
      ClearScreen();
      PresentFrame();
      times.push_back(Clock::now());
    }
    Report(state, times);
  }
  CloseCanvas();
}

// The peer: swap without waiting, then nanosleep until the next deadline.
void NanosleepPacing(benchmark::State& state) {
  if (!OpenWindow(state, 60 | CANVAS_NO_SYNC)) return;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(kPeriodMs));
  for (auto _ : state) {
    std::vector<Clock::time_point> times;
    times.reserve(kFrames + 1);
    PresentFrame();
    auto deadline = Clock::now();
    times.push_back(deadline);
    for (int i = 0; i < kFrames; ++i) {
      ClearScreen();
      PresentFrame();
      deadline += period;
      auto remaining = deadline - Clock::now();
      if (remaining > Clock::duration::zero()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
        timespec request{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        nanosleep(&request, nullptr);
      }
      times.push_back(Clock::now());
    }
    Report(state, times);
  }
  CloseCanvas();
}

BENCHMARK(PresentFramePacing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(NanosleepPacing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
