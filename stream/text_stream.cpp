#include "stream/text_stream.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/text.h"

namespace kelpora {

Ref<TTextStream> stdioText;

namespace {

constexpr int REPLACEMENT = 0xFFFD;

bool IsHighSurrogate(int c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(int c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendChar(String& text, int c) {
  if (c > 0xFFFF) {
    c -= 0x10000;
    text.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    text.push_back(static_cast<char16_t>(c));
  }
}

void EncodeUnit16(std::string& out, int unit, bool bigEndian) {
  auto hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit);
  if (bigEndian) {
    out += hi;
    out += lo;
  } else {
    out += lo;
    out += hi;
  }
}

void EncodeChar(std::string& out, int encoding, int c) {
  switch (encoding) {
    case TEXT_LATIN1:
      out += static_cast<char>(c);
      return;
    case TEXT_UTF8:
      if (c < 0 || c > 0x10FFFF) c = REPLACEMENT;
      AppendUtf8(out, static_cast<uint32_t>(c));
      return;
    case TEXT_UTF16BE:
    case TEXT_UTF16LE:
      if (c > 0xFFFF && c <= 0x10FFFF) {
        c -= 0x10000;
        EncodeUnit16(out, 0xD800 + (c >> 10), encoding == TEXT_UTF16BE);
        EncodeUnit16(out, 0xDC00 + (c & 0x3FF), encoding == TEXT_UTF16BE);
      } else {
        EncodeUnit16(out, c, encoding == TEXT_UTF16BE);
      }
      return;
    default:
      return;
  }
}

// A high surrogate followed by a low one is one code point.
std::string EncodeText(std::u16string_view text, int encoding) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (size_t i = 0; i < text.size(); ++i) {
    int c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    EncodeChar(out, encoding, c);
  }
  return out;
}

class TTextProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>&, const String& protocol, const String& path,
                                int readable, int writeable) override {
    int encoding = protocol == u"latin1"    ? TEXT_LATIN1
                   : protocol == u"utf8"    ? TEXT_UTF8
                   : protocol == u"utf16be" ? TEXT_UTF16BE
                   : protocol == u"utf16le" ? TEXT_UTF16LE
                                            : 0;
    if (!encoding) return nullptr;
    return TTextStream::Create(OpenUrlStream(path, readable, writeable), encoding);
  }
};

}  // namespace

bool TTextStream::Fill() {
  head_ = tail_ = 0;
  if (inner->Eof()) return false;
  int n = inner->Read(readAhead_, sizeof readAhead_);
  if (n <= 0) return false;
  tail_ = std::min(n, static_cast<int>(sizeof readAhead_));
  return true;
}

int TTextStream::PeekByte() {
  if (head_ == tail_ && !Fill()) return -1;
  return readAhead_[head_];
}

void TTextStream::DropReadAhead() { head_ = tail_ = 0; }

