#include "runtime/text.h"

#include <cinttypes>
#include <cstdio>

namespace kelpora {

std::string ToBytes(std::u16string_view text) {
  std::string bytes(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<char>(text[i] & 0xFF);
  return bytes;
}

std::optional<std::string> ToPathBytes(std::u16string_view text) {
  for (char16_t c : text) {
    if (c == 0 || c > 0xFF) return std::nullopt;
  }
  return ToBytes(text);
}

String FromBytes(std::string_view bytes) {
  String text(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) text[i] = static_cast<unsigned char>(bytes[i]);
  return text;
}

String FormatInt(int64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
  return FromBytes(buffer);
}

String FormatFloat(float value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%#.9g", static_cast<double>(value));
  return FromBytes(buffer);
}

String FormatDouble(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%#.17lg", value);
  return FromBytes(buffer);
}

String LowerAscii(std::u16string_view text) {
  String out(text);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

String UpperAscii(std::u16string_view text) {
  String out(text);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return out;
}

int TStringObject::Compare(const Ref<TObject>& other) const {
  if (auto* text = dynamic_cast<const TStringObject*>(other.get())) {
    int order = value.compare(text->value);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  }
  return TObject::Compare(other);
}

Ref<TObject> BoxString(String value) { return MakeRef<TStringObject>(std::move(value)); }

}  // namespace kelpora
