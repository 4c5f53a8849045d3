// Keyboard and mouse through the event pump, with real events sent to a real
// window by the XTEST extension.
#include <gtest/gtest.h>

// clang-format off
// Xlib after gtest: its None macro clashes with a name in gtest.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "graphics/gl_driver.h"
#include "graphics/glx_window.h"
#include "graphics/x11_platform.h"
#include "input/event_pump.h"
#include "input/input_events.h"
#include "input/keyboard_mouse.h"
#include "vex2d/graphics_mode.h"
#include "x_display.h"

namespace kelpora {
namespace {

TEST(KeyTranslation, RulesAndTable) {
  EXPECT_EQ(TranslateKeysym(XK_a), 65);
  EXPECT_EQ(TranslateKeysym(XK_z), 90);
  EXPECT_EQ(TranslateKeysym(XK_A), 'A') << "upper-case keysyms pass through";
  EXPECT_EQ(TranslateKeysym(XK_0), 48);
  EXPECT_EQ(TranslateKeysym(XK_space), 32);
  EXPECT_EQ(TranslateKeysym(XK_Escape), 27);
  EXPECT_EQ(TranslateKeysym(XK_Return), 13);
  EXPECT_EQ(TranslateKeysym(XK_BackSpace), 8);
  EXPECT_EQ(TranslateKeysym(XK_Left), 37);
  EXPECT_EQ(TranslateKeysym(XK_Down), 40);
  EXPECT_EQ(TranslateKeysym(XK_F1), 112);
  EXPECT_EQ(TranslateKeysym(XK_F12), 123);
  // Every key of the fixed table, by its real keysym.
  const struct {
    KeySym keysym;
    int32_t code;
  } table[] = {
      {XK_Scroll_Lock, 145},
      {XK_apostrophe, 222},
      {XK_comma, 188},
      {XK_minus, 107},
      {XK_period, 190},
      {XK_slash, 191},
      {XK_semicolon, 186},
      {XK_equal, 109},
      {XK_Home, 36},
      {XK_Page_Up, 33},
      {XK_Page_Down, 34},
      {XK_End, 35},
      {XK_bracketleft, 219},
      {XK_backslash, 226},
      {XK_bracketright, 221},
      {XK_grave, 192},
      {XK_Num_Lock, 144},
      {XK_KP_Enter, 13},
      {XK_KP_Home, 103},
      {XK_KP_Left, 100},
      {XK_KP_Up, 104},
      {XK_KP_Right, 102},
      {XK_KP_Down, 98},
      {XK_KP_Page_Up, 105},
      {XK_KP_Page_Down, 99},
      {XK_KP_End, 97},
      {XK_KP_Begin, 101},
      {XK_KP_Insert, 96},
      {XK_KP_Delete, 110},
      {XK_KP_Multiply, 106},
      {XK_KP_Add, 107},
      {XK_KP_Subtract, 109},
      {XK_KP_Divide, 111},
      {XK_Shift_L, 160},
      {XK_Shift_R, 161},
      {XK_Control_L, 162},
      {XK_Control_R, 163},
      {XK_Alt_L, 164},
      {XK_Alt_R, 165},
      {XK_Super_L, 91},
      {XK_Super_R, 92},
      {XK_Delete, 46},
      // Insert's low byte 0x63 is a letter's: the letter rule wins over its table entry (45).
      {XK_Insert, 'C'},
  };
  for (const auto& key : table) {
    EXPECT_EQ(TranslateKeysym(key.keysym), key.code) << XKeysymToString(key.keysym);
  }
  // Only the low byte counts: Print (0xFF61) reads as the letter A; keypad
  // digits with Num Lock pass through.
  EXPECT_EQ(TranslateKeysym(XK_Print), 65);
  EXPECT_EQ(TranslateKeysym(XK_KP_0), 176);
  EXPECT_EQ(ButtonCode(1), 1);
  EXPECT_EQ(ButtonCode(2), 4);
  EXPECT_EQ(ButtonCode(3), 2);
  EXPECT_LT(ButtonCode(6), 0);
}

// Each named key code is what the key table gives for that key's keysym.
TEST(KeyTranslation, NamedKeysMatchTheTable) {
#define K(keysym, name) \
  { XK_##keysym, name, #name }
  const struct {
    KeySym keysym;
    int32_t code;
    const char* name;
  } keys[] = {
      // clang-format off
      K(a, KEY_A), K(b, KEY_B), K(c, KEY_C), K(d, KEY_D), K(e, KEY_E), K(f, KEY_F), K(g, KEY_G),
      K(h, KEY_H), K(i, KEY_I), K(j, KEY_J), K(k, KEY_K), K(l, KEY_L), K(m, KEY_M), K(n, KEY_N),
      K(o, KEY_O), K(p, KEY_P), K(q, KEY_Q), K(r, KEY_R), K(s, KEY_S), K(t, KEY_T), K(u, KEY_U),
      K(v, KEY_V), K(w, KEY_W), K(x, KEY_X), K(y, KEY_Y), K(z, KEY_Z), K(A, KEY_A), K(Z, KEY_Z),
      K(0, KEY_0), K(1, KEY_1), K(2, KEY_2), K(3, KEY_3), K(4, KEY_4), K(5, KEY_5), K(6, KEY_6),
      K(7, KEY_7), K(8, KEY_8), K(9, KEY_9),
      K(F1, KEY_F1), K(F2, KEY_F2), K(F3, KEY_F3), K(F4, KEY_F4), K(F5, KEY_F5), K(F6, KEY_F6),
      K(F7, KEY_F7), K(F8, KEY_F8), K(F9, KEY_F9), K(F10, KEY_F10), K(F11, KEY_F11),
      K(F12, KEY_F12),
      K(BackSpace, KEY_BACKSPACE), K(Tab, KEY_TAB), K(Return, KEY_RETURN), K(Return, KEY_ENTER),
      K(Pause, KEY_PAUSE), K(Escape, KEY_ESCAPE), K(space, KEY_SPACE), K(Page_Up, KEY_PAGE_UP),
      K(Page_Down, KEY_PAGE_DOWN), K(End, KEY_END), K(Home, KEY_HOME), K(Left, KEY_LEFT),
      K(Up, KEY_UP), K(Right, KEY_RIGHT), K(Down, KEY_DOWN), K(Delete, KEY_DELETE),
      K(Num_Lock, KEY_NUM_LOCK), K(Scroll_Lock, KEY_SCROLL_LOCK), K(Caps_Lock, KEY_CAPS_LOCK),
      K(Shift_L, KEY_LSHIFT), K(Shift_R, KEY_RSHIFT), K(Control_L, KEY_LCONTROL),
      K(Control_R, KEY_RCONTROL), K(Alt_L, KEY_LALT), K(Alt_R, KEY_RALT), K(Super_L, KEY_LSUPER),
      K(Super_R, KEY_RSUPER),
      K(semicolon, KEY_SEMICOLON), K(equal, KEY_EQUAL), K(comma, KEY_COMMA), K(minus, KEY_MINUS),
      K(period, KEY_PERIOD), K(slash, KEY_SLASH), K(grave, KEY_GRAVE),
      K(bracketleft, KEY_LBRACKET), K(backslash, KEY_BACKSLASH), K(bracketright, KEY_RBRACKET),
      K(apostrophe, KEY_APOSTROPHE),
      K(KP_Insert, KEY_KP_INSERT), K(KP_End, KEY_KP_END), K(KP_Down, KEY_KP_DOWN),
      K(KP_Page_Down, KEY_KP_PAGE_DOWN), K(KP_Left, KEY_KP_LEFT), K(KP_Begin, KEY_KP_BEGIN),
      K(KP_Right, KEY_KP_RIGHT), K(KP_Home, KEY_KP_HOME), K(KP_Up, KEY_KP_UP),
      K(KP_Page_Up, KEY_KP_PAGE_UP), K(KP_Delete, KEY_KP_DELETE),
      K(KP_0, KEY_KP_0), K(KP_1, KEY_KP_1), K(KP_2, KEY_KP_2), K(KP_3, KEY_KP_3),
      K(KP_4, KEY_KP_4), K(KP_5, KEY_KP_5), K(KP_6, KEY_KP_6), K(KP_7, KEY_KP_7),
      K(KP_8, KEY_KP_8), K(KP_9, KEY_KP_9), K(KP_Decimal, KEY_KP_DECIMAL),
      K(KP_Multiply, KEY_KP_MULTIPLY), K(KP_Add, KEY_KP_ADD), K(KP_Subtract, KEY_KP_SUBTRACT),
      K(KP_Divide, KEY_KP_DIVIDE), K(KP_Enter, KEY_KP_ENTER),
      // clang-format on
  };
#undef K
  for (const auto& key : keys) {
    EXPECT_EQ(TranslateKeysym(key.keysym), key.code) << key.name;
  }
  // KEY_SHIFT is no key of its own: either Shift sets it too.
  EXPECT_EQ(KEY_SHIFT, 16);
}

// Run before any window in this process: nothing is connected yet.
TEST(InputWithoutDisplay, QueriesReadZero) {
  if (X11Display()) GTEST_SKIP() << "a display is already open in this process";
  EXPECT_EQ(KeyHits(27), 0);
  EXPECT_EQ(KeyIsDown(27), 0);
  EXPECT_EQ(NextChar(), 0);
  MovePointer(10, 10);
  WaitForInputEvent();  // returns at once
  EXPECT_EQ(PointerX(), 0);
}

constexpr int kLeft = 900;
constexpr int kTop = 700;

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X server (DISPLAY)";
    InitGLDriverModule();
    InitInputModule();
    OpenCanvas(320, 240, 0, CANVAS_NO_SYNC);
    tester_ = kelpora::testing::OpenDisplayPatiently();
    ASSERT_NE(tester_, nullptr);
    int event, error, major, minor;
    ASSERT_TRUE(XTestQueryExtension(tester_, &event, &error, &major, &minor));
    window_ = X11CurrentWindow();
    ASSERT_NE(window_, 0u);
    // Away from the corner where the other tests' windows open.
    XMoveWindow(tester_, window_, kLeft, kTop);
    XRaiseWindow(tester_, window_);
    XWarpPointer(tester_, None, window_, 0, 0, 0, 0, 160, 120);
    XSetInputFocus(tester_, window_, RevertToParent, CurrentTime);
    Sync();
    PumpEvents();
    ClearKeyState();
    ClearMouseState();
    ClearInputEvents();
  }
  void TearDown() override {
    if (tester_) XCloseDisplay(tester_);
    CloseCanvas();
  }
  // Everything sent so far has reached our connection.
  void Sync() {
    XSync(tester_, False);
    XSync(X11Display(), False);
  }
  void Key(KeySym keysym, bool press) {
    XTestFakeKeyEvent(tester_, XKeysymToKeycode(tester_, keysym), press, CurrentTime);
  }
  void Tap(KeySym keysym) {
    Key(keysym, true);
    Key(keysym, false);
  }
  void Button(unsigned button, bool press) {
    XTestFakeButtonEvent(tester_, button, press, CurrentTime);
  }
  // Events sent, then one frame shown: the swap pumps them.
  void Frame() {
    Sync();
    PresentFrame();
  }

