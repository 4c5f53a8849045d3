#include "stream/stream.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/bank.h"
#include "stream/endian_stream.h"
#include "stream/incbin.h"

namespace kelpora {

namespace {

// Typed values are assembled byte by byte so that they mean little-endian on
// the stream whatever the host order is.
template <class U>
U DecodeLittle(const uint8_t* bytes) {
  U value = 0;
  for (size_t i = 0; i < sizeof(U); ++i) value |= static_cast<U>(bytes[i]) << (8 * i);
  return value;
}

template <class U>
void EncodeLittle(U value, uint8_t* bytes) {
  for (size_t i = 0; i < sizeof(U); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <class U>
U ReadLittle(TDataStream& stream) {
  uint8_t bytes[sizeof(U)] = {};
  stream.ReadFully(bytes, sizeof(U));
  return DecodeLittle<U>(bytes);
}

template <class U>
void WriteLittle(TDataStream& stream, U value) {
  uint8_t bytes[sizeof(U)];
  EncodeLittle(value, bytes);
  stream.WriteFully(bytes, sizeof(U));
}

// Nested protocols ("bigendian::bigendian::...") open recursively; a URL
// nested deeper than any real one is refused instead of exhausting the stack.
constexpr int MAX_URL_NESTING = 64;
int urlNesting = 0;

TStreamProtocol* protocolHead = nullptr;

}  // namespace

int TDataIO::Eof() { return Pos() == Size() ? 1 : 0; }
int TDataIO::Pos() { return -1; }
int TDataIO::Size() { return 0; }
int TDataIO::Seek(int) { return -1; }
int TDataIO::Flush() { return 0; }
int TDataIO::Close() { return 0; }
int TDataIO::Read(void*, int) { RaiseError(u"Stream is not readable"); }
int TDataIO::Write(const void*, int) { RaiseError(u"Stream is not writeable"); }

int TDataStream::ReadFully(void* buf, int count) {
  auto* at = static_cast<uint8_t*>(buf);
  int remaining = count;
  while (remaining > 0 && !Eof()) {
    int n = Read(at, remaining);
    if (n <= 0) throw TStreamReadError();
    n = std::min(n, remaining);  // a stream claiming more than asked moved at most that
    remaining -= n;
    at += n;
  }
  return count;
}

int TDataStream::WriteFully(const void* buf, int count) {
  auto* at = static_cast<const uint8_t*>(buf);
  int remaining = count;
  while (remaining > 0) {
    int n = Write(at, remaining);
    if (n <= 0) throw TStreamWriteError();
    n = std::min(n, remaining);
    remaining -= n;
    at += n;
  }
  return count;
}

int TDataStream::Skip(int count) {
  uint8_t scratch[1024];
  int remaining = count;
  while (remaining > 0 && !Eof()) {
    int n = Read(scratch, std::min(remaining, static_cast<int>(sizeof scratch)));
    if (n <= 0) throw TStreamReadError();
    remaining -= std::min(n, remaining);
  }
  return count;
}

int TDataStream::ReadU8() { return ReadLittle<uint8_t>(*this); }
void TDataStream::WriteU8(int value) { WriteLittle(*this, static_cast<uint8_t>(value)); }
int TDataStream::ReadU16() { return ReadLittle<uint16_t>(*this); }
void TDataStream::WriteU16(int value) { WriteLittle(*this, static_cast<uint16_t>(value)); }
int TDataStream::ReadI32() { return static_cast<int32_t>(ReadLittle<uint32_t>(*this)); }
void TDataStream::WriteI32(int value) { WriteLittle(*this, static_cast<uint32_t>(value)); }
int64_t TDataStream::ReadI64() { return static_cast<int64_t>(ReadLittle<uint64_t>(*this)); }
void TDataStream::WriteI64(int64_t value) { WriteLittle(*this, static_cast<uint64_t>(value)); }
float TDataStream::ReadF32() { return std::bit_cast<float>(ReadLittle<uint32_t>(*this)); }
void TDataStream::WriteF32(float value) { WriteLittle(*this, std::bit_cast<uint32_t>(value)); }
double TDataStream::ReadF64() { return std::bit_cast<double>(ReadLittle<uint64_t>(*this)); }
void TDataStream::WriteF64(double value) { WriteLittle(*this, std::bit_cast<uint64_t>(value)); }

String TDataStream::ReadTextLine() {
  String line;
  char16_t chunk[1024];
  size_t filled = 0;
  uint8_t byte = 0;
  while (Read(&byte, 1) == 1 && byte != 0 && byte != 10) {
    if (byte == 13) continue;
    chunk[filled++] = byte;
    if (filled == std::size(chunk)) {
      line.append(chunk, filled);
      filled = 0;
    }
  }
  line.append(chunk, filled);
  return line;
}

void TDataStream::WriteTextLine(std::u16string_view text) {
  WriteByteText(text);
  WriteByteText(u"\r\n");
}

String TDataStream::ReadByteText(int count) {
  String text;
  uint8_t chunk[4096];
  int remaining = count;
  while (remaining > 0 && !Eof()) {
    int want = std::min(remaining, static_cast<int>(sizeof chunk));
    int n = Read(chunk, want);
    if (n <= 0) throw TStreamReadError();
    n = std::min(n, want);
    text.append(chunk, chunk + n);
    remaining -= n;
  }
  return text;
}

void TDataStream::WriteByteText(std::u16string_view text) {
  std::string bytes = ToBytes(text);
  if (bytes.size() > static_cast<size_t>(INT_MAX)) throw TStreamWriteError();
  WriteFully(bytes.data(), static_cast<int>(bytes.size()));
}

TForwardingStream::~TForwardingStream() {
  try {
    TForwardingStream::Close();
  } catch (const TRuntimeError&) {
    // Nobody can handle an error from a stream being dropped.
  }
}

int TForwardingStream::Eof() { return inner->Eof(); }
int TForwardingStream::Pos() { return inner->Pos(); }
int TForwardingStream::Size() { return inner->Size(); }
int TForwardingStream::Seek(int pos) { return inner->Seek(pos); }
int TForwardingStream::Flush() { return inner->Flush(); }
int TForwardingStream::Close() { return inner ? inner->Close() : 0; }
int TForwardingStream::Read(void* buf, int count) { return inner->Read(buf, count); }
int TForwardingStream::Write(const void* buf, int count) { return inner->Write(buf, count); }
void TForwardingStream::SetInner(Ref<TDataStream> stream) { inner = std::move(stream); }

TBorrowedStream::~TBorrowedStream() { TBorrowedStream::Close(); }

int TBorrowedStream::Close() {
  SetInner(nullptr);
  return 0;
}

TStreamProtocol::TStreamProtocol() {
  // The list holds every protocol for the life of the process.
  Retain();
  if (protocolHead) next = Ref<TStreamProtocol>(protocolHead);
  protocolHead = this;
}

Ref<TDataStream> TStreamProtocol::CreateStream(const Ref<TObject>&, const String&, const String&,
                                               int, int) {
  throw TAbstractMethodError();
}

Ref<TStreamProtocol> FirstStreamProtocol() { return Ref<TStreamProtocol>(protocolHead); }

namespace {

// The protocols of the framework's own modules, and who registers them.
String NoProtocolReason(const String& protocol) {
  static const struct {
    const char16_t* name;
    const char16_t* initialiser;
  } OWN[] = {{u"http", u"InitNetworkModule"}, {u"incbin", u"InitIncbinModule"}, {u"bank", u"InitBankModule"}};
  for (const auto& own : OWN) {
    if (protocol != own.name) continue;
    if (LoaderReady(protocol)) return u"the " + protocol + u" protocol could not open it";
    return u"no " + protocol + u" protocol is registered (call " + own.initialiser + u" or InitKelpora)";
  }
  return u"no stream protocol opened it";
}

Ref<TDataStream> AskProtocols(const Ref<TObject>& url, const String& protocol, const String& path,
                              int readable, int writeable) {
  if (urlNesting >= MAX_URL_NESTING) return nullptr;
  ++urlNesting;
  struct Unnest {
    ~Unnest() { --urlNesting; }
  } unnest;
  for (TStreamProtocol* p = protocolHead; p; p = p->next.get()) {
    Ref<TDataStream> stream = p->CreateStream(url, protocol, path, readable, writeable);
    if (stream) return stream;
  }
  NoteLoadReason(NoProtocolReason(protocol));
  return nullptr;
}

Ref<TDataStream> OpenStringUrl(const Ref<TObject>& boxed, std::u16string_view url, int readable,
                               int writeable) {
  if (url.empty()) return AskProtocols(boxed ? boxed : BoxString({}), {}, {}, readable, writeable);
  size_t c = url.find(u"::");
  if (c == std::u16string_view::npos) return TFileStream::OpenFile(url, readable, writeable);
  return AskProtocols(boxed ? boxed : BoxString(String(url)), LowerAscii(url.substr(0, c)),
                      String(url.substr(c + 2)), readable, writeable);
}

}  // namespace

Ref<TDataStream> OpenUrlStream(const Ref<TObject>& url, int readable, int writeable) {
  if (auto stream = RefCast<TDataStream>(url)) {
    auto borrowed = MakeRef<TBorrowedStream>();
    borrowed->SetInner(stream);
    return borrowed;
  }
  if (auto text = RefCast<TStringObject>(url)) {
    TLoadAttempt attempt(u"OpenUrlStream", text->value);
    return attempt.Finish(OpenStringUrl(url, text->value, readable, writeable));
  }
  TLoadAttempt attempt(u"OpenUrlStream", url ? url->ToString() : String());
  return attempt.Finish(AskProtocols(url, {}, {}, readable, writeable));
}

Ref<TDataStream> OpenUrlStream(std::u16string_view url, int readable, int writeable) {
  TLoadAttempt attempt(u"OpenUrlStream", url);
  return attempt.Finish(OpenStringUrl(nullptr, url, readable, writeable));
}

void NoteUnrecognisedData(std::u16string_view kind, TDataStream& stream, int start) {
  uint8_t head[12];
  int count = 0;
  try {
    stream.Seek(start);
    while (count < int(sizeof head) && !stream.Eof()) {
      const int n = stream.Read(head + count, int(sizeof head) - count);
      if (n <= 0) break;
      count += n;
    }
  } catch (const TStreamError&) {
    // What could be read is enough to describe.
  }
  NoteNoLoaderTook(kind, head, size_t(count));
}

Ref<TDataStream> OpenForReading(const Ref<TObject>& url) { return OpenUrlStream(url, 1, 0); }
Ref<TDataStream> OpenForReading(std::u16string_view url) { return OpenUrlStream(url, 1, 0); }
Ref<TDataStream> OpenForWriting(const Ref<TObject>& url) { return OpenUrlStream(url, 0, 1); }
Ref<TDataStream> OpenForWriting(std::u16string_view url) { return OpenUrlStream(url, 0, 1); }

namespace {

// A large block that reads fill once: a page fault per 4 KB costs more than
// the bytes' copy, so the block asks for huge pages (a hint; ignored where
// unsupported).
void PreferHugePages(uint8_t* block, size_t size) {
  constexpr uintptr_t HUGE_PAGE = 2u << 20;
  if (!block || size < 2 * HUGE_PAGE) return;
  uintptr_t start = (reinterpret_cast<uintptr_t>(block) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(HUGE_PAGE - 1);
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace

ByteBuffer ByteBuffer::ReadToEnd(TDataStream& stream) {
  // A file's reported rest is read with one call into a block of exactly
  // that size; bytes past `count` are never read or handed out. A stream
  // without a position may report the length it expects (an HTTP body's
  // declared length): that is only believed up to MOST_RESERVED, and the
  // block still grows or shrinks to what actually arrives.
  constexpr size_t FIRST_BLOCK = 64 * 1024;
  constexpr size_t MOST_RESERVED = 256u << 20;
  int pos = stream.Pos();
  int size = stream.Size();
  size_t capacity = 1024;
  ByteBuffer out;
  if (pos >= 0) {
    if (size > pos) capacity = std::max(capacity, static_cast<size_t>(size - pos));
  } else {
    capacity = size > 0 ? std::min(static_cast<size_t>(size), MOST_RESERVED) : FIRST_BLOCK;
    out.bytes_.reset(new (std::nothrow) uint8_t[capacity]);
    if (!out.bytes_) capacity = FIRST_BLOCK;
  }
  if (!out.bytes_) out.bytes_.reset(new uint8_t[capacity]);
  PreferHugePages(out.bytes_.get(), capacity);
  size_t count = 0;
  while (!stream.Eof()) {
    if (count == capacity) {
      // Full: a stream that is exactly at its end must not cost a bigger
      // block, so the next bytes are read aside first.
      uint8_t probe[16 * 1024];
      if (count >= static_cast<size_t>(INT_MAX)) break;
      int n = stream.Read(probe, static_cast<int>(std::min(sizeof probe, INT_MAX - count)));
      if (n <= 0) break;
      size_t got = std::min(static_cast<size_t>(n), sizeof probe);
      capacity = std::min<size_t>(std::max(count * 2, FIRST_BLOCK), INT_MAX);
      std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
      PreferHugePages(grown.get(), capacity);
      std::memcpy(grown.get(), out.bytes_.get(), count);
      std::memcpy(grown.get() + count, probe, got);
      out.bytes_ = std::move(grown);
      count += got;
      continue;
    }
    int n = stream.Read(out.bytes_.get() + count, static_cast<int>(capacity - count));
    if (n <= 0) break;  // a stream that stops giving bytes has ended
    count += std::min(static_cast<size_t>(n), capacity - count);
  }
  // A declared length far above what came leaves no large idle block behind.
  if (capacity > FIRST_BLOCK && count < capacity / 2) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(count, 1)]);
    std::memcpy(exact.get(), out.bytes_.get(), count);
    out.bytes_ = std::move(exact);
  }
  out.size_ = count;
  return out;
}

std::unique_ptr<uint8_t[]> ByteBuffer::Release() {
  size_ = 0;
  return std::move(bytes_);
}

namespace {

ByteBuffer LoadStreamBytes(const Ref<TDataStream>& stream) {
  if (!stream) return {};
  ByteBuffer bytes = ByteBuffer::ReadToEnd(*stream);
  stream->Close();
  return bytes;
}

void SaveStreamBytes(const Ref<TDataStream>& stream, const uint8_t* bytes, size_t count) {
  if (!stream) throw TStreamWriteError();
  while (count > 0) {
    int n = static_cast<int>(std::min<size_t>(count, INT_MAX));
    stream->WriteFully(bytes, n);
    bytes += n;
    count -= n;
  }
  stream->Close();
}

String BytesToText(const ByteBuffer& bytes) { return String(bytes.begin(), bytes.end()); }

}  // namespace

ByteBuffer LoadAllBytes(const Ref<TObject>& url) { return LoadStreamBytes(OpenForReading(url)); }
ByteBuffer LoadAllBytes(std::u16string_view url) { return LoadStreamBytes(OpenForReading(url)); }
String LoadAllText(const Ref<TObject>& url) { return BytesToText(LoadAllBytes(url)); }
String LoadAllText(std::u16string_view url) { return BytesToText(LoadAllBytes(url)); }

void SaveAllBytes(std::span<const uint8_t> bytes, const Ref<TObject>& url) {
  SaveStreamBytes(OpenForWriting(url), bytes.data(), bytes.size());
}
void SaveAllBytes(std::span<const uint8_t> bytes, std::u16string_view url) {
  SaveStreamBytes(OpenForWriting(url), bytes.data(), bytes.size());
}
void SaveAllText(std::u16string_view text, const Ref<TObject>& url) {
  std::string bytes = ToBytes(text);
  SaveStreamBytes(OpenForWriting(url), reinterpret_cast<const uint8_t*>(bytes.data()),
                  bytes.size());
}
void SaveAllText(std::u16string_view text, std::u16string_view url) {
  std::string bytes = ToBytes(text);
  SaveStreamBytes(OpenForWriting(url), reinterpret_cast<const uint8_t*>(bytes.data()),
                  bytes.size());
}

void CopyUntilEnd(const Ref<TDataStream>& from, const Ref<TDataStream>& to, int bufSize) {
  std::vector<uint8_t> buffer(std::max(bufSize, 1));
  while (!from->Eof()) {
    int n = from->Read(buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) break;  // a stream that stops giving bytes has ended
    to->WriteFully(buffer.data(), std::min(n, static_cast<int>(buffer.size())));
  }
}

void CopyCount(const Ref<TDataStream>& from, const Ref<TDataStream>& to, int count, int bufSize) {
  std::vector<uint8_t> buffer(std::max(std::min(bufSize, std::max(count, 1)), 1));
  // Only bytes actually read are written: a source that ends first ends the copy.
  while (count > 0 && !from->Eof()) {
    int want = std::min(count, static_cast<int>(buffer.size()));
    int n = from->Read(buffer.data(), want);
    if (n <= 0) throw TStreamReadError();
    n = std::min(n, want);
    to->WriteFully(buffer.data(), n);
    count -= n;
  }
}

int Eof(const Ref<TDataStream>& stream) { return stream->Eof(); }
int Pos(const Ref<TDataStream>& stream) { return stream->Pos(); }
int Size(const Ref<TDataStream>& stream) { return stream->Size(); }
int Seek(const Ref<TDataStream>& stream, int pos) { return stream->Seek(pos); }
int Flush(const Ref<TDataStream>& stream) { return stream->Flush(); }
int Close(const Ref<TDataStream>& stream) { return stream->Close(); }
int Read(const Ref<TDataStream>& stream, void* buf, int count) { return stream->Read(buf, count); }
int Write(const Ref<TDataStream>& stream, const void* buf, int count) {
  return stream->Write(buf, count);
}
int ReadFully(const Ref<TDataStream>& stream, void* buf, int count) {
  return stream->ReadFully(buf, count);
}
int WriteFully(const Ref<TDataStream>& stream, const void* buf, int count) {
  return stream->WriteFully(buf, count);
}
int Skip(const Ref<TDataStream>& stream, int count) { return stream->Skip(count); }
int ReadU8(const Ref<TDataStream>& stream) { return stream->ReadU8(); }
void WriteU8(const Ref<TDataStream>& stream, int value) { stream->WriteU8(value); }
int ReadU16(const Ref<TDataStream>& stream) { return stream->ReadU16(); }
void WriteU16(const Ref<TDataStream>& stream, int value) { stream->WriteU16(value); }
int ReadI32(const Ref<TDataStream>& stream) { return stream->ReadI32(); }
void WriteI32(const Ref<TDataStream>& stream, int value) { stream->WriteI32(value); }
int64_t ReadI64(const Ref<TDataStream>& stream) { return stream->ReadI64(); }
void WriteI64(const Ref<TDataStream>& stream, int64_t value) { stream->WriteI64(value); }
float ReadF32(const Ref<TDataStream>& stream) { return stream->ReadF32(); }
void WriteF32(const Ref<TDataStream>& stream, float value) { stream->WriteF32(value); }
double ReadF64(const Ref<TDataStream>& stream) { return stream->ReadF64(); }
void WriteF64(const Ref<TDataStream>& stream, double value) { stream->WriteF64(value); }
String ReadTextLine(const Ref<TDataStream>& stream) { return stream->ReadTextLine(); }
void WriteTextLine(const Ref<TDataStream>& stream, std::u16string_view text) {
  stream->WriteTextLine(text);
}
String ReadByteText(const Ref<TDataStream>& stream, int count) {
  return stream->ReadByteText(count);
}
void WriteByteText(const Ref<TDataStream>& stream, std::u16string_view text) {
  stream->WriteByteText(text);
}

void InitStreamModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitIncbinModule();
  InitBankModule();
  InitEndianStreamModule();
}

}  // namespace kelpora
