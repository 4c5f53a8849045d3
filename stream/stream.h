// Byte streams, the file stream and the opening of URLs.
//
// A URL is an open stream, a plain file path, or protocol "::" path; the
// protocol part is handed to the registered TStreamProtocol objects.
// Multi-byte values on a stream are little-endian unless a byte-swap stream
// (stream/endian_stream.h) is in between.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/errors.h"
#include "runtime/object.h"

namespace kelpora {

// Raised by the block operations; no text of its own.
class TStreamError : public TRuntimeError {
 protected:
  explicit TStreamError(String text) : TRuntimeError(std::move(text)) {}
};

class TStreamReadError : public TStreamError {
 public:
  TStreamReadError() : TStreamError(u"Error reading from stream") {}
};

class TStreamWriteError : public TStreamError {
 public:
  TStreamWriteError() : TStreamError(u"Error writing to stream") {}
};

// The eight primitive operations. Positions, sizes and counts are bytes as
// 32-bit ints; a stream without a position answers -1 from Pos. Read and Write
// move up to `count` bytes and return how many moved (0 at the end or on
// failure). Close may be called any number of times. A concrete stream calls
// its own Close from its destructor, so a stream dropped while open closes.
class TDataIO : public TObject {
 public:
  virtual int Eof();          // 1 when Pos() equals Size()
  virtual int Pos();          // -1: no position
  virtual int Size();         // 0
  virtual int Seek(int pos);  // -1: not seekable
  virtual int Flush();        // 0
  virtual int Close();        // 0
  // Default: "Stream is not readable" / "Stream is not writeable".
  virtual int Read(void* buf, int count);
  virtual int Write(const void* buf, int count);
};

// The stream every concrete stream derives from: block, typed, line and text
// operations on top of the primitives. ReadFully stops quietly at the end of
// the stream (the unreached part of `buf` keeps its contents) and raises
// TStreamReadError when Read moves nothing before it; WriteFully raises
// TStreamWriteError when Write moves nothing. Typed reads cut short by the end
// have zero bytes in their missing part.
class TDataStream : public TDataIO {
 public:
  virtual int ReadFully(void* buf, int count);
  virtual int WriteFully(const void* buf, int count);
  virtual int Skip(int count);
  virtual int ReadU8();
  virtual void WriteU8(int value);
  virtual int ReadU16();
  virtual void WriteU16(int value);
  virtual int ReadI32();
  virtual void WriteI32(int value);
  virtual int64_t ReadI64();
  virtual void WriteI64(int64_t value);
  virtual float ReadF32();
  virtual void WriteF32(float value);
  virtual double ReadF64();
  virtual void WriteF64(double value);
  // A line of bytes up to a line feed, a zero byte or the end; carriage
  // returns are dropped. Empty at the end of the stream.
  virtual String ReadTextLine();
  // The text's low bytes, then "\r\n".
  virtual void WriteTextLine(std::u16string_view text);
  // Up to `count` bytes as characters 0 to 255. Reads as the bytes arrive, so
  // a large count never allocates more than the stream holds; a stream that
  // ends early gives a shorter string.
  virtual String ReadByteText(int count);
  virtual void WriteByteText(std::u16string_view text);
};

// A stream over a standard-library file. Sizes and positions are those last
// known; reads and writes keep them up to date. Closing flushes and closes the
// file; a closed file stream reads and writes nothing.
class TFileStream : public TDataStream {
 public:
  enum { MODE_READ = 1, MODE_WRITE = 2, MODE_READ_WRITE = 3 };

  ~TFileStream() override;
  int Pos() override;
  int Size() override;
  int Seek(int pos) override;
  int Flush() override;
  int Close() override;
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;

