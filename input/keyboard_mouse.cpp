#include "input/keyboard_mouse.h"

#include "input/event_pump.h"
#include "runtime/system_driver.h"

namespace kelpora {

namespace {

int32_t automaticPolling = 1;

TSystemDriver& System() {
  InitInputModule();
  return *SystemDriver();
}

void Poll() {
  if (automaticPolling) System().PumpEvents();
}

}  // namespace

void SetAutomaticPolling(bool on) { automaticPolling = on ? 1 : 0; }
bool AutomaticPolling() { return automaticPolling != 0; }

void PumpEvents() { System().PumpEvents(); }

int32_t KeyHits(int32_t code) {
  Poll();
  return System().KeyHits(code);
}

int32_t KeyIsDown(int32_t code) {
  Poll();
  return System().KeyIsDown(code);
}

int32_t NextChar() {
  Poll();
  return System().NextChar();
}

void ClearKeyState() {
  Poll();
  System().ClearKeyState();
}

int32_t MouseAxis(int32_t axis) {
  Poll();
  return System().MouseAxis(axis);
}

int32_t PointerX() { return MouseAxis(0); }
int32_t PointerY() { return MouseAxis(1); }
int32_t WheelCount() { return MouseAxis(2); }

static int32_t ButtonKeyCode(int32_t button) {
  switch (button) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 4;
    default:
      return 0;
  }
}

int32_t MouseHits(int32_t button) {
  int32_t code = ButtonKeyCode(button);
  return code ? KeyHits(code) : 0;
}

int32_t MouseIsDown(int32_t button) {
  int32_t code = ButtonKeyCode(button);
  return code ? KeyIsDown(code) : 0;
}

void ClearMouseState() {
  for (int32_t button = 1; button <= 3; ++button) MouseHits(button);
}

void MovePointer(int32_t x, int32_t y) { System().MovePointer(x, y); }

bool CloseRequested() {
  // Before polling: a request already queued must not end the program now.
  KeepCloseRequests();
  Poll();
  return CloseRequestPending();
}

void ClearCloseRequest() {
  KeepCloseRequests();
  ClearCloseRequestPending();
}

int32_t WaitKeyCode() {
  ClearKeyState();
  for (;;) {
    System().WaitForInput();
    for (int32_t code = 1; code <= 255; ++code) {
      if (KeyHits(code)) return code;
    }
  }
}

int32_t WaitCharCode() {
  ClearKeyState();
  for (;;) {
    System().WaitForInput();
    if (int32_t c = NextChar()) return c;
  }
}

int32_t WaitMouseButton() {
  ClearMouseState();
  for (;;) {
    System().WaitForInput();
    for (int32_t button = 1; button <= 3; ++button) {
      if (MouseHits(button)) return button;
    }
  }
}

void InitInputModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitSystemModule();
  RegisterEventPump();
}

}  // namespace kelpora
