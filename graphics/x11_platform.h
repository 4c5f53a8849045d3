// The X11 connection shared by the window layer and the event pump. Only
// platform sources use it; the types are spelled without Xlib so that its
// macros stay out of every header.
#pragma once

#include <cstdint>

struct _XDisplay;

namespace kelpora {

// The display connection (Xlib's Display); null before the first open and after exit.
_XDisplay* X11Display();
// The window (an Xlib Window id) that input, pointer and cursor calls address; 0 when none.
unsigned long X11CurrentWindow();
// The WM_DELETE_WINDOW atom set on visible windows; 0 without a connection.
unsigned long X11DeleteWindowAtom();
// Pointer positions between a window and the canvas scaled into it; nothing
// changes for a window whose canvas is not scaled. Positions over the bars
// clamp to the canvas edge.
void X11WindowToCanvas(unsigned long window, int32_t& x, int32_t& y);
void X11CanvasToWindow(unsigned long window, int32_t& x, int32_t& y);

}  // namespace kelpora
