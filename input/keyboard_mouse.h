// Polled keyboard and mouse queries. While automatic polling is on (the
// default) every query first pumps pending window-system events.
#pragma once

#include <cstdint>

#include "input/keys.h"  // the key codes these functions take

namespace kelpora {

void SetAutomaticPolling(bool on);
bool AutomaticPolling();

void PumpEvents();
// Reads and clears the hit count of a key code (1 to 255).
int32_t KeyHits(int32_t code);
int32_t KeyIsDown(int32_t code);
// The next queued keysym (Latin-1 keys give their character), 0 when none.
int32_t NextChar();
void ClearKeyState();
int32_t MouseAxis(int32_t axis);
int32_t PointerX();
int32_t PointerY();
int32_t WheelCount();
// Buttons 1 left, 2 right, 3 middle.
int32_t MouseHits(int32_t button);
int32_t MouseIsDown(int32_t button);
void ClearMouseState();
// Moves the pointer to a canvas position (canvas pixels also where the canvas
// is scaled into its window).
void MovePointer(int32_t x, int32_t y);
// The window's close button was pressed. From the first call of either
// function on, the close button only raises this request, which stays until
// cleared; a program that never calls them ends (status 0) when it is pressed.
bool CloseRequested();
void ClearCloseRequest();
// Block until a key, character or button arrives.
int32_t WaitKeyCode();
int32_t WaitCharCode();
int32_t WaitMouseButton();

void InitInputModule();

}  // namespace kelpora
