#include "gnet/gnet_object.h"

#include "runtime/errors.h"

namespace kelpora {

void TGNetSlot::SetInt(int32_t v) {
  intValue = v;
  if (v < 0 || v > 65535)
    kind = GNET_INT;
  else if (v < 256)
    kind = GNET_BYTE;
  else
    kind = GNET_SHORT;
}

void TGNetSlot::SetFloat(float f) {
  floatValue = f;
  kind = GNET_FLOAT;
}

void TGNetSlot::SetString(const String& s) {
  text = s;
  kind = GNET_STRING;
}

namespace {

constexpr uint32_t ALL_SLOTS = 0xFFFFFFFFu;

[[noreturn]] void RaiseCorrupt() { RaiseError(u"Corrupt GNet message"); }
[[noreturn]] void RaiseInvalidType() { RaiseError(u"Invalid GNet data type"); }
[[noreturn]] void RaiseTooLarge() { RaiseError(u"GNet message data too large"); }

// Bytes a slot takes in a payload, tag included; 0 for an empty slot.
size_t FieldBytes(const TGNetSlot& slot) {
  switch (slot.kind) {
    case GNET_EMPTY:
      return 0;
    case GNET_INT:
      return 5;
    case GNET_FLOAT:
    case GNET_SHORT:
      return 3;
    case GNET_BYTE:
      return 2;
    case GNET_STRING:
      return slot.text.size() + 3;
    default:
      RaiseInvalidType();
  }
}

// Bytes a field of `kind` takes after its tag, for the fixed-size kinds.
int32_t FixedFieldSize(int32_t kind) {
  switch (kind) {
    case GNET_INT:
      return 4;
    case GNET_FLOAT:
      return 2;
    case GNET_BYTE:
      return 1;
    case GNET_SHORT:
      return 2;
    default:
      return -1;
  }
}

uint32_t ReadBig(const uint8_t* p, int32_t n) {
  uint32_t v = 0;
  for (int32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Walks the fields of a payload, handing each to `field(kind, index, data, size)`
// (for strings `data` points at the characters). Raises before calling back
// for a field that is invalid or runs past the end.
template <class Field>
void WalkPayload(const uint8_t* data, size_t size, Field&& field) {
  size_t pos = 0;
  while (pos < size) {
    uint8_t tag = data[pos++];
    int32_t kind = tag >> 5;
    int32_t index = tag & 31;
    if (kind == GNET_STRING) {
      if (size - pos < 2) RaiseCorrupt();
      size_t count = ReadBig(data + pos, 2);
      pos += 2;
      if (size - pos < count) RaiseCorrupt();
      field(kind, index, data + pos, count);
      pos += count;
      continue;
    }
    int32_t width = FixedFieldSize(kind);
    if (width < 0) RaiseInvalidType();
    if (size - pos < static_cast<size_t>(width)) RaiseCorrupt();
    field(kind, index, data + pos, static_cast<size_t>(width));
    pos += width;
  }
}

}  // namespace

void TGNetObject::CheckPayload(const uint8_t* data, size_t size) {
  WalkPayload(data, size, [](int32_t, int32_t, const uint8_t*, size_t) {});
}

size_t TGNetObject::SlotBytes() const {
  size_t size = 0;
  for (const TGNetSlot& slot : slots) size += FieldBytes(slot);
  return size;
}

int64_t TGNetObject::SlotBytesChange(const Ref<TGNetBytes>& payload) const {
  if (!payload) return 0;
  // Only the slots the payload writes change size; a slot written twice
  // ends with the last field.
  size_t sizes[GNET_SLOTS] = {};
  uint32_t touched = 0;
  WalkPayload(payload->Data(), payload->Length(),
              [&](int32_t kind, int32_t index, const uint8_t*, size_t n) {
                sizes[index] = n + (kind == GNET_STRING ? 3 : 1);  // tag and length
                touched |= 1u << index;
              });
  int64_t change = 0;
  for (int32_t i = 0; i < GNET_SLOTS; ++i) {
    if (touched >> i & 1)
      change += static_cast<int64_t>(sizes[i]) - static_cast<int64_t>(FieldBytes(slots[i]));
  }
  return change;
}

const TGNetSlot& TGNetObject::Slot(int32_t index) const {
  if (index < 0 || index >= GNET_SLOTS) throw TArrayBoundsError();
  return slots[index];
}

void TGNetObject::Close() {
  switch (state) {
    case GNET_CREATED:
      state = GNET_GONE;
      break;
    case GNET_MODIFIED:
    case GNET_SYNCED:
      state = GNET_CLOSING;
      break;
    case GNET_CLOSING:
      break;
    default:
      RaiseError(u"Illegal object state");
  }
}

void TGNetObject::WriteSlot(int32_t index) {
  Slot(index);
  dirty |= 1u << index;
  if (state == GNET_SYNCED) state = GNET_MODIFIED;
}

void TGNetObject::SetInt(int32_t index, int32_t v) {
  WriteSlot(index);
  slots[index].SetInt(v);
}

void TGNetObject::SetFloat(int32_t index, float f) {
  WriteSlot(index);
  slots[index].SetFloat(f);
}

void TGNetObject::SetString(int32_t index, const String& s) {
  WriteSlot(index);
  slots[index].SetString(s);
}

int32_t TGNetObject::GetInt(int32_t index) const { return Slot(index).GetInt(); }
float TGNetObject::GetFloat(int32_t index) const { return Slot(index).GetFloat(); }
String TGNetObject::GetString(int32_t index) const { return Slot(index).GetString(); }

Ref<TGNetPacket> TGNetObject::Sync() {
  Ref<TGNetPacket> packet;
  switch (state) {
    case GNET_CREATED:
    case GNET_MODIFIED:
      if (!peer) packet = MakeRef<TGNetPacket>(id, state, Encode(dirty));
      state = GNET_SYNCED;
      break;
    case GNET_CLOSING:
      if (!peer) packet = MakeRef<TGNetPacket>(id, state, Encode(dirty));
      target = nullptr;
      state = GNET_GONE;
      break;
    default:
      // In step, gone, or a message: nothing to announce.
      return nullptr;
  }
  dirty = 0;
  return packet;
}

void TGNetObject::Apply(const Ref<TGNetPacket>& packet) {
  Decode(packet->payload);
  state = packet->kind;
}

Ref<TGNetPacket> TGNetObject::CreatePacket() const {
  return MakeRef<TGNetPacket>(id, GNET_CREATED, Encode(ALL_SLOTS));
}

Ref<TGNetPacket> TGNetObject::ClosePacket() const { return MakeRef<TGNetPacket>(id, GNET_CLOSING); }

Ref<TGNetPacket> TGNetObject::MessagePacket(int32_t targetId) const {
  return MakeRef<TGNetPacket>(targetId, GNET_MESSAGE, Encode(ALL_SLOTS));
}

Ref<TGNetBytes> TGNetObject::Encode(uint32_t mask) const {
  size_t size = 0;
  for (int32_t i = 0; i < GNET_SLOTS; ++i) {
    if (mask >> i & 1) size += FieldBytes(slots[i]);
  }
  if (size > GNET_MAX_PAYLOAD) RaiseTooLarge();
  return EncodeSlots(mask, size);
}

std::vector<Ref<TGNetPacket>> TGNetObject::AnnouncePackets() const {
  std::vector<Ref<TGNetPacket>> packets;
  uint32_t mask = 0;
  size_t size = 0;
  auto emit = [&] {
    int32_t kind = packets.empty() ? GNET_CREATED : GNET_MODIFIED;
    packets.push_back(MakeRef<TGNetPacket>(id, kind, EncodeSlots(mask, size)));
    mask = 0;
    size = 0;
  };
  for (int32_t i = 0; i < GNET_SLOTS; ++i) {
    size_t bytes = FieldBytes(slots[i]);
    if (bytes == 0) continue;
    if (bytes > GNET_WIRE_MAX_PAYLOAD) RaiseTooLarge();
    if (mask && size + bytes > GNET_MAX_PAYLOAD) emit();
    mask |= 1u << i;
    size += bytes;
  }
  if (mask || packets.empty()) emit();
  return packets;
}

Ref<TGNetBytes> TGNetObject::EncodeSlots(uint32_t mask, size_t size) const {
  if (size == 0) return nullptr;
  auto bytes = MakeArray<uint8_t>(size);
  uint8_t* out = bytes->Data();
  auto put = [&out](uint32_t v, int n) {
    for (int k = n - 1; k >= 0; --k) *out++ = static_cast<uint8_t>(v >> (8 * k));
  };
  for (int32_t i = 0; i < GNET_SLOTS; ++i) {
    if (!(mask >> i & 1)) continue;
    const TGNetSlot& slot = slots[i];
    if (slot.kind == GNET_EMPTY) continue;
    *out++ = static_cast<uint8_t>(slot.kind << 5 | i);
    switch (slot.kind) {
      case GNET_INT:
        put(static_cast<uint32_t>(slot.intValue), 4);
        break;
      case GNET_FLOAT:
        put(PackHalfFloat(slot.floatValue), 2);
        break;
      case GNET_BYTE:
        put(static_cast<uint32_t>(slot.intValue), 1);
        break;
      case GNET_SHORT:
        put(static_cast<uint32_t>(slot.intValue), 2);
        break;
      case GNET_STRING:
        put(static_cast<uint32_t>(slot.text.size()), 2);
        for (char16_t c : slot.text) *out++ = static_cast<uint8_t>(c);
        break;
    }
  }
  return bytes;
}

void TGNetObject::Decode(const Ref<TGNetBytes>& bytes) {
  if (!bytes) return;
  const uint8_t* data = bytes->Data();
  size_t size = bytes->Length();
  CheckPayload(data, size);
  WalkPayload(data, size, [this](int32_t kind, int32_t index, const uint8_t* p, size_t n) {
    TGNetSlot& slot = slots[index];
    switch (kind) {
      case GNET_INT:
        slot.SetInt(static_cast<int32_t>(ReadBig(p, 4)));
        break;
      case GNET_BYTE:
        slot.SetInt(static_cast<int32_t>(p[0]));
        break;
      case GNET_SHORT:
        slot.SetInt(static_cast<int32_t>(ReadBig(p, 2)));
        break;
      case GNET_FLOAT:
        slot.SetFloat(UnpackHalfFloat(static_cast<uint16_t>(ReadBig(p, 2))));
        break;
      case GNET_STRING: {
        String text(n, u'\0');
        for (size_t k = 0; k < n; ++k) text[k] = p[k];
        slot.SetString(text);
        break;
      }
    }
  });
}

Ref<TGNetObject> TGNetObject::Create(int32_t id, int32_t state, const Ref<TGNetHostLink>& host,
                                     const Ref<TGNetPeer>& peer) {
  auto object = MakeRef<TGNetObject>();
  object->id = id;
  object->state = state;
  object->host = host;
  object->peer = peer;
  return object;
}

}  // namespace kelpora
