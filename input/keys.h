// Key codes as KeyHits and KeyIsDown take them: what the event pump's key
// table gives for each key. Only a keysym's low byte is looked at, so some
// keys share a code (minus and keypad add, equal and keypad subtract, Return
// and keypad Enter) and keys such as Insert, Print and Menu read as letters.
#pragma once

#include <cstdint>

namespace kelpora {

// Letters give their upper-case ASCII code, whatever Shift says.
constexpr int32_t KEY_A = 65;
constexpr int32_t KEY_B = 66;
constexpr int32_t KEY_C = 67;
constexpr int32_t KEY_D = 68;
constexpr int32_t KEY_E = 69;
constexpr int32_t KEY_F = 70;
constexpr int32_t KEY_G = 71;
constexpr int32_t KEY_H = 72;
constexpr int32_t KEY_I = 73;
constexpr int32_t KEY_J = 74;
constexpr int32_t KEY_K = 75;
constexpr int32_t KEY_L = 76;
constexpr int32_t KEY_M = 77;
constexpr int32_t KEY_N = 78;
constexpr int32_t KEY_O = 79;
constexpr int32_t KEY_P = 80;
constexpr int32_t KEY_Q = 81;
constexpr int32_t KEY_R = 82;
constexpr int32_t KEY_S = 83;
constexpr int32_t KEY_T = 84;
constexpr int32_t KEY_U = 85;
constexpr int32_t KEY_V = 86;
constexpr int32_t KEY_W = 87;
constexpr int32_t KEY_X = 88;
constexpr int32_t KEY_Y = 89;
constexpr int32_t KEY_Z = 90;

// The digit row gives ASCII codes.
constexpr int32_t KEY_0 = 48;
constexpr int32_t KEY_1 = 49;
constexpr int32_t KEY_2 = 50;
constexpr int32_t KEY_3 = 51;
constexpr int32_t KEY_4 = 52;
constexpr int32_t KEY_5 = 53;
constexpr int32_t KEY_6 = 54;
constexpr int32_t KEY_7 = 55;
constexpr int32_t KEY_8 = 56;
constexpr int32_t KEY_9 = 57;

constexpr int32_t KEY_F1 = 112;
constexpr int32_t KEY_F2 = 113;
constexpr int32_t KEY_F3 = 114;
constexpr int32_t KEY_F4 = 115;
constexpr int32_t KEY_F5 = 116;
constexpr int32_t KEY_F6 = 117;
constexpr int32_t KEY_F7 = 118;
constexpr int32_t KEY_F8 = 119;
constexpr int32_t KEY_F9 = 120;
constexpr int32_t KEY_F10 = 121;
constexpr int32_t KEY_F11 = 122;
constexpr int32_t KEY_F12 = 123;

constexpr int32_t KEY_BACKSPACE = 8;
constexpr int32_t KEY_TAB = 9;
constexpr int32_t KEY_RETURN = 13;  // also keypad Enter
constexpr int32_t KEY_ENTER = 13;
constexpr int32_t KEY_PAUSE = 19;
constexpr int32_t KEY_ESCAPE = 27;
constexpr int32_t KEY_SPACE = 32;
constexpr int32_t KEY_PAGE_UP = 33;
constexpr int32_t KEY_PAGE_DOWN = 34;
constexpr int32_t KEY_END = 35;
constexpr int32_t KEY_HOME = 36;
constexpr int32_t KEY_LEFT = 37;
constexpr int32_t KEY_UP = 38;
constexpr int32_t KEY_RIGHT = 39;
constexpr int32_t KEY_DOWN = 40;
constexpr int32_t KEY_DELETE = 46;
constexpr int32_t KEY_NUM_LOCK = 144;
constexpr int32_t KEY_SCROLL_LOCK = 145;
constexpr int32_t KEY_CAPS_LOCK = 229;

// Modifiers. KEY_SHIFT is set together with either Shift key; Control, Alt
// and Super have only their own sides.
constexpr int32_t KEY_SHIFT = 16;
constexpr int32_t KEY_LSHIFT = 160;
constexpr int32_t KEY_RSHIFT = 161;
constexpr int32_t KEY_LCONTROL = 162;
constexpr int32_t KEY_RCONTROL = 163;
constexpr int32_t KEY_LALT = 164;
constexpr int32_t KEY_RALT = 165;
constexpr int32_t KEY_LSUPER = 91;
constexpr int32_t KEY_RSUPER = 92;

// Punctuation of a US layout, by the unshifted symbol.
constexpr int32_t KEY_SEMICOLON = 186;
constexpr int32_t KEY_EQUAL = 109;  // same code as KEY_KP_SUBTRACT
constexpr int32_t KEY_COMMA = 188;
constexpr int32_t KEY_MINUS = 107;  // same code as KEY_KP_ADD
constexpr int32_t KEY_PERIOD = 190;
constexpr int32_t KEY_SLASH = 191;
constexpr int32_t KEY_GRAVE = 192;
constexpr int32_t KEY_LBRACKET = 219;
constexpr int32_t KEY_BACKSLASH = 226;
constexpr int32_t KEY_RBRACKET = 221;
constexpr int32_t KEY_APOSTROPHE = 222;

// The keypad with Num Lock off: its digit keys move.
constexpr int32_t KEY_KP_INSERT = 96;     // 0
constexpr int32_t KEY_KP_END = 97;        // 1
constexpr int32_t KEY_KP_DOWN = 98;       // 2
constexpr int32_t KEY_KP_PAGE_DOWN = 99;  // 3
constexpr int32_t KEY_KP_LEFT = 100;      // 4
constexpr int32_t KEY_KP_BEGIN = 101;     // 5
constexpr int32_t KEY_KP_RIGHT = 102;     // 6
constexpr int32_t KEY_KP_HOME = 103;      // 7
constexpr int32_t KEY_KP_UP = 104;        // 8
constexpr int32_t KEY_KP_PAGE_UP = 105;   // 9
constexpr int32_t KEY_KP_DELETE = 110;    // decimal point
// With Num Lock on.
constexpr int32_t KEY_KP_0 = 176;
constexpr int32_t KEY_KP_1 = 177;
constexpr int32_t KEY_KP_2 = 178;
constexpr int32_t KEY_KP_3 = 179;
constexpr int32_t KEY_KP_4 = 180;
constexpr int32_t KEY_KP_5 = 181;
constexpr int32_t KEY_KP_6 = 182;
constexpr int32_t KEY_KP_7 = 183;
constexpr int32_t KEY_KP_8 = 184;
constexpr int32_t KEY_KP_9 = 185;
constexpr int32_t KEY_KP_DECIMAL = 174;
// Either way.
constexpr int32_t KEY_KP_MULTIPLY = 106;
constexpr int32_t KEY_KP_ADD = 107;
constexpr int32_t KEY_KP_SUBTRACT = 109;
constexpr int32_t KEY_KP_DIVIDE = 111;
constexpr int32_t KEY_KP_ENTER = 13;

}  // namespace kelpora
