// Parts of the X11/GLX window layer for windows as a desktop expects them:
// the window manager's full-screen state, covering the screen where no
// window manager offers it, the framebuffer a scaled canvas draws into and
// its showing, and swap control in a window. Types are spelled without Xlib
// so that its macros stay out of every header; windows are Xlib Window ids.
#pragma once

#include <cstdint>

#include "graphics/canvas_scaling.h"

struct _XDisplay;

namespace kelpora {

// A window manager runs that follows the desktop conventions and offers
// full-screen windows (_NET_WM_STATE_FULLSCREEN).
bool WindowManagerOffersFullScreen(_XDisplay* display, int screen);
// Asks the window manager to add or remove the full-screen state of a mapped window.
void RequestFullScreenState(_XDisplay* display, int screen, unsigned long window, bool on);

// A window's place on the screen and size.
struct TWindowPlace {
  int x = 0, y = 0;
  unsigned width = 0, height = 0;
};
// Moves and sizes the window to cover the screen itself; answers where it was.
TWindowPlace CoverScreen(_XDisplay* display, int screen, unsigned long window);

// The framebuffer object of a scaled canvas, with a texture of the canvas's
// size, filtered for `scaling`; made in the current context, which it is left
// bound in. False when the driver makes none.
bool MakeCanvasTarget(int32_t width, int32_t height, int32_t scaling, uint32_t& framebuffer,
                      uint32_t& texture);
// Deletes both in the current context and sets them to 0.
void DeleteCanvasTarget(uint32_t& framebuffer, uint32_t& texture);
void BindCanvasTarget(uint32_t framebuffer);
// Draws the canvas texture into the window's back buffer at `viewport`
// (window pixels from the top left) with black bars around it, and puts back
// every GL state it changed; the window's framebuffer stays bound.
void DrawCanvasScaled(uint32_t texture, const TCanvasViewport& viewport, int32_t windowWidth,
                      int32_t windowHeight);

// The swap interval of the current drawable, through GLX_EXT_swap_control or
// GLX_MESA_swap_control where the server offers one; nothing elsewhere.
void SetWindowSwapInterval(_XDisplay* display, int screen, int32_t interval);

}  // namespace kelpora