  Display* tester_ = nullptr;
  Window window_ = 0;
};

TEST_F(InputTest, EscapeTappedBetweenFramesCountsOneHitAndIsUp) {
  Tap(XK_Escape);
  Frame();
  EXPECT_EQ(KeyHits(27), 1);
  EXPECT_EQ(KeyHits(27), 0);
  EXPECT_EQ(KeyIsDown(27), 0);
  EXPECT_EQ(NextChar(), 0xFF1B);
}

TEST_F(InputTest, AutoRepeatKeepsTheKeyDownWithoutHits) {
  Key(XK_x, true);
  Frame();
  EXPECT_EQ(KeyHits('X'), 1);
  EXPECT_EQ(KeyIsDown('X'), 1);
  for (int i = 0; i < 3; ++i) {
    // A repeat arrives as a release and a press together.
    Key(XK_x, false);
    Key(XK_x, true);
    Frame();
  }
  EXPECT_EQ(KeyHits('X'), 0);
  EXPECT_EQ(KeyIsDown('X'), 1);
  EXPECT_EQ(NextChar(), 'x');
  EXPECT_EQ(NextChar(), 0) << "repeats queue no characters";
  Key(XK_x, false);
  Frame();
  EXPECT_EQ(KeyIsDown('X'), 0);
}

TEST_F(InputTest, LeftShiftSetsItsOwnAndTheSharedCode) {
  Key(XK_Shift_L, true);
  Frame();
  EXPECT_EQ(KeyIsDown(160), 1);
  EXPECT_EQ(KeyIsDown(16), 1);
  EXPECT_EQ(KeyHits(160), 1);
  EXPECT_EQ(KeyHits(16), 1);
  EXPECT_EQ(NextChar(), 0) << "Shift alone types nothing";
  Tap(XK_a);
  Key(XK_Shift_L, false);
  Frame();
  EXPECT_EQ(KeyIsDown(160), 0);
  EXPECT_EQ(KeyIsDown(16), 0);
  EXPECT_EQ(KeyHits('A'), 1);
  EXPECT_EQ(NextChar(), 0x41);
  Tap(XK_Return);
  Tap(XK_7);
  Frame();
  EXPECT_EQ(NextChar(), 0xFF0D);
  EXPECT_EQ(NextChar(), '7');
  EXPECT_EQ(KeyHits(13), 1);
  EXPECT_EQ(KeyHits(55), 1);
}

TEST_F(InputTest, ButtonsWheelAndPointer) {
  Button(3, true);
  Frame();
  EXPECT_EQ(MouseIsDown(2), 1);
  EXPECT_EQ(KeyIsDown(2), 1) << "right button is code 2";
  Button(3, false);
  Button(2, true);
  Button(2, false);
  Frame();
  EXPECT_EQ(MouseHits(2), 1);
  EXPECT_EQ(MouseIsDown(2), 0);
  EXPECT_EQ(MouseHits(3), 1) << "middle button reads code 4";
  EXPECT_EQ(KeyHits(4), 0);
  int wheel = WheelCount();
  for (unsigned button : {4u, 4u, 5u}) {
    Button(button, true);
    Button(button, false);
  }
  Frame();
  EXPECT_EQ(WheelCount(), wheel + 1);
  for (int code = 0; code < 256; ++code) ASSERT_EQ(KeyHits(code), 0) << code;
  XTestFakeMotionEvent(tester_, DefaultScreen(tester_), kLeft + 33, kTop + 44, CurrentTime);
  Frame();
  EXPECT_EQ(PointerX(), 33);
  EXPECT_EQ(PointerY(), 44);
  MovePointer(70, 80);
  EXPECT_EQ(MouseAxis(0), 70);
  EXPECT_EQ(MouseAxis(1), 80);
  EXPECT_EQ(MouseAxis(-1), 0);
  EXPECT_EQ(MouseAxis(3), 0);
  EXPECT_EQ(KeyHits(0), 0);
  EXPECT_EQ(KeyHits(256), 0);
}

TEST_F(InputTest, CharacterQueueHolds256) {
  for (int i = 0; i < 260; ++i) {
    Tap(XK_b);
    Sync();
    PumpEvents();
  }
  EXPECT_EQ(KeyHits('B'), 260 % 256) << "hit counts wrap";
  int count = 0;
  while (NextChar() == 'b') ++count;
  EXPECT_EQ(count, 256);
  EXPECT_EQ(NextChar(), 0);
  ClearKeyState();
  Tap(XK_c);
  Sync();
  EXPECT_EQ(NextChar(), 'c');
}

// The waits clear the state first, so the event is sent while they block.
TEST_F(InputTest, WaitFunctionsReturnWhatArrives) {
  auto later = [this](auto send) {
    return std::thread([this, send] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      send();
      XSync(tester_, False);
    });
  };
  Tap(XK_e);  // pressed before the wait: cleared, not returned
  Sync();
  std::thread sender = later([this] { Tap(XK_q); });
  EXPECT_EQ(WaitKeyCode(), 'Q');
  sender.join();
  sender = later([this] { Tap(XK_w); });
  EXPECT_EQ(WaitCharCode(), 'w');
  sender.join();
  sender = later([this] {
    Button(3, true);
    Button(3, false);
  });
  EXPECT_EQ(WaitMouseButton(), 2) << "right is button 2";
  sender.join();
}

