// Replicated objects: 32 typed slots, their states and the packets that
// announce them.
#pragma once

#include <cstdint>
#include <vector>

#include "gnet/gnet_peer.h"

namespace kelpora {

class TGNetHost;

// One slot. Writing an int picks the narrowest kind that carries it: 0..255 a
// byte, 256..65535 a short, anything else (negatives too) a 32-bit int.
class TGNetSlot : public TObject {
 public:
  void SetInt(int32_t v);
  void SetFloat(float f);
  void SetString(const String& s);
  int32_t GetInt() const { return intValue; }
  float GetFloat() const { return floatValue; }
  String GetString() const { return text; }

  int32_t kind = GNET_EMPTY;
  int32_t intValue = 0;
  float floatValue = 0;
  String text;
};

// The host an object belongs to, without keeping it alive: the host clears
// the link when it goes, so objects held past their host see none.
class TGNetHostLink : public TObject {
 public:
  TGNetHost* host = nullptr;
};

// A replicated object. Local objects (peer none) are owned here and their
// changes go out at the host's Sync; remote ones mirror a peer's object and
// writing them changes only the local copy.
class TGNetObject : public TObject {
 public:
  int32_t State() const { return state; }
  // 1 (never announced) becomes gone at once; 2 and 4 become closing;
  // closing stays; other states raise "Illegal object state".
  void Close();
  void SetInt(int32_t index, int32_t v);
  void SetFloat(int32_t index, float f);
  void SetString(int32_t index, const String& s);
  int32_t GetInt(int32_t index) const;
  float GetFloat(int32_t index) const;
  String GetString(int32_t index) const;
  // Marks slot `index` changed; a synced object becomes modified.
  void WriteSlot(int32_t index);
  // The packet announcing what changed since the last sync (none for remote
  // objects and objects in step), then advances the state.
  Ref<TGNetPacket> Sync();
  // Decodes the packet's slots into this object and takes its kind as state.
  void Apply(const Ref<TGNetPacket>& packet);
  Ref<TGNetPacket> CreatePacket() const;
  // The whole object for a peer that joins late: a create, then modifies for
  // the slots that do not fit beside the others in 65520 bytes (a slot larger
  // than that goes alone: a peer may have sent one of up to 65533 bytes).
  std::vector<Ref<TGNetPacket>> AnnouncePackets() const;
  Ref<TGNetPacket> ClosePacket() const;
  Ref<TGNetPacket> MessagePacket(int32_t targetId) const;
  // The slots of `mask` in wire form; none when the mask selects nothing.
  // Raises "GNet message data too large" above 65520 bytes.
  Ref<TGNetBytes> Encode(uint32_t mask) const;
  // Raises "Invalid GNet data type" or "Corrupt GNet message" and then leaves
  // the slots as they were.
  void Decode(const Ref<TGNetBytes>& bytes);
  static Ref<TGNetObject> Create(int32_t id, int32_t state, const Ref<TGNetHostLink>& host,
                                 const Ref<TGNetPeer>& peer);
  // Walks a payload without storing it, raising what Decode would raise.
  static void CheckPayload(const uint8_t* data, size_t size);
  // Wire size of all slots now, and how decoding `payload` (checked) changes it.
  size_t SlotBytes() const;
  int64_t SlotBytesChange(const Ref<TGNetBytes>& payload) const;

  Ref<TGNetHost> Host() const;

  int32_t id = 0;
  int32_t state = 0;
  Ref<TGNetHostLink> host;
  Ref<TGNetPeer> peer;
  Ref<TObject> target;
  TGNetSlot slots[GNET_SLOTS];
  uint32_t dirty = 0;

 private:
  const TGNetSlot& Slot(int32_t index) const;
  // The slots of `mask`, which take `size` bytes in wire form.
  Ref<TGNetBytes> EncodeSlots(uint32_t mask, size_t size) const;
};

inline bool IsLocal(const Ref<TGNetObject>& object) { return !object->peer; }
inline bool IsRemote(const Ref<TGNetObject>& object) { return bool(object->peer); }
inline void SetTarget(const Ref<TGNetObject>& object, const Ref<TObject>& target) {
  object->target = target;
}
inline Ref<TObject> GetTarget(const Ref<TGNetObject>& object) { return object->target; }
inline int32_t GNetObjectState(const Ref<TGNetObject>& object) { return object->State(); }
inline void CloseGNetObject(const Ref<TGNetObject>& object) { object->Close(); }
inline void SetGNetInt(const Ref<TGNetObject>& object, int32_t index, int32_t v) {
  object->SetInt(index, v);
}
inline void SetGNetFloat(const Ref<TGNetObject>& object, int32_t index, float f) {
  object->SetFloat(index, f);
}
inline void SetGNetString(const Ref<TGNetObject>& object, int32_t index, const String& s) {
  object->SetString(index, s);
}
inline int32_t GetGNetInt(const Ref<TGNetObject>& object, int32_t index) {
  return object->GetInt(index);
}
inline float GetGNetFloat(const Ref<TGNetObject>& object, int32_t index) {
  return object->GetFloat(index);
}
inline String GetGNetString(const Ref<TGNetObject>& object, int32_t index) {
  return object->GetString(index);
}

}  // namespace kelpora
