#include "runtime/string_helpers.h"

#include <algorithm>

#include "runtime/text.h"

namespace kelpora {

String Mid(const String& text, int32_t pos, int32_t count) {
  const int64_t length = static_cast<int64_t>(text.size());
  if (length < pos) return String();
  int64_t from = static_cast<int64_t>(pos) - 1;
  int64_t take = count;
  if (count < 0) {
    from = std::max<int64_t>(from, 0);
    take = length - from;
  } else if (from < 0) {
    take += from;
    from = 0;
  }
  take = std::clamp<int64_t>(take, 0, length - from);
  return text.substr(static_cast<size_t>(from), static_cast<size_t>(take));
}

int32_t Instr(const String& text, const String& sub, int32_t start) {
  size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
  if (from > text.size()) return 0;
  size_t found = text.find(sub, from);
  return found == String::npos ? 0 : static_cast<int32_t>(found + 1);
}

String Left(const String& text, int32_t n) {
  if (n <= 0) return String();
  return text.substr(0, std::min<size_t>(static_cast<size_t>(n), text.size()));
}

String Right(const String& text, int32_t n) {
  if (n <= 0) return String();
  size_t take = std::min<size_t>(static_cast<size_t>(n), text.size());
  return text.substr(text.size() - take);
}

String LSet(const String& text, int32_t n) {
  if (n <= 0) return String();
  String out = text.substr(0, std::min<size_t>(static_cast<size_t>(n), text.size()));
  out.resize(static_cast<size_t>(n), u' ');
  return out;
}

String RSet(const String& text, int32_t n) {
  if (n <= 0) return String();
  size_t width = static_cast<size_t>(n);
  if (text.size() >= width) return text.substr(text.size() - width);
  return String(width - text.size(), u' ') + text;
}

String Replace(const String& text, const String& from, const String& to) {
  if (from.empty()) return text;
  String out;
  size_t at = 0;
  for (size_t found; (found = text.find(from, at)) != String::npos; at = found + from.size()) {
    out.append(text, at, found - at);
    out += to;
  }
  out.append(text, at, String::npos);
  return out;
}

String Trim(const String& text) {
  size_t first = 0, last = text.size();
  while (first < last && text[first] <= 32) ++first;
  while (last > first && text[last - 1] <= 32) --last;
  return text.substr(first, last - first);
}

String Lower(const String& text) { return LowerAscii(text); }
String Upper(const String& text) { return UpperAscii(text); }

static String Digits(uint64_t value, int count, int bitsPerDigit) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  String out(static_cast<size_t>(count), u'0');
  const uint64_t mask = (1u << bitsPerDigit) - 1;
  for (int i = count - 1; i >= 0; --i, value >>= bitsPerDigit) out[static_cast<size_t>(i)] = kDigits[value & mask];
  return out;
}

String Hex(int32_t value) { return Digits(static_cast<uint32_t>(value), 8, 4); }
String Bin(int32_t value) { return Digits(static_cast<uint32_t>(value), 32, 1); }
String LongHex(int64_t value) { return Digits(static_cast<uint64_t>(value), 16, 4); }
String LongBin(int64_t value) { return Digits(static_cast<uint64_t>(value), 64, 1); }

}  // namespace kelpora