// The lead byte is at head_. Only bytes that continue a well-formed sequence
// are taken after it; the first that does not ends the sequence as U+FFFD and
// stays for the next character.
int TTextStream::DecodeUtf8() {
  int lead = readAhead_[head_++];
  if (lead < 0x80) return lead;
  int need, c, low = 0x80, high = 0xBF;
  if (lead < 0xC2) {
    return REPLACEMENT;  // a stray continuation byte or an overlong two-byte form
  } else if (lead < 0xE0) {
    need = 1;
    c = lead & 0x1F;
  } else if (lead < 0xF0) {
    need = 2;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead < 0xF5) {
    need = 3;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return REPLACEMENT;
  }
  while (need-- > 0) {
    int next = PeekByte();
    if (next < low || next > high) return REPLACEMENT;
    ++head_;
    c = (c << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return c;
}

int TTextStream::DecodeChar() {
  if (PeekByte() < 0) return 0;
  switch (encoding) {
    case TEXT_LATIN1:
      return readAhead_[head_++];
    case TEXT_UTF8:
      return DecodeUtf8();
    case TEXT_UTF16BE:
    case TEXT_UTF16LE: {
      int first = readAhead_[head_++];
      int second = PeekByte();
      if (second < 0) return REPLACEMENT;  // half a unit at the end
      ++head_;
      return encoding == TEXT_UTF16BE ? first << 8 | second : second << 8 | first;
    }
    default:
      ++head_;
      return 0;
  }
}

int TTextStream::ReadChar() { return DecodeChar(); }

void TTextStream::WriteChar(int c) {
  std::string bytes;
  EncodeChar(bytes, encoding, c);
  if (!bytes.empty()) WriteFully(bytes.data(), static_cast<int>(bytes.size()));
}

String TTextStream::ReadTextLine() {
  String line;
  const bool byteWise = encoding == TEXT_LATIN1 || encoding == TEXT_UTF8;
  for (;;) {
    if (head_ == tail_ && !Fill()) return line;
    if (byteWise) {
      // Runs of plain bytes go in whole.
      int start = head_;
      while (head_ < tail_) {
        uint8_t b = readAhead_[head_];
        if ((b >= 0x80 && encoding == TEXT_UTF8) || b == 10 || b == 13 || b == 0) break;
        ++head_;
      }
      line.append(readAhead_ + start, readAhead_ + head_);
      if (head_ == tail_) continue;
    }
    int c = DecodeChar();
    if (c == 10 || c == 0) return line;
    if (c != 13) AppendChar(line, c);
  }
}

void TTextStream::WriteTextLine(std::u16string_view text) {
  WriteByteText(text);
  WriteByteText(u"\r\n");
}

String TTextStream::ReadByteText(int count) {
  String text;
  for (int i = 0; i < count && PeekByte() >= 0; ++i) AppendChar(text, DecodeChar());
  return text;
}

void TTextStream::WriteByteText(std::u16string_view text) {
  std::string bytes = EncodeText(text, encoding);
  if (bytes.size() > static_cast<size_t>(INT_MAX)) throw TStreamWriteError();
  WriteFully(bytes.data(), static_cast<int>(bytes.size()));
}

int TTextStream::Eof() { return head_ < tail_ ? 0 : inner->Eof(); }

int TTextStream::Pos() {
  int pos = inner->Pos();
  return pos < 0 ? pos : pos - (tail_ - head_);
}

int TTextStream::Seek(int pos) {
  DropReadAhead();
  return inner->Seek(pos);
}

int TTextStream::Close() {
  DropReadAhead();
  return TForwardingStream::Close();
}

int TTextStream::Read(void* buf, int count) {
  if (head_ == tail_) return inner->Read(buf, count);
  int n = std::clamp(tail_ - head_, 0, std::max(count, 0));
  std::memcpy(buf, readAhead_ + head_, static_cast<size_t>(n));
  head_ += n;
  return n;
}

int TTextStream::Write(const void* buf, int count) {
  // Bytes read ahead of a positioned stream are given back before writing,
  // so the write lands where reading left off.
  if (head_ < tail_) {
    int pos = Pos();
    if (pos >= 0) {
      DropReadAhead();
      inner->Seek(pos);
    }
  }
  return inner->Write(buf, count);
}

void TTextStream::SetInner(Ref<TDataStream> stream) {
  DropReadAhead();
  TForwardingStream::SetInner(std::move(stream));
}

Ref<TTextStream> TTextStream::Create(Ref<TDataStream> stream, int encoding) {
  if (!stream) return nullptr;
  auto text = MakeRef<TTextStream>();
  text->encoding = encoding;
  text->SetInner(std::move(stream));
  return text;
}

int TStdioStream::Read(void* buf, int count) {
  auto* at = static_cast<uint8_t*>(buf);
  int n = 0;
  while (n < count) {
    int c = std::getchar();
    if (c == EOF) break;
    at[n++] = static_cast<uint8_t>(c);
    if (c == '\n') break;
  }
  return n;
}

int TStdioStream::Write(const void* buf, int count) {
  if (count <= 0) return 0;
  return static_cast<int>(std::fwrite(buf, 1, static_cast<size_t>(count), stdout));
}

int TStdioStream::Flush() { return std::fflush(stdout); }

void PrintLine(std::u16string_view text) {
  InitTextStreamModule();
  stdioText->WriteTextLine(text);
  stdioText->Flush();
}

String InputLine(std::u16string_view prompt) {
  InitTextStreamModule();
  stdioText->WriteByteText(prompt);
  stdioText->Flush();
  return stdioText->ReadTextLine();
}

void InitTextStreamModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitStreamModule();
  MakeRef<TTextProtocol>();
  stdioText = TTextStream::Create(MakeRef<TStdioStream>(), TEXT_UTF8);
}

}  // namespace kelpora
