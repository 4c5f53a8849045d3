// Byte-order views: a forwarding stream whose typed values are big-endian,
// and the "bigendian" / "littleendian" protocols that put one in front of
// any other URL ("bigendian::incbin::name").
#pragma once

#include "stream/stream.h"

namespace kelpora {

// Reverses the bytes of the typed values (ReadU16 to WriteF64) so that they
// are big-endian on the inner stream; everything else forwards unchanged.
// Holds the inner stream and closes it when closed or dropped.
class TByteSwapStream : public TForwardingStream {
 public:
  int ReadU16() override;
  void WriteU16(int value) override;
  int ReadI32() override;
  void WriteI32(int value) override;
  int64_t ReadI64() override;
  void WriteI64(int64_t value) override;
  float ReadF32() override;
  void WriteF32(float value) override;
  double ReadF64() override;
  void WriteF64(double value) override;
  // Reverse 2, 4 or 8 bytes in place.
  virtual void Swap2(void* p);
  virtual void Swap4(void* p);
  virtual void Swap8(void* p);

  // None for none.
  static Ref<TByteSwapStream> Create(Ref<TDataStream> stream);
  static Ref<TDataStream> WrapBigEndian(Ref<TDataStream> stream);
  // The stream itself: plain streams are little-endian already.
  static Ref<TDataStream> WrapLittleEndian(Ref<TDataStream> stream);
};

Ref<TDataStream> WrapBigEndian(Ref<TDataStream> stream);
Ref<TDataStream> WrapLittleEndian(Ref<TDataStream> stream);

// Registers the "bigendian" and "littleendian" protocols.
void InitEndianStreamModule();

}  // namespace kelpora
