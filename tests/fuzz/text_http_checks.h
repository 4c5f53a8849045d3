// What the text and HTTP header fuzzers check on each input; the test suite
// runs the same checks over the inputs kept under regressions/.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/bank.h"
#include "stream/incbin.h"
#include "stream/socket.h"
#include "stream/text_stream.h"

namespace kelpora::fuzzing {

inline void Require(bool condition) {
  if (!condition) std::abort();
}

// Hands out at most `chunk` bytes per Read, so read-ahead refills fall at
// every possible place inside a character.
class TChunkedStream : public TDataStream {
 public:
  TChunkedStream(const uint8_t* data, int size, int chunk)
      : data_(data), size_(size), chunk_(chunk) {}
  int Pos() override { return pos_; }
  int Size() override { return size_; }
  int Read(void* buf, int count) override {
    int n = std::min({count, chunk_, size_ - pos_});
    if (n <= 0) return 0;
    std::memcpy(buf, data_ + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  int size_, chunk_, pos_ = 0;
};

inline std::vector<String> ReadLines(const Ref<TDataStream>& inner, int encoding) {
  auto text = TTextStream::Create(inner, encoding);
  std::vector<String> lines;
  while (!text->Eof()) lines.push_back(text->ReadTextLine());
  return lines;
}

// First byte: encoding (low two bits) and read size (the rest); then the text.
inline void CheckTextInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return;
  int encoding = 1 + (data[0] & 3);
  int chunk = 1 + (data[0] >> 2);
  const uint8_t* text = data + 1;
  int length = static_cast<int>(size - 1);

  std::vector<String> whole = ReadLines(CreateBlockStream(text, length, 1, 0), encoding);
  std::vector<String> pieces = ReadLines(MakeRef<TChunkedStream>(text, length, chunk), encoding);
  Require(whole == pieces);

  for (const String& line : whole) {
    for (size_t i = 0; i < line.size(); ++i) {
      char16_t c = line[i];
      Require(c != 10 && c != 13 && c != 0);
      if (encoding == TEXT_UTF8) {
        // Decoded UTF-8 is always well-formed UTF-16.
        if (c >= 0xD800 && c <= 0xDBFF) {
          Require(i + 1 < line.size() && line[i + 1] >= 0xDC00 && line[i + 1] <= 0xDFFF);
          ++i;
        } else {
          Require(c < 0xDC00 || c > 0xDFFF);
        }
      }
    }
  }

  // What was read writes back and reads again as the same lines.
  auto bank = TBank::Create(0);
  auto out = TTextStream::Create(CreateBankStream(bank), encoding);
  for (const String& line : whole) {
    out->WriteByteText(line);
    out->WriteByteText(u"\n");
  }
  Require(ReadLines(CreateBankStream(bank), encoding) == whole);
}

inline void CheckHttpHeaderInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return;
  auto stream = CreateBlockStream(data, static_cast<int>(size), 1, 0);
  int result = SkipHttpHeaders(*stream);
  int pos = stream->pos;
  if (!result) {
    Require(pos == HTTP_HEADER_LIMIT);
    return;
  }
  Require(pos <= HTTP_HEADER_LIMIT);
  if (pos == static_cast<int>(size)) return;  // ran out of bytes
  // Stopped right after a line end that closed an empty line.
  Require(pos >= 1 && (data[pos - 1] == 10 || data[pos - 1] == 0));
  int i = pos - 2;
  while (i >= 0 && data[i] == 13) --i;
  Require(i < 0 || data[i] == 10 || data[i] == 0);
}

}  // namespace kelpora::fuzzing
