// Where a fixed logical canvas lands in a window of another size: kept in
// proportion, centred, with black bars around it, and the mapping of pointer
// positions between window and canvas pixels.
#pragma once

#include <cstdint>

namespace kelpora {

// How a canvas is scaled into a window of another size.
constexpr int32_t SCALE_SMOOTH = 0;   // the largest fitting size, filtered
constexpr int32_t SCALE_INTEGER = 1;  // the largest whole factor, nearest pixels (crisp pixel art)

// Options of a canvas window (OpenCanvasWindow in graphics/glx_window.h).
// Either option draws the canvas scaled into whatever size the window has.
struct TWindowOptions {
  bool resizable = false;          // the user and the window manager may resize it
  bool desktopFullScreen = false;  // opens covering the monitor, no video-mode change
  int32_t scaling = SCALE_SMOOTH;
};

// The canvas's place in the window, in window pixels from the top left.
struct TCanvasViewport {
  int32_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const TCanvasViewport&) const = default;
};

// Integer scaling uses the largest whole factor that fits, and shrinks like
// smooth scaling (to the largest fitting size) when the window is smaller
// than the canvas. Empty for empty sizes.
TCanvasViewport FitCanvas(int32_t canvasWidth, int32_t canvasHeight, int32_t windowWidth,
                          int32_t windowHeight, int32_t scaling);

// A window position as a canvas position; positions over the bars clamp to
// the canvas edge.
void WindowToCanvas(const TCanvasViewport& viewport, int32_t canvasWidth, int32_t canvasHeight,
                    int32_t& x, int32_t& y);
// The window pixel at the centre of a canvas pixel (canvas positions outside
// the canvas clamp to its edge first); WindowToCanvas maps it back.
void CanvasToWindow(const TCanvasViewport& viewport, int32_t canvasWidth, int32_t canvasHeight,
                    int32_t& x, int32_t& y);

}  // namespace kelpora