  // Read and write: "r+b"; write alone: "wb" (creates or truncates); else
  // "rb". "\" counts as "/". A read-only open that fails retries with the
  // case-insensitive match of the path. Directories do not open. None on failure.
  static Ref<TFileStream> OpenFile(std::u16string_view path, int readable, int writeable);
  // Takes over `file` (closed with the stream), at its current offset.
  static Ref<TFileStream> FromHandle(std::FILE* file, int mode);

  int pos = 0;
  int size = 0;
  std::FILE* file = nullptr;
  int mode = 0;

 private:
  enum class LastOp { None, Read, Write };
  void SwitchTo(LastOp op);
  LastOp lastOp_ = LastOp::None;
};

// Forwards the eight primitives to `inner`; closing closes the inner stream.
// Calls other than Close on a stream without inner raise the null-object error.
class TForwardingStream : public TDataStream {
 public:
  ~TForwardingStream() override;
  int Eof() override;
  int Pos() override;
  int Size() override;
  int Seek(int pos) override;
  int Flush() override;
  int Close() override;
  int Read(void* buf, int count) override;
  int Write(const void* buf, int count) override;
  virtual void SetInner(Ref<TDataStream> stream);

  Ref<TDataStream> inner;
};

// Forwards to a stream it does not own: closing only lets go of it.
class TBorrowedStream : public TForwardingStream {
 public:
  ~TBorrowedStream() override;
  int Close() override;
};

// Opens the URLs of one protocol. Constructing one (always with MakeRef) puts
// it at the head of the process-wide list, where it stays for the life of the
// process. CreateStream answers none for URLs it does not open, so only
// protocols claiming the same name compete, the newest winning.
class TStreamProtocol : public TObject {
 public:
  TStreamProtocol();
  // `protocol` is lower-cased, `path` is the text after the first "::";
  // both are empty when the URL was neither a string nor a stream.
  // The base raises TAbstractMethodError.
  virtual Ref<TDataStream> CreateStream(const Ref<TObject>& url, const String& protocol,
                                        const String& path, int readable, int writeable);

  Ref<TStreamProtocol> next;  // registered before this one
};

// The newest registered protocol; follow `next` for the older ones.
Ref<TStreamProtocol> FirstStreamProtocol();

// A stream URL gives a TBorrowedStream over it (flags unchecked); a string is
// split at its first "::" (a plain path opens a file and never reaches the
// protocols); anything else goes to the protocols with empty protocol and
// path. None when nothing opens it. The empty string never touches the disk.
Ref<TDataStream> OpenUrlStream(const Ref<TObject>& url, int readable, int writeable);
Ref<TDataStream> OpenUrlStream(std::u16string_view url, int readable, int writeable);
Ref<TDataStream> OpenForReading(const Ref<TObject>& url);
Ref<TDataStream> OpenForReading(std::u16string_view url);
Ref<TDataStream> OpenForWriting(const Ref<TObject>& url);
Ref<TDataStream> OpenForWriting(std::u16string_view url);

// `path` with each component spelled as it is on disk (matching ignores the
// case of "A" to "Z"), or the empty string when some component has no match.
String ResolvePathCase(std::u16string_view path);

// Bytes loaded from a stream: exactly the bytes that were read, in a block the
// reads fill directly (it is never zero-filled only to be overwritten).
// Converts to std::vector<uint8_t>, by copying, where a growable container is
// wanted.
class ByteBuffer {
 public:
  using value_type = uint8_t;
  using iterator = uint8_t*;
  using const_iterator = const uint8_t*;

  ByteBuffer() = default;
  // Everything `stream` still holds, up to INT_MAX bytes. Starts with what the
  // stream says is left (for a stream without a position, the Size it
  // expects, believed up to 256 MB) and doubles when it holds more; stops at
  // the end or when a read moves nothing. Does not close the stream.
  static ByteBuffer ReadToEnd(TDataStream& stream);
  // Hands over the block (size() bytes of it in use) and leaves this empty.
  std::unique_ptr<uint8_t[]> Release();

