// Small text functions: 1-based substrings and search, padding, trimming,
// case changes, and fixed-width hexadecimal and binary renderings.
#pragma once

#include <cstdint>

#include "runtime/object.h"

namespace kelpora {

// Characters from position `pos` (1 = first); a negative `count` takes the
// rest; the part of [pos, pos + count) before the first character is lost.
String Mid(const String& text, int32_t pos, int32_t count = -1);
// 1-based position of `sub` at or after `start`, 0 when absent.
int32_t Instr(const String& text, const String& sub, int32_t start = 1);
String Left(const String& text, int32_t n);
String Right(const String& text, int32_t n);
// Cut or padded with blanks on the right (LSet) or on the left (RSet) to n characters.
String LSet(const String& text, int32_t n);
String RSet(const String& text, int32_t n);
// Every occurrence of `from` replaced; an empty `from` leaves the text as it is.
String Replace(const String& text, const String& from, const String& to);
// Removes code units up to 32 (blanks and control characters) at both ends.
String Trim(const String& text);
String Lower(const String& text);
String Upper(const String& text);
String Hex(int32_t value);      // 8 upper-case digits
String Bin(int32_t value);      // 32 digits
String LongHex(int64_t value);  // 16 digits
String LongBin(int64_t value);  // 64 digits

}  // namespace kelpora
