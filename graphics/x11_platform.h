// The X11 connection shared by the window layer and the event pump. Internal:
// only platform sources include this header, so Xlib's macros stay out of the
// public headers.
#pragma once

#include <X11/Xlib.h>

namespace kelpora {

// The display connection; null before the first open and after exit.
Display* X11Display();
// The window that input, pointer and cursor calls address; 0 when none.
Window X11CurrentWindow();
// The WM_DELETE_WINDOW atom set on visible windows; 0 without a connection.
Atom X11DeleteWindowAtom();

}  // namespace kelpora
