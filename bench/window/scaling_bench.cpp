// Scaling an 800 × 600 canvas into a 1920 × 1080 window, per frame, beside
// the same frame drawn unscaled: in an 800 × 600 window (the peer), and in a
// 1920 × 1080 window (the same frame with as many pixels to present as the
// scaled one). Frames are unpaced; every figure is milliseconds per frame.
// Needs an X server whose screen holds 1920 × 1080 (for example
// `Xvfb :9 -screen 0 1920x1080x24`) without a window manager.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>

#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"

namespace kelpora {
namespace {

// A frame of a small game: a cleared background and 300 coloured boxes.
void DrawFrame(int frame) {
  SetClearColor(20, 30, 60);
  ClearScreen();
  for (int i = 0; i < 300; ++i) {
    SetDrawColor((i * 37) & 255, (i * 91) & 255, (i * 53 + frame) & 255);
    FillRect(static_cast<float>((i * 53 + frame) % 760), static_cast<float>((i * 29) % 570), 40,
             30);
  }
}

// What a user dragging the window's corner does, without a window manager.
void ResizeWindowForBench(uint64_t window, int width, int height) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return;
  XResizeWindow(display, static_cast<Window>(window), static_cast<unsigned>(width),
                static_cast<unsigned>(height));
  XCloseDisplay(display);
}

// Opens the canvas and makes sure its window has the size wanted.
bool Open(benchmark::State& state, int windowW, int windowH, bool scaled, int32_t scaling) {
  InitGLDriverModule();
  if (scaled) {
    TWindowOptions options;
    options.resizable = true;
    options.scaling = scaling;
    OpenCanvasWindow(800, 600, CANVAS_NO_SYNC, options);
  } else {
    OpenCanvas(windowW, windowH, 0, CANVAS_NO_SYNC);
  }
  int32_t w = 0, h = 0;
  for (int i = 0; i < 200 && (w != windowW || h != windowH); ++i) {
    if (i == 0 && scaled) {
      auto context = RefCast<TGLGraphicsContext>(CurrentCanvas()->context);
      ResizeWindowForBench(context->WindowId(), windowW, windowH);
    }
    DrawFrame(0);
    PresentFrame();
    GetWindowSize(w, h);
  }
  if (w != windowW || h != windowH) {
    state.SkipWithError("the window did not get its size (is the screen 1920x1080?)");
    return false;
  }
  return true;
}

// One frame per iteration.
void Run(benchmark::State& state, int windowW, int windowH, bool scaled, int32_t scaling) {
  if (!Open(state, windowW, windowH, scaled, scaling)) return;
  int frame = 0;
  for (auto _ : state) {
    DrawFrame(++frame);
    PresentFrame();
  }
  CloseCanvas();
}

void BM_Unscaled800x600(benchmark::State& state) { Run(state, 800, 600, false, 0); }
void BM_Unscaled1920x1080(benchmark::State& state) { Run(state, 1920, 1080, false, 0); }
void BM_ScaledSmooth800x600To1920x1080(benchmark::State& state) {
  Run(state, 1920, 1080, true, SCALE_SMOOTH);
}
void BM_ScaledInteger800x600To1920x1080(benchmark::State& state) {
  Run(state, 1920, 1080, true, SCALE_INTEGER);
}

BENCHMARK(BM_Unscaled800x600)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Unscaled1920x1080)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ScaledSmooth800x600To1920x1080)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK(BM_ScaledInteger800x600To1920x1080)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
}  // namespace kelpora

BENCHMARK_MAIN();
