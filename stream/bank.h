// Memory banks: resizable byte buffers with typed peek and poke, loadable from
// and savable to any URL, and openable as streams that grow them.
#pragma once

#include <cstdint>

#include "stream/stream.h"

namespace kelpora {

// A block of `size` bytes in use out of `capacity` allocated; capacity -1
// marks a static bank over a block it does not own. Values are little-endian.
// Offsets are checked: peeks, pokes and transfers outside 0...size raise
// TArrayBoundsError. Bytes a bank grows by read as zero.
class TBank : public TObject {
 public:
  ~TBank() override;

  uint8_t* Buf() const { return buf; }
  int Size() const { return size; }
  int Capacity() const { return capacity; }
  // Growing past the capacity allocates GrownCapacity(capacity, newSize);
  // shrinking keeps the block. A static bank that grows owns its new block.
  void Resize(int newSize);
  // max(capacity * 3 / 2, newSize), at most INT_MAX, the largest bank there
  // can be; just newSize for a static bank (capacity -1).
  static int GrownCapacity(int capacity, int newSize);
  // stream.Read / stream.Write of the bank's bytes from `offset`.
  int ReadFrom(const Ref<TDataStream>& stream, int offset, int count);
  int WriteTo(const Ref<TDataStream>& stream, int offset, int count);
  int PeekU8(int offset) const;
  void PokeU8(int offset, int value);
  int PeekU16(int offset) const;
  void PokeU16(int offset, int value);
  int PeekI32(int offset) const;
  void PokeI32(int offset, int value);
  int64_t PeekI64(int offset) const;
  void PokeI64(int offset, int64_t value);
  float PeekF32(int offset) const;
  void PokeF32(int offset, float value);
  double PeekF64(int offset) const;
  void PokeF64(int offset, double value);
  // 0 when the URL does not open for writing; a failed write raises.
  int Save(const Ref<TObject>& url);
  int Save(std::u16string_view url);

  // Everything the URL holds, or none when it does not open.
  static Ref<TBank> Load(const Ref<TObject>& url);
  static Ref<TBank> Load(std::u16string_view url);
  static Ref<TBank> Create(int size);
  static Ref<TBank> CreateStatic(void* buf, int size);

  uint8_t* buf = nullptr;
  int size = 0;
  int capacity = 0;

 private:
  uint8_t* At(int offset, int width) const;
};

// A stream over a bank; writing past the bank's end grows it.
class TBankStream : public TDataStream {
 public:
  int Pos() override;
  int Size() override;
  int Seek(int pos) override;
  int Read(void* dst, int count) override;
  int Write(const void* src, int count) override;

  static Ref<TBankStream> Create(Ref<TBank> bank);

  int pos = 0;
  Ref<TBank> bank;
};

// Over `bank`, or over a new empty bank when it is none.
Ref<TBankStream> CreateBankStream(const Ref<TBank>& bank);
// Moves `count` bytes between banks; the ranges may overlap.
void CopyBankBytes(const Ref<TBank>& src, int srcOffset, const Ref<TBank>& dst, int dstOffset,
                   int count);

Ref<TBank> CreateBank(int size);
Ref<TBank> CreateStaticBank(void* buf, int size);
Ref<TBank> LoadBank(const Ref<TObject>& url);
Ref<TBank> LoadBank(std::u16string_view url);
int SaveBank(const Ref<TBank>& bank, const Ref<TObject>& url);
int SaveBank(const Ref<TBank>& bank, std::u16string_view url);
uint8_t* BankBuf(const Ref<TBank>& bank);
int BankSize(const Ref<TBank>& bank);
int BankCapacity(const Ref<TBank>& bank);
void ResizeBank(const Ref<TBank>& bank, int size);
int ReadBank(const Ref<TBank>& bank, const Ref<TDataStream>& stream, int offset, int count);
int WriteBank(const Ref<TBank>& bank, const Ref<TDataStream>& stream, int offset, int count);
int PeekU8(const Ref<TBank>& bank, int offset);
void PokeU8(const Ref<TBank>& bank, int offset, int value);
int PeekU16(const Ref<TBank>& bank, int offset);
void PokeU16(const Ref<TBank>& bank, int offset, int value);
int PeekI32(const Ref<TBank>& bank, int offset);
void PokeI32(const Ref<TBank>& bank, int offset, int value);
int64_t PeekI64(const Ref<TBank>& bank, int offset);
void PokeI64(const Ref<TBank>& bank, int offset, int64_t value);
float PeekF32(const Ref<TBank>& bank, int offset);
void PokeF32(const Ref<TBank>& bank, int offset, float value);
double PeekF64(const Ref<TBank>& bank, int offset);
void PokeF64(const Ref<TBank>& bank, int offset, double value);

// Registers the protocol that opens a bank given as a URL.
void InitBankModule();

}  // namespace kelpora
