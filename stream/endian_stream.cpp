#include "stream/endian_stream.h"

#include <algorithm>
#include <bit>

namespace kelpora {

namespace {

// The bytes as read are big-endian; reversed they are little-endian, which
// decodes the same on any host.
template <class U>
U DecodeLittle(const uint8_t* at) {
  U value = 0;
  for (size_t i = 0; i < sizeof(U); ++i) value |= static_cast<U>(at[i]) << (8 * i);
  return value;
}

template <class U>
void EncodeLittle(uint8_t* at, U value) {
  for (size_t i = 0; i < sizeof(U); ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

class TByteOrderProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>&, const String& protocol, const String& path,
                                int readable, int writeable) override {
    if (protocol == u"bigendian") return WrapBigEndian(OpenUrlStream(path, readable, writeable));
    if (protocol == u"littleendian") {
      return WrapLittleEndian(OpenUrlStream(path, readable, writeable));
    }
    return nullptr;
  }
};

}  // namespace

void TByteSwapStream::Swap2(void* p) {
  auto* b = static_cast<uint8_t*>(p);
  std::swap(b[0], b[1]);
}

void TByteSwapStream::Swap4(void* p) {
  auto* b = static_cast<uint8_t*>(p);
  std::reverse(b, b + 4);
}

void TByteSwapStream::Swap8(void* p) {
  auto* b = static_cast<uint8_t*>(p);
  std::reverse(b, b + 8);
}

int TByteSwapStream::ReadU16() {
  uint8_t b[2] = {};
  ReadFully(b, 2);
  Swap2(b);
  return DecodeLittle<uint16_t>(b);
}

void TByteSwapStream::WriteU16(int value) {
  uint8_t b[2];
  EncodeLittle(b, static_cast<uint16_t>(value));
  Swap2(b);
  WriteFully(b, 2);
}

int TByteSwapStream::ReadI32() {
  uint8_t b[4] = {};
  ReadFully(b, 4);
  Swap4(b);
  return static_cast<int32_t>(DecodeLittle<uint32_t>(b));
}

void TByteSwapStream::WriteI32(int value) {
  uint8_t b[4];
  EncodeLittle(b, static_cast<uint32_t>(value));
  Swap4(b);
  WriteFully(b, 4);
}

int64_t TByteSwapStream::ReadI64() {
  uint8_t b[8] = {};
  ReadFully(b, 8);
  Swap8(b);
  return static_cast<int64_t>(DecodeLittle<uint64_t>(b));
}

void TByteSwapStream::WriteI64(int64_t value) {
  uint8_t b[8];
  EncodeLittle(b, static_cast<uint64_t>(value));
  Swap8(b);
  WriteFully(b, 8);
}

float TByteSwapStream::ReadF32() { return std::bit_cast<float>(ReadI32()); }
void TByteSwapStream::WriteF32(float value) { WriteI32(std::bit_cast<int32_t>(value)); }
double TByteSwapStream::ReadF64() { return std::bit_cast<double>(ReadI64()); }
void TByteSwapStream::WriteF64(double value) { WriteI64(std::bit_cast<int64_t>(value)); }

Ref<TByteSwapStream> TByteSwapStream::Create(Ref<TDataStream> stream) {
  if (!stream) return nullptr;
  auto swapped = MakeRef<TByteSwapStream>();
  swapped->SetInner(std::move(stream));
  return swapped;
}

Ref<TDataStream> TByteSwapStream::WrapBigEndian(Ref<TDataStream> stream) {
  return Create(std::move(stream));
}

Ref<TDataStream> TByteSwapStream::WrapLittleEndian(Ref<TDataStream> stream) { return stream; }

Ref<TDataStream> WrapBigEndian(Ref<TDataStream> stream) {
  return TByteSwapStream::WrapBigEndian(std::move(stream));
}

Ref<TDataStream> WrapLittleEndian(Ref<TDataStream> stream) {
  return TByteSwapStream::WrapLittleEndian(std::move(stream));
}

void InitEndianStreamModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitStreamModule();
  MakeRef<TByteOrderProtocol>();
}

}  // namespace kelpora
