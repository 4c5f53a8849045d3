#include "input/event_pump.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cstdlib>
#include <string>

#include "graphics/x11_platform.h"
#include "input/input_events.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/termination.h"
#include "runtime/text.h"

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

// Typed text comes through an input context of the current window, so that
// compose sequences and input methods give the characters they make.
struct TTextInput {
  XIM method = nullptr;
  XIC context = nullptr;
  Window window = 0;
  bool methodTried = false;
};
TTextInput textInput;

void CloseTextInput() {
  if (textInput.context) XDestroyIC(textInput.context);
  if (textInput.method) XCloseIM(textInput.method);
  textInput = {};
  textInput.methodTried = true;  // the connection is going: never again
}

XIC TextContext(Display* display) {
  const Window window = X11CurrentWindow();
  if (window == textInput.window) return textInput.context;
  if (textInput.context) XDestroyIC(textInput.context);
  textInput.context = nullptr;
  textInput.window = window;
  if (!textInput.methodTried) {
    textInput.methodTried = true;
    XSetLocaleModifiers("");
    textInput.method = XOpenIM(display, nullptr, nullptr, nullptr);
    // Closed before the window layer's hook closes the connection.
    if (textInput.method) AddExitHook(CloseTextInput);
  }
  if (textInput.method && window) {
    textInput.context = XCreateIC(textInput.method, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                  XNClientWindow, window, XNFocusWindow, window, nullptr);
  }
  return textInput.context;
}

// Control characters (Return, Tab, Backspace, Escape) are keys, not text.
std::string WithoutControls(std::string typed) {
  std::erase_if(typed, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
  return typed;
}

// The UTF-8 text of a key press: through the input context when there is
// one, otherwise the keysym's Latin-1 character.
std::string TypedText(Display* display, XKeyEvent& event) {
  char text[64];
  KeySym keysym = 0;
  if (XIC context = TextContext(display)) {
    Status status = 0;
    const int length = Xutf8LookupString(context, &event, text, sizeof text - 1, &keysym, &status);
    if ((status != XLookupChars && status != XLookupBoth) || length <= 0) return {};
    return WithoutControls(std::string(text, static_cast<size_t>(length)));
  }
  const int length = XLookupString(&event, text, sizeof text - 1, &keysym, nullptr);
  std::string typed;
  // Latin-1: each byte is the code point of the same value.
  for (int i = 0; i < length; ++i) AppendUtf8(typed, static_cast<unsigned char>(text[i]));
  return WithoutControls(std::move(typed));
}

void PushKeyEvent(TInputEventKind kind, int32_t code, Time time, bool repeat) {
  TInputEvent event;
  event.kind = kind;
  event.code = code;
  event.timeMs = static_cast<uint32_t>(time);
  event.repeat = repeat;
  PushInputEvent(std::move(event));
}

// The server's auto-repeat sends a release and a press of the held key with
// one time stamp; a real release is followed by something else.
bool IsRepeatRelease(Display* display, const XKeyEvent& release) {
  if (!XEventsQueued(display, QueuedAfterReading)) return false;
  XEvent next;
  XPeekEvent(display, &next);
  return next.type == KeyPress && next.xkey.keycode == release.keycode && next.xkey.time == release.time;
}

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

void OnButton(int button, bool pressed, Time time) {
  if (button == 4 || button == 5) {
    if (!pressed) return;
    input.wheel += button == 4 ? 1 : -1;
    PushKeyEvent(INPUT_WHEEL, button == 4 ? 1 : -1, time, false);
    return;
  }
  int32_t code = ButtonCode(button);
  if (code < 0 || code > 255) return;
  // Events number buttons 1 left, 2 right, 3 middle, as the polled queries do.
  PushKeyEvent(pressed ? INPUT_BUTTON_DOWN : INPUT_BUTTON_UP, code == 4 ? 3 : code, time, false);
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
  unsigned repeatKeycode = 0;  // the next press of this keycode is an auto-repeat
  while (XPending(display)) {
    XEvent event;
    XNextEvent(display, &event);
    // The input method sees every event first; a key it keeps (part of a
    // compose sequence) still counts as pressed for the polled state.
    const bool forInputMethod = TextContext(display) && XFilterEvent(&event, None);
    switch (event.type) {
      case KeyPress: {
        if (event.xkey.keycode == 0) {
          // The input method's own event: the text it composed.
          if (!forInputMethod) {
            std::string typed = TypedText(display, event.xkey);
            if (!typed.empty()) PushInputEvent({INPUT_TEXT, 0, static_cast<uint32_t>(event.xkey.time), false, typed});
          }
          break;
        }
        const bool repeat = repeatKeycode == event.xkey.keycode;
        repeatKeycode = 0;
        PushKeyEvent(INPUT_KEY_DOWN, KeyCodeOf(event.xkey), event.xkey.time, repeat);
        if (!forInputMethod) {
          std::string typed = TypedText(display, event.xkey);
          if (!typed.empty()) PushInputEvent({INPUT_TEXT, 0, static_cast<uint32_t>(event.xkey.time), repeat, typed});
        }
        OnKeyPress(event.xkey, pendingRelease);
        break;
      }
      case KeyRelease:
        if (IsRepeatRelease(display, event.xkey)) {
          repeatKeycode = event.xkey.keycode;
        } else {
          PushKeyEvent(INPUT_KEY_UP, KeyCodeOf(event.xkey), event.xkey.time, false);
        }
        pendingRelease[KeyCodeOf(event.xkey)] = 1;
        break;
      case ButtonPress:
        OnButton(static_cast<int>(event.xbutton.button), true, event.xbutton.time);
        break;
      case ButtonRelease:
        OnButton(static_cast<int>(event.xbutton.button), false, event.xbutton.time);
        break;
      case MappingNotify:
        // Keys were given other symbols: look them up anew from now on.
        XRefreshKeyboardMapping(&event.xmapping);
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
