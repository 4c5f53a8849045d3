#include "stream/bank.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "runtime/load_errors.h"

namespace kelpora {

namespace {

template <class U>
U Decode(const uint8_t* at) {
  U value = 0;
  for (size_t i = 0; i < sizeof(U); ++i) value |= static_cast<U>(at[i]) << (8 * i);
  return value;
}

template <class U>
void Encode(uint8_t* at, U value) {
  for (size_t i = 0; i < sizeof(U); ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool InRange(int offset, int count, int size) {
  return offset >= 0 && count >= 0 && offset <= size && count <= size - offset;
}

class TBankProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>& url, const String&, const String&, int,
                                int) override {
    auto bank = RefCast<TBank>(url);
    if (!bank) return nullptr;
    return CreateBankStream(bank);
  }
};

Ref<TBank> LoadFrom(const Ref<TDataStream>& stream) {
  if (!stream) return nullptr;
  ByteBuffer bytes = LoadAllBytes(stream);
  stream->Close();
  // The bank takes the loaded block over instead of copying it.
  if (bytes.empty()) return TBank::Create(0);
  auto bank = MakeRef<TBank>();
  bank->size = bank->capacity = static_cast<int>(bytes.size());
  bank->buf = bytes.Release().release();
  return bank;
}

int SaveTo(const TBank& bank, const Ref<TDataStream>& stream) {
  if (!stream) return 0;
  stream->WriteFully(bank.buf, bank.size);
  stream->Close();
  return 1;
}

}  // namespace

TBank::~TBank() {
  if (capacity >= 0) delete[] buf;
}

int TBank::GrownCapacity(int capacity, int newSize) {
  int64_t grown = capacity < 0 ? 0 : static_cast<int64_t>(capacity) * 3 / 2;
  return static_cast<int>(std::min<int64_t>(std::max<int64_t>(grown, newSize), INT_MAX));
}

void TBank::Resize(int newSize) {
  newSize = std::max(newSize, 0);
  if (capacity < newSize) {
    int newCapacity = GrownCapacity(capacity, newSize);
    auto* block = new uint8_t[newCapacity]();
    if (size > 0) std::memcpy(block, buf, static_cast<size_t>(size));
    if (capacity >= 0) delete[] buf;
    buf = block;
    capacity = newCapacity;
  } else if (newSize > size) {
    std::memset(buf + size, 0, static_cast<size_t>(newSize - size));
  }
  size = newSize;
}

uint8_t* TBank::At(int offset, int width) const {
  if (!InRange(offset, width, size)) throw TArrayBoundsError();
  return buf + offset;
}

int TBank::ReadFrom(const Ref<TDataStream>& stream, int offset, int count) {
  if (count <= 0) return 0;
  return stream->Read(At(offset, count), count);
}

int TBank::WriteTo(const Ref<TDataStream>& stream, int offset, int count) {
  if (count <= 0) return 0;
  return stream->Write(At(offset, count), count);
}

int TBank::PeekU8(int offset) const { return *At(offset, 1); }
void TBank::PokeU8(int offset, int value) { *At(offset, 1) = static_cast<uint8_t>(value); }
int TBank::PeekU16(int offset) const { return Decode<uint16_t>(At(offset, 2)); }
void TBank::PokeU16(int offset, int value) { Encode(At(offset, 2), static_cast<uint16_t>(value)); }
int TBank::PeekI32(int offset) const {
  return static_cast<int32_t>(Decode<uint32_t>(At(offset, 4)));
}
void TBank::PokeI32(int offset, int value) { Encode(At(offset, 4), static_cast<uint32_t>(value)); }
int64_t TBank::PeekI64(int offset) const {
  return static_cast<int64_t>(Decode<uint64_t>(At(offset, 8)));
}
void TBank::PokeI64(int offset, int64_t value) {
  Encode(At(offset, 8), static_cast<uint64_t>(value));
}
float TBank::PeekF32(int offset) const {
  return std::bit_cast<float>(Decode<uint32_t>(At(offset, 4)));
}
void TBank::PokeF32(int offset, float value) {
  Encode(At(offset, 4), std::bit_cast<uint32_t>(value));
}
double TBank::PeekF64(int offset) const {
  return std::bit_cast<double>(Decode<uint64_t>(At(offset, 8)));
}
void TBank::PokeF64(int offset, double value) {
  Encode(At(offset, 8), std::bit_cast<uint64_t>(value));
}

int TBank::Save(const Ref<TObject>& url) { return SaveTo(*this, OpenForWriting(url)); }
int TBank::Save(std::u16string_view url) { return SaveTo(*this, OpenForWriting(url)); }
Ref<TBank> TBank::Load(const Ref<TObject>& url) { return LoadFrom(OpenForReading(url)); }
Ref<TBank> TBank::Load(std::u16string_view url) { return LoadFrom(OpenForReading(url)); }

Ref<TBank> TBank::Create(int size) {
  auto bank = MakeRef<TBank>();
  if (size > 0) {
    bank->buf = new uint8_t[size]();
    bank->size = size;
    bank->capacity = size;
  }
  return bank;
}

Ref<TBank> TBank::CreateStatic(void* buf, int size) {
  auto bank = MakeRef<TBank>();
  bank->buf = static_cast<uint8_t*>(buf);
  bank->size = buf && size > 0 ? size : 0;
  bank->capacity = -1;
  return bank;
}

int TBankStream::Pos() { return pos; }
int TBankStream::Size() { return bank->size; }

int TBankStream::Seek(int to) {
  pos = std::clamp(to, 0, bank->size);
  return pos;
}

int TBankStream::Read(void* dst, int count) {
  int size = bank->size;
  if (count < 1 || pos >= size) return 0;
  count = std::min(count, size - pos);
  std::memcpy(dst, bank->buf + pos, static_cast<size_t>(count));
  pos += count;
  return count;
}

int TBankStream::Write(const void* src, int count) {
  if (count < 1 || pos > bank->size) return 0;
  // A bank is addressed by int offsets; it cannot grow past INT_MAX bytes.
  count = std::min(count, INT_MAX - pos);
  if (count < 1) return 0;
  if (pos + count > bank->size) bank->Resize(pos + count);
  std::memcpy(bank->buf + pos, src, static_cast<size_t>(count));
  pos += count;
  return count;
}

Ref<TBankStream> TBankStream::Create(Ref<TBank> bank) {
  auto stream = MakeRef<TBankStream>();
  stream->bank = std::move(bank);
  return stream;
}

Ref<TBankStream> CreateBankStream(const Ref<TBank>& bank) {
  return TBankStream::Create(bank ? bank : TBank::Create(0));
}

void CopyBankBytes(const Ref<TBank>& src, int srcOffset, const Ref<TBank>& dst, int dstOffset,
                   int count) {
  if (!InRange(srcOffset, count, src->size) || !InRange(dstOffset, count, dst->size)) {
    throw TArrayBoundsError();
  }
  if (count > 0) std::memmove(dst->buf + dstOffset, src->buf + srcOffset, count);
}

Ref<TBank> CreateBank(int size) { return TBank::Create(size); }
Ref<TBank> CreateStaticBank(void* buf, int size) { return TBank::CreateStatic(buf, size); }
Ref<TBank> LoadBank(const Ref<TObject>& url) { return TBank::Load(url); }
Ref<TBank> LoadBank(std::u16string_view url) { return TBank::Load(url); }
int SaveBank(const Ref<TBank>& bank, const Ref<TObject>& url) { return bank->Save(url); }
int SaveBank(const Ref<TBank>& bank, std::u16string_view url) { return bank->Save(url); }
uint8_t* BankBuf(const Ref<TBank>& bank) { return bank->Buf(); }
int BankSize(const Ref<TBank>& bank) { return bank->Size(); }
int BankCapacity(const Ref<TBank>& bank) { return bank->Capacity(); }
void ResizeBank(const Ref<TBank>& bank, int size) { bank->Resize(size); }
int ReadBank(const Ref<TBank>& bank, const Ref<TDataStream>& stream, int offset, int count) {
  return bank->ReadFrom(stream, offset, count);
}
int WriteBank(const Ref<TBank>& bank, const Ref<TDataStream>& stream, int offset, int count) {
  return bank->WriteTo(stream, offset, count);
}
int PeekU8(const Ref<TBank>& bank, int offset) { return bank->PeekU8(offset); }
void PokeU8(const Ref<TBank>& bank, int offset, int value) { bank->PokeU8(offset, value); }
int PeekU16(const Ref<TBank>& bank, int offset) { return bank->PeekU16(offset); }
void PokeU16(const Ref<TBank>& bank, int offset, int value) { bank->PokeU16(offset, value); }
int PeekI32(const Ref<TBank>& bank, int offset) { return bank->PeekI32(offset); }
void PokeI32(const Ref<TBank>& bank, int offset, int value) { bank->PokeI32(offset, value); }
int64_t PeekI64(const Ref<TBank>& bank, int offset) { return bank->PeekI64(offset); }
void PokeI64(const Ref<TBank>& bank, int offset, int64_t value) { bank->PokeI64(offset, value); }
float PeekF32(const Ref<TBank>& bank, int offset) { return bank->PeekF32(offset); }
void PokeF32(const Ref<TBank>& bank, int offset, float value) { bank->PokeF32(offset, value); }
double PeekF64(const Ref<TBank>& bank, int offset) { return bank->PeekF64(offset); }
void PokeF64(const Ref<TBank>& bank, int offset, double value) { bank->PokeF64(offset, value); }

void InitBankModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitStreamModule();
  MakeRef<TBankProtocol>();
  NoteLoaderReady(u"bank");
}

}  // namespace kelpora
