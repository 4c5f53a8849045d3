#include "gnet/gnet_packet.h"

#include <bit>

namespace kelpora {

uint16_t PackHalfFloat(float value) {
  uint32_t bits = std::bit_cast<uint32_t>(value);
  uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
  int32_t exponent = static_cast<int32_t>((bits >> 23) & 0xFF);
  uint32_t mantissa = bits & 0x7FFFFF;
  if (exponent == 0xFF) return mantissa ? 0xFFFF : static_cast<uint16_t>(sign | 0x7C00);
  if (exponent == 0 && mantissa == 0) return sign;
  mantissa += 0x1000;  // half a unit of the 10th bit
  if (mantissa & 0x800000) {
    mantissa &= 0x7FFFFF;
    ++exponent;
  }
  int32_t unbiased = exponent - 127;
  if (unbiased > 15) return static_cast<uint16_t>(sign | 0x7C00);
  if (unbiased < -14) return sign;
  return static_cast<uint16_t>(sign | ((unbiased + 15) << 10) | (mantissa >> 13));
}

float UnpackHalfFloat(uint16_t half) {
  uint32_t sign = static_cast<uint32_t>(half & 0x8000) << 16;
  uint32_t exponent = (half >> 10) & 0x1F;
  uint32_t mantissa = half & 0x3FF;
  uint32_t bits;
  if (exponent == 0x1F) {
    bits = sign | 0x7F800000 | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // Subnormal: shift the leading one up to the implicit position.
    int shift = std::countl_zero(mantissa) - 21;  // places to bit 10
    mantissa = (mantissa << shift) & 0x3FF;
    bits = sign | (static_cast<uint32_t>(113 - shift) << 23) | (mantissa << 13);
  }
  return std::bit_cast<float>(bits);
}

void WriteGNetHeader(uint8_t* out, int32_t kind, int32_t id, int32_t payloadSize) {
  uint32_t length = static_cast<uint32_t>(payloadSize) + 2;
  out[0] = static_cast<uint8_t>(length >> 8);
  out[1] = static_cast<uint8_t>(length);
  out[2] = static_cast<uint8_t>(kind << 4 | (id >> 8 & 0x0F));
  out[3] = static_cast<uint8_t>(id);
}

}  // namespace kelpora
