#include "input/event_pump.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cstdlib>

#include "graphics/x11_platform.h"
#include "runtime/system_driver.h"
#include "runtime/termination.h"

namespace kelpora {

namespace {

struct TInputState {
  std::array<uint8_t, 256> hits{};
  std::array<uint8_t, 256> down{};
  std::array<uint16_t, 256> chars{};
  int32_t put = 0;
  int32_t get = 0;
  int32_t pointerX = 0;
  int32_t pointerY = 0;
  int32_t wheel = 0;
};

TInputState input;

// Until the program asks for close requests, the close button ends it.
bool keepCloseRequests = false;
bool closeRequested = false;

bool IsCloseRequest(const XEvent& event) {
  return event.type == ClientMessage && event.xclient.format == 32 &&
         static_cast<Atom>(event.xclient.data.l[0]) == X11DeleteWindowAtom();
}

constexpr bool IsShift(int32_t code) { return code == 160 || code == 161; }

// Codes of the key-translation table, by the keysym's low byte; 0 = no entry.
constexpr std::array<uint8_t, 256> MakeKeyTable() {
  std::array<uint8_t, 256> table{};
  table[0x14] = 145;
  table[0x27] = 222;
  table[0x2C] = 188;
  table[0x2D] = 107;
  table[0x2E] = 190;
  table[0x2F] = 191;
  table[0x3B] = 186;
  table[0x3D] = 109;
  table[0x50] = 36;
  table[0x55] = 33;
  table[0x56] = 34;
  table[0x57] = 35;
  table[0x5B] = 219;
  table[0x5C] = 226;
  table[0x5D] = 221;
  table[0x60] = 192;
  table[0x63] = 45;
  table[0x7F] = 144;
  table[0x8D] = 13;
  table[0x95] = 103;
  table[0x96] = 100;
  table[0x97] = 104;
  table[0x98] = 102;
  table[0x99] = 98;
  table[0x9A] = 105;
  table[0x9B] = 99;
  table[0x9C] = 97;
  table[0x9D] = 101;
  table[0x9E] = 96;
  table[0x9F] = 110;
  table[0xAA] = 106;
  table[0xAB] = 107;
  table[0xAD] = 109;
  table[0xAF] = 111;
  table[0xE1] = 160;
  table[0xE2] = 161;
  table[0xE3] = 162;
  table[0xE4] = 163;
  table[0xE9] = 164;
  table[0xEA] = 165;
  table[0xEB] = 91;
  table[0xEC] = 92;
  table[0xFF] = 46;
  return table;
}
constexpr std::array<uint8_t, 256> keyTable = MakeKeyTable();

int32_t KeyCodeOf(XKeyEvent& event) { return TranslateKeysym(XLookupKeysym(&event, 0)); }

void Hit(int32_t code) {
  ++input.hits[code];  // wraps modulo 256
  input.down[code] = 1;
}

void OnKeyPress(XKeyEvent& event, std::array<uint8_t, 256>& pendingRelease) {
  int32_t code = KeyCodeOf(event);
  if (pendingRelease[code]) {
    // A release and a press of the same key in one run: keyboard auto-repeat.
    pendingRelease[code] = 0;
    return;
  }
  Hit(code);
  if (IsShift(code)) Hit(16);
  char text[16];
  KeySym keysym = 0;
  int length = XLookupString(&event, text, 15, &keysym, nullptr);
  if (length > 0 && input.put - input.get < 256) {
    input.chars[static_cast<uint32_t>(input.put) % 256] = static_cast<uint16_t>(keysym);
    ++input.put;
  }
}

void OnButton(int button, bool pressed) {
  if (pressed && button == 4) {
    ++input.wheel;
    return;
  }
  if (pressed && button == 5) {
    --input.wheel;
    return;
  }
  int32_t code = ButtonCode(button);
  if (code < 0 || code > 255) return;
  if (pressed) {
    if (!input.down[code]) Hit(code);
  } else {
    input.down[code] = 0;
  }
}

// Pointer positions are canvas pixels, also where the canvas is scaled.
void OnMotion(const XMotionEvent& event) {
  int32_t x = event.x, y = event.y;
  X11WindowToCanvas(event.window, x, y);
  input.pointerX = x;
  input.pointerY = y;
}

}  // namespace

int32_t TranslateKeysym(uint64_t keysym) {
  int32_t b = static_cast<int32_t>(keysym & 0xFF);
  if (b >= 0x61 && b <= 0x7E) return b - 32;
  if (b >= 0x51 && b <= 0x54) return b - 44;
  if (b >= 0xBE && b <= 0xC9) return b - 78;
  if (keyTable[b]) return keyTable[b];
  return b;
}

int32_t ButtonCode(int32_t button) { return button <= 1 ? button : 8 - 2 * button; }

void RunEventPump() {
  ExitIfTerminationRequested();
  std::array<uint8_t, 256> pendingRelease{};
  Display* display = X11Display();
  if (!display) return;
  XFlush(display);
  while (XPending(display)) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case KeyPress:
        OnKeyPress(event.xkey, pendingRelease);
        break;
      case KeyRelease:
        pendingRelease[KeyCodeOf(event.xkey)] = 1;
        break;
      case ButtonPress:
        OnButton(static_cast<int>(event.xbutton.button), true);
        break;
      case ButtonRelease:
        OnButton(static_cast<int>(event.xbutton.button), false);
        break;
      case MotionNotify:
        OnMotion(event.xmotion);
        break;
      case ClientMessage:
        if (!IsCloseRequest(event)) break;
        // A program that does not read close requests ends normally: exit
        // hooks close graphics and restore the video mode.
        if (!keepCloseRequests) std::exit(0);
        closeRequested = true;
        break;
      default:
        break;
    }
  }
  for (int32_t code = 0; code < 256; ++code) {
    if (!pendingRelease[code]) continue;
    input.down[code] = 0;
    if (IsShift(code)) input.down[16] = 0;
  }
}

