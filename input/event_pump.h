// The X event pump and the input state it fills: per key code a hit count
// and a down flag, a queue of typed characters (keysyms), the pointer
// position and the wheel. Mouse buttons use codes 1 (left), 2 (right) and 4
// (middle); code 16 is set together with either Shift key.
#pragma once

#include <cstdint>

namespace kelpora {

// Drains the pending X events into the input state; nothing without a display.
void RunEventPump();
// Blocks until a key or button press or a close request is queued, then pumps.
void WaitForInputEvent();
// Reads and clears a hit count; 0 for codes outside 1 to 255.
int32_t TakeKeyHits(int32_t code);
int32_t KeyDownFlag(int32_t code);
// The oldest queued character, 0 when none.
int32_t TakeNextChar();
// Clears hit counts, down flags and the character queue.
void ClearKeyTables();
// 0 pointer x, 1 pointer y, 2 wheel; 0 for any other axis.
int32_t ReadMouseAxis(int32_t axis);
// Warps the pointer to a canvas position inside the current window, then pumps.
void WarpPointerTo(int32_t x, int32_t y);

// The window manager's close button: until KeepCloseRequests is called it
// ends the process normally (status 0, exit hooks run); from then on the pump
// only raises the pending flag.
void KeepCloseRequests();
bool CloseRequestPending();
void ClearCloseRequestPending();

// Registers the X event pump as the system driver's input source.
void RegisterEventPump();

// Key code of a keysym: its low byte through the translation rules.
int32_t TranslateKeysym(uint64_t keysym);
// Code of a mouse button other than the wheel: 1 → 1, 2 → 4, 3 → 2; the result
// is outside 0 to 255 for buttons that have none.
int32_t ButtonCode(int32_t button);

}  // namespace kelpora
