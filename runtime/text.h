// Strings of 16-bit code units: byte conversions, number formats and the
// boxed string object used where a string must travel as an object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/object.h"

namespace kelpora {

// Keeps the low 8 bits of each code unit (file names, console, byte text).
std::string ToBytes(std::u16string_view text);
// Each byte becomes the code unit of the same value (0 to 255).
String FromBytes(std::string_view bytes);
// ToBytes for a name handed to the system, refused (nullopt) when the bytes
// would not say exactly what the text says: a unit above 0xFF would alias
// another name and a NUL would cut it short.
std::optional<std::string> ToPathBytes(std::u16string_view text);

// Appends the UTF-8 bytes of one code point (0 to 0x10FFFF).
void AppendUtf8(std::string& out, uint32_t codePoint);
// UTF-8 of 16-bit text: surrogate pairs join, an unpaired one becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

String FormatInt(int64_t value);   // decimal
String FormatFloat(float value);   // "%#.9g"
String FormatDouble(double value); // "%#.17lg"

// Case changes that touch only "A" to "Z" and "a" to "z".
String LowerAscii(std::u16string_view text);
String UpperAscii(std::u16string_view text);

// A string as an object: to-string gives the text back and compare orders by
// content, code unit by code unit, so lists of strings search and sort by text.
class TStringObject : public TObject {
 public:
  explicit TStringObject(String value) : value(std::move(value)) {}
  String ToString() const override { return value; }
  int Compare(const Ref<TObject>& other) const override;

  const String value;
};

Ref<TObject> BoxString(String value);

}  // namespace kelpora