void WaitForInputEvent() {
  Display* display = X11Display();
  if (!display) return;
  XEvent event;
  XIfEvent(
      display, &event,
      [](Display*, XEvent* e, XPointer) -> Bool {
        // A close request wakes the wait too, rather than waiting for a key.
        return e->type == KeyPress || e->type == ButtonPress || IsCloseRequest(*e);
      },
      nullptr);
  XPutBackEvent(display, &event);
  RunEventPump();
}

void KeepCloseRequests() { keepCloseRequests = true; }
bool CloseRequestPending() { return closeRequested; }
void ClearCloseRequestPending() { closeRequested = false; }

int32_t TakeKeyHits(int32_t code) {
  if (code < 1 || code > 255) return 0;
  int32_t hits = input.hits[code];
  input.hits[code] = 0;
  return hits;
}

int32_t KeyDownFlag(int32_t code) {
  if (code < 1 || code > 255) return 0;
  return input.down[code];
}

int32_t TakeNextChar() {
  if (input.put == input.get) return 0;
  int32_t c = input.chars[static_cast<uint32_t>(input.get) % 256];
  ++input.get;
  return c;
}

void ClearKeyTables() {
  input.hits.fill(0);
  input.down.fill(0);
  input.put = 0;
  input.get = 0;
}

int32_t ReadMouseAxis(int32_t axis) {
  switch (axis) {
    case 0:
      return input.pointerX;
    case 1:
      return input.pointerY;
    case 2:
      return input.wheel;
    default:
      return 0;
  }
}

void WarpPointerTo(int32_t x, int32_t y) {
  Display* display = X11Display();
  // Without a window the warp would move the pointer relative to where it is.
  if (!display || !X11CurrentWindow()) return;
  X11CanvasToWindow(X11CurrentWindow(), x, y);  // x and y are canvas pixels
  XWarpPointer(display, None, X11CurrentWindow(), 0, 0, 0, 0, x, y);
  // A round trip brings the warp's own motion event in before the pump runs.
  XSync(display, False);
  RunEventPump();
}

namespace {

class TXEventInput : public TInputSource {
 public:
  void PumpEvents() override { RunEventPump(); }
  void WaitForInput() override { WaitForInputEvent(); }
  int32_t NextChar() override { return TakeNextChar(); }
  int32_t KeyHits(int32_t code) override { return TakeKeyHits(code); }
  int32_t KeyIsDown(int32_t code) override { return KeyDownFlag(code); }
  void ClearKeyState() override { ClearKeyTables(); }
  int32_t MouseAxis(int32_t axis) override { return ReadMouseAxis(axis); }
  void MovePointer(int32_t x, int32_t y) override { WarpPointerTo(x, y); }
};

}  // namespace

void RegisterEventPump() { SetInputSource(MakeRef<TXEventInput>()); }

}  // namespace kelpora
