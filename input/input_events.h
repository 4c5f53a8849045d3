// The input event queue: every key and mouse-button press and release, and
// the text typed, in the order they happened. It sits beside the polled
// state of keyboard_mouse.h (which keeps its own rules): a press and release
// shorter than a frame is two events here, never lost.
#pragma once

#include <cstdint>
#include <string>

namespace kelpora {

enum TInputEventKind : int32_t {
  INPUT_KEY_DOWN = 1,     // `code` is a key code of input/keys.h
  INPUT_KEY_UP = 2,
  INPUT_BUTTON_DOWN = 3,  // `code`: 1 left, 2 right, 3 middle
  INPUT_BUTTON_UP = 4,
  INPUT_WHEEL = 5,        // `code`: +1 away from the user, -1 towards
  INPUT_TEXT = 6,         // `text`: what was typed, UTF-8 (through the input method)
};

struct TInputEvent {
  TInputEventKind kind = INPUT_KEY_DOWN;
  int32_t code = 0;
  // The window system's time of the event, in milliseconds (it wraps after
  // about 49 days); events of one device come in increasing time.
  uint32_t timeMs = 0;
  // A key-down the keyboard's auto-repeat made while the key is held.
  bool repeat = false;
  std::string text;
};

// Takes the oldest event into `event`; false when there is none. While
// automatic polling is on it pumps the window system's events first.
bool NextInputEvent(TInputEvent& event);
// Forgets the queued events.
void ClearInputEvents();
// How many events were dropped because the queue was full (it keeps the
// newest 4096) since the start.
uint64_t DroppedInputEvents();

// The event pump's side: appends one event.
void PushInputEvent(TInputEvent event);

}  // namespace kelpora
