// Text streams: a character encoding in front of any byte stream, the
// "latin1", "utf8", "utf16be" and "utf16le" protocols that put one in front
// of another URL, and a UTF-8 text stream over standard input and output.
#pragma once

#include <cstdint>

#include "stream/stream.h"

namespace kelpora {

enum {
  TEXT_LATIN1 = 1,   // one byte per character (the low 8 bits when writing)
  TEXT_UTF8 = 2,     // one to four bytes per character
  TEXT_UTF16BE = 3,  // 16-bit units, high byte first
  TEXT_UTF16LE = 4,  // 16-bit units, low byte first
};

// Reads and writes 16-bit strings in `encoding`; the line and text operations
// work in characters. Characters beyond U+FFFF travel as surrogate pairs in
// strings and as one four-byte sequence in UTF-8. Malformed or truncated UTF-8
// reads as U+FFFD, one per broken sequence, and never swallows the byte that
// broke it. Bytes are read ahead from the inner stream in blocks, so once
// wrapped the inner stream is read through the text stream (its Read, Pos and
// Seek account for what is held).
class TTextStream : public TForwardingStream {
 public:
  int Eof() override;
  int Pos() override;
  int Seek(int pos) override;
  int Close() override;
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;
  // Up to a line feed, a zero character or the end; carriage returns dropped.
  String ReadTextLine() override;
  void WriteTextLine(std::u16string_view text) override;
  // `count` characters, fewer when the stream ends first.
  String ReadByteText(int count) override;
  void WriteByteText(std::u16string_view text) override;
  void SetInner(Ref<TDataStream> stream) override;
  // One character: a code point up to 0x10FFFF in UTF-8, a 16-bit unit in
  // the UTF-16 encodings; 0 at the end of the stream.
  virtual int ReadChar();
  // One character or code point; a lone surrogate is written as it is.
  virtual void WriteChar(int c);

  // None for none.
  static Ref<TTextStream> Create(Ref<TDataStream> stream, int encoding);

  int encoding = 0;

 private:
  bool Fill();
  int PeekByte();
  int DecodeUtf8();
  int DecodeChar();
  void DropReadAhead();

  uint8_t readAhead_[4096];
  int head_ = 0;
  int tail_ = 0;
};

// Standard input and output as a stream without a position. Reads stop after
// a line feed, so reading never waits for more than one line.
class TStdioStream : public TDataStream {
 public:
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;
  int Flush() override;
};

// UTF-8 over standard input and output, made when the module initialises.
extern Ref<TTextStream> stdioText;

// The text and a line end on standard output, flushed.
void PrintLine(std::u16string_view text);
// Shows `prompt` (no line end) and reads one line from standard input.
String InputLine(std::u16string_view prompt);

// Registers the four text protocols and makes stdioText.
void InitTextStreamModule();

}  // namespace kelpora