  uint8_t* data() noexcept { return bytes_.get(); }
  const uint8_t* data() const noexcept { return bytes_.get(); }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  iterator begin() noexcept { return bytes_.get(); }
  iterator end() noexcept { return bytes_.get() + size_; }
  const_iterator begin() const noexcept { return bytes_.get(); }
  const_iterator end() const noexcept { return bytes_.get() + size_; }
  uint8_t& operator[](size_t i) noexcept { return bytes_[i]; }
  uint8_t operator[](size_t i) const noexcept { return bytes_[i]; }

  friend bool operator==(const ByteBuffer& a, const ByteBuffer& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const ByteBuffer& a, const std::vector<uint8_t>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
};

// Everything left in the URL's stream; empty when the URL does not open.
// Stops at the end of the stream or when a read moves nothing.
ByteBuffer LoadAllBytes(const Ref<TObject>& url);
ByteBuffer LoadAllBytes(std::u16string_view url);
// LoadAllBytes with each byte as one character.
String LoadAllText(const Ref<TObject>& url);
String LoadAllText(std::u16string_view url);
// Write the whole content and close. A URL that does not open for writing
// raises TStreamWriteError, as does a failed write: a save never fails quietly.
void SaveAllBytes(std::span<const uint8_t> bytes, const Ref<TObject>& url);
void SaveAllBytes(std::span<const uint8_t> bytes, std::u16string_view url);
void SaveAllText(std::u16string_view text, const Ref<TObject>& url);
void SaveAllText(std::u16string_view text, std::u16string_view url);
// Copies until `from` ends (or a read moves nothing), `bufSize` bytes at a time.
void CopyUntilEnd(const Ref<TDataStream>& from, const Ref<TDataStream>& to, int bufSize);
// Copies `count` bytes, `bufSize` at a time, or fewer when `from` ends first;
// never writes a byte it did not read. A read that moves nothing before the
// end raises TStreamReadError, a failed write TStreamWriteError.
void CopyCount(const Ref<TDataStream>& from, const Ref<TDataStream>& to, int count, int bufSize);

// One free function per stream operation; none raises the null-object error.
int Eof(const Ref<TDataStream>& stream);
int Pos(const Ref<TDataStream>& stream);
int Size(const Ref<TDataStream>& stream);
int Seek(const Ref<TDataStream>& stream, int pos);
int Flush(const Ref<TDataStream>& stream);
int Close(const Ref<TDataStream>& stream);
int Read(const Ref<TDataStream>& stream, void* buf, int count);
int Write(const Ref<TDataStream>& stream, const void* buf, int count);
int ReadFully(const Ref<TDataStream>& stream, void* buf, int count);
int WriteFully(const Ref<TDataStream>& stream, const void* buf, int count);
int Skip(const Ref<TDataStream>& stream, int count);
int ReadU8(const Ref<TDataStream>& stream);
void WriteU8(const Ref<TDataStream>& stream, int value);
int ReadU16(const Ref<TDataStream>& stream);
void WriteU16(const Ref<TDataStream>& stream, int value);
int ReadI32(const Ref<TDataStream>& stream);
void WriteI32(const Ref<TDataStream>& stream, int value);
int64_t ReadI64(const Ref<TDataStream>& stream);
void WriteI64(const Ref<TDataStream>& stream, int64_t value);
float ReadF32(const Ref<TDataStream>& stream);
void WriteF32(const Ref<TDataStream>& stream, float value);
double ReadF64(const Ref<TDataStream>& stream);
void WriteF64(const Ref<TDataStream>& stream, double value);
String ReadTextLine(const Ref<TDataStream>& stream);
void WriteTextLine(const Ref<TDataStream>& stream, std::u16string_view text);
String ReadByteText(const Ref<TDataStream>& stream, int count);
void WriteByteText(const Ref<TDataStream>& stream, std::u16string_view text);

// Registers the stream protocols of this folder (incbin, banks, byte order).
void InitStreamModule();

}  // namespace kelpora
