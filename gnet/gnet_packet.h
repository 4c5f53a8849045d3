// What travels between GNet peers: packets with a 4-byte header, slot
// kinds and states, and the 16-bit float format of float slots.
#pragma once

#include <cstdint>

#include "runtime/array.h"
#include "runtime/object.h"

namespace kelpora {

// Slot kinds, as they travel in the top three bits of a payload tag.
enum : int32_t {
  GNET_EMPTY = 0,
  GNET_INT = 1,
  GNET_FLOAT = 2,
  GNET_STRING = 3,
  GNET_BYTE = 4,
  GNET_SHORT = 5,
};

// Object states and packet kinds (a packet's kind is the state it carries).
enum : int32_t {
  GNET_CREATED = 1,
  GNET_MODIFIED = 2,
  GNET_CLOSING = 3,
  GNET_SYNCED = 4,
  GNET_MESSAGE = 5,
  GNET_GONE = -1,
};

constexpr int32_t GNET_SLOTS = 32;
constexpr int32_t GNET_MAX_PAYLOAD = 65520;
// What the 16-bit length field (payload + 2) can carry.
constexpr int32_t GNET_WIRE_MAX_PAYLOAD = 65533;

// Half precision with the sender's rounding: half a unit of the 10th mantissa
// bit is added (ties go up), results below the smallest normal become signed
// zero, every NaN becomes 0xFFFF.
uint16_t PackHalfFloat(float value);
// The exact half-to-single conversion, subnormals included.
float UnpackHalfFloat(uint16_t bits);

using TGNetBytes = TArray<uint8_t>;

// One message on the wire: the id it names, its kind (1 create, 2 modify,
// 3 close, 5 message) and the encoded slots (none when there are none).
class TGNetPacket : public TObject {
 public:
  TGNetPacket(int32_t id, int32_t kind, Ref<TGNetBytes> payload = {})
      : id(id), kind(kind), payload(std::move(payload)) {}
  int32_t PayloadSize() const { return payload ? static_cast<int32_t>(payload->Length()) : 0; }

  int32_t id;
  int32_t kind;
  Ref<TGNetBytes> payload;
};

// Header of a packet on the wire: payload length + 2 (big-endian), then
// kind * 16 + id bits 8-11, then id bits 0-7.
constexpr int32_t GNET_HEADER_SIZE = 4;
void WriteGNetHeader(uint8_t* out, int32_t kind, int32_t id, int32_t payloadSize);

}  // namespace kelpora
