// Frame pacing: 600 empty frames at 60 Hz in a 640 × 480 window, paced by
// PresentFrame, beside the same loop paced by a nanosleep limiter (how common
// frameworks cap the frame rate). Needs an X server (DISPLAY). Counters are
// deviations of the frame intervals from 1000/60 ms, in ms: "swap_" ones
// stamped when the buffer swap is called (this program wraps
// glXSwapBuffers), the others after the loop's own step returns, which also
// counts the server's copy of the frame; core_pct is the loop thread's
// processor time as a share of one core.
#include <GL/glx.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "graphics/gl_driver.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"

namespace {

using namespace kelpora;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 600;
constexpr double kPeriodMs = 1000.0 / 60.0;

// Where the wrapped glXSwapBuffers notes the time of each call; null when not recording.
std::vector<Clock::time_point>* swapTimes = nullptr;

}  // namespace

// The library's own swap call lands here first (the executable's definition
// wins over libGL's); the real one is looked up once.
extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable) {
  using Swap = void (*)(Display*, GLXDrawable);
  static const Swap real = reinterpret_cast<Swap>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
  if (swapTimes) swapTimes->push_back(Clock::now());
  real(display, drawable);
}

namespace {

void Report(benchmark::State& state, const std::vector<Clock::time_point>& times,
            const char* prefix = "") {
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
  const std::string p = prefix;
  state.counters[p + "mean_interval_ms"] = sum / static_cast<double>(deviations.size());
  state.counters[p + "p50_dev_ms"] = percentile(0.50);
  state.counters[p + "p99_dev_ms"] = percentile(0.99);
  state.counters[p + "max_dev_ms"] = deviations.back();
}

// Runs one measured loop with the swap calls recorded beside the loop's own stamps.
template <typename Loop>
void Measure(benchmark::State& state, Loop loop) {
  std::vector<Clock::time_point> times, swaps;
  times.reserve(kFrames + 1);
  swaps.reserve(kFrames + 1);
  swapTimes = &swaps;
  timespec cpu0, cpu1;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  const auto wall0 = Clock::now();
  loop(times);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wall0).count();
  swapTimes = nullptr;
  // The loop thread's processor time, waiting and drawing, as a share of one core.
  const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
  state.counters["core_pct"] = 100.0 * cpuMs / wallMs;
  if (swaps.size() != times.size()) {
    state.SkipWithError("the swap wrapper did not see every frame");
    return;
  }
  Report(state, times);
  Report(state, swaps, "swap_");
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
    Measure(state, [](std::vector<Clock::time_point>& times) {
      PresentFrame();
      times.push_back(Clock::now());
      for (int i = 0; i < kFrames; ++i) {
        ClearScreen();
        PresentFrame();
        times.push_back(Clock::now());
      }
    });
  }
  CloseCanvas();
}

// The peer: swap without waiting, then nanosleep until the next deadline.
void NanosleepPacing(benchmark::State& state) {
  if (!OpenWindow(state, 60 | CANVAS_NO_SYNC)) return;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(kPeriodMs));
  for (auto _ : state) {
    Measure(state, [&](std::vector<Clock::time_point>& times) {
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
          timespec request{static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
          nanosleep(&request, nullptr);
        }
        times.push_back(Clock::now());
      }
    });
  }
  CloseCanvas();
}

BENCHMARK(PresentFramePacing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(NanosleepPacing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
