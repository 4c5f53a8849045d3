#include "graphics/canvas_scaling.h"

#include <algorithm>
#include <cmath>

namespace kelpora {

TCanvasViewport FitCanvas(int32_t canvasWidth, int32_t canvasHeight, int32_t windowWidth,
                          int32_t windowHeight, int32_t scaling) {
  TCanvasViewport v;
  if (canvasWidth <= 0 || canvasHeight <= 0 || windowWidth <= 0 || windowHeight <= 0) return v;
  int32_t factor = std::min(windowWidth / canvasWidth, windowHeight / canvasHeight);
  if (scaling == SCALE_INTEGER && factor >= 1) {
    v.width = canvasWidth * factor;
    v.height = canvasHeight * factor;
  } else {
    // The side that limits the scale fills the window exactly; the other is
    // rounded, in 64 bits so no window size overflows.
    if (int64_t{windowWidth} * canvasHeight <= int64_t{windowHeight} * canvasWidth) {
      v.width = windowWidth;
      v.height = static_cast<int32_t>(
          std::llround(static_cast<double>(windowWidth) * canvasHeight / canvasWidth));
    } else {
      v.height = windowHeight;
      v.width = static_cast<int32_t>(
          std::llround(static_cast<double>(windowHeight) * canvasWidth / canvasHeight));
    }
    v.width = std::clamp(v.width, 1, windowWidth);
    v.height = std::clamp(v.height, 1, windowHeight);
  }
  v.x = (windowWidth - v.width) / 2;
  v.y = (windowHeight - v.height) / 2;
  return v;
}

namespace {

int32_t ToCanvas(int32_t at, int32_t start, int32_t span, int32_t size) {
  if (span <= 0 || size <= 0) return 0;
  int64_t offset = int64_t{at} - start;
  if (offset < 0) return 0;
  return static_cast<int32_t>(std::min<int64_t>(offset * size / span, size - 1));
}

// The middle of the window pixels that ToCanvas maps to the canvas pixel.
int32_t ToWindow(int32_t at, int32_t start, int32_t span, int32_t size) {
  if (span <= 0 || size <= 0) return start;
  int64_t pixel = std::clamp(at, 0, size - 1);
  auto ceilDiv = [](int64_t a, int64_t b) { return (a + b - 1) / b; };
  int64_t first = ceilDiv(pixel * span, size);
  int64_t last = std::max(first, ceilDiv((pixel + 1) * span, size) - 1);
  return static_cast<int32_t>(start + (first + last) / 2);
}

}  // namespace

void WindowToCanvas(const TCanvasViewport& viewport, int32_t canvasWidth, int32_t canvasHeight,
                    int32_t& x, int32_t& y) {
  x = ToCanvas(x, viewport.x, viewport.width, canvasWidth);
  y = ToCanvas(y, viewport.y, viewport.height, canvasHeight);
}

void CanvasToWindow(const TCanvasViewport& viewport, int32_t canvasWidth, int32_t canvasHeight,
                    int32_t& x, int32_t& y) {
  x = ToWindow(x, viewport.x, viewport.width, canvasWidth);
  y = ToWindow(y, viewport.y, viewport.height, canvasHeight);
}

}  // namespace kelpora