// Events sent a few milliseconds apart, as hands do, all inside one frame.
TEST_F(InputTest, EventQueueKeepsEveryPressAndReleaseInOrder) {
  struct Step {
    bool key;        // a key (else a mouse button)
    unsigned which;  // keysym or X button
    bool press;
    TInputEventKind kind;
    int32_t code;
  };
  std::vector<Step> steps;
  for (int i = 0; i < 10; ++i) {
    steps.push_back({true, XK_x, true, INPUT_KEY_DOWN, KEY_X});
    steps.push_back({true, XK_x, false, INPUT_KEY_UP, KEY_X});
  }
  steps.push_back({false, 3, true, INPUT_BUTTON_DOWN, 2});
  steps.push_back({false, 3, false, INPUT_BUTTON_UP, 2});
  steps.push_back({false, 2, true, INPUT_BUTTON_DOWN, 3});
  steps.push_back({false, 5, true, INPUT_WHEEL, -1});
  steps.push_back({false, 2, false, INPUT_BUTTON_UP, 3});
  for (const Step& step : steps) {
    if (step.key) {
      XTestFakeKeyEvent(tester_, XKeysymToKeycode(tester_, step.which), step.press, 2);
    } else {
      XTestFakeButtonEvent(tester_, step.which, step.press, 2);
      if (step.which >= 4) XTestFakeButtonEvent(tester_, step.which, false, 2);  // the wheel's click ends at once
    }
  }
  Frame();

  uint32_t lastTime = 0;
  size_t next = 0;
  int typed = 0;
  TInputEvent event;
  while (NextInputEvent(event)) {
    if (event.kind == INPUT_TEXT) {
      EXPECT_EQ(event.text, "x");
      EXPECT_EQ(steps[next - 1].kind, INPUT_KEY_DOWN) << "text follows its key";
      ++typed;
      continue;
    }
    ASSERT_LT(next, steps.size()) << "more events than were sent";
    EXPECT_EQ(event.kind, steps[next].kind) << "event " << next;
    EXPECT_EQ(event.code, steps[next].code) << "event " << next;
    EXPECT_FALSE(event.repeat) << "event " << next;
    EXPECT_GE(event.timeMs, lastTime) << "event " << next;
    lastTime = event.timeMs;
    ++next;
  }
  EXPECT_EQ(next, steps.size());
  EXPECT_EQ(typed, 10);
}

// Keys mapped to "é" and "€" type them as UTF-8 through the input method.
TEST_F(InputTest, TypedTextArrivesAsUtf8) {
  int low = 0, high = 0, perCode = 0;
  XDisplayKeycodes(tester_, &low, &high);
  KeySym* map = XGetKeyboardMapping(tester_, low, high - low + 1, &perCode);
  // Two key codes with nothing on them, put back as they were afterwards.
  std::vector<KeyCode> spare;
  for (int code = high; code >= low && spare.size() < 2; --code) {
    bool empty = true;
    for (int i = 0; i < perCode; ++i) empty = empty && map[(code - low) * perCode + i] == NoSymbol;
    if (empty) spare.push_back(static_cast<KeyCode>(code));
  }
  XFree(map);
  ASSERT_EQ(spare.size(), 2u);
  const struct {
    KeySym keysym;
    const char* utf8;
  } cases[] = {{XK_eacute, "\xC3\xA9"}, {XK_EuroSign, "\xE2\x82\xAC"}};
  for (size_t i = 0; i < 2; ++i) {
    KeySym keysym = cases[i].keysym;
    XChangeKeyboardMapping(tester_, spare[i], 1, &keysym, 1);
  }
  Sync();
  PumpEvents();  // the mapping change reaches our connection
  ClearInputEvents();
  for (size_t i = 0; i < 2; ++i) {
    XTestFakeKeyEvent(tester_, spare[i], True, 2);
    XTestFakeKeyEvent(tester_, spare[i], False, 2);
  }
  Frame();
  std::vector<std::string> texts;
  TInputEvent event;
  while (NextInputEvent(event)) {
    if (event.kind == INPUT_TEXT) texts.push_back(event.text);
  }
  for (size_t i = 0; i < 2; ++i) {
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(tester_, spare[i], 1, &none, 1);
  }
  Sync();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], cases[0].utf8);
  EXPECT_EQ(texts[1], cases[1].utf8);
}

}  // namespace
}  // namespace kelpora
