// Blocks of bytes embedded in the executable, registered under names and
// opened read-only as "incbin::" plus the name.
#pragma once

#include <cstdint>

#include "stream/stream.h"

namespace kelpora {

// Adds a block that lives as long as the process (never copied or freed).
// Names are exact and case-sensitive; the first registration of a name wins.
// Returns 1 when added, 0 when the name was already registered.
int RegisterResource(const String& name, const void* data, int size);
// The block's start, or null for an unknown name.
const uint8_t* FindResourceData(std::u16string_view name);
// The block's length, or 0 for an unknown name.
int FindResourceSize(std::u16string_view name);

// A stream over a fixed block of memory it does not own. Seek clamps to the
// block; reads and writes are shortened at its end and the block never grows.
class TBlockStream : public TDataStream {
 public:
  int Pos() override;
  int Size() override;
  int Seek(int pos) override;
  int Read(void* dst, int count) override;
  int Write(const void* src, int count) override;

  int pos = 0;
  int size = 0;
  uint8_t* buf = nullptr;
  int readable = 0;
  int writeable = 0;
};

// Over writable memory, with the access given.
Ref<TBlockStream> CreateBlockStream(void* data, int size, int readable, int writeable);
// Over read-only memory: `writeable` is ignored and writes move nothing.
Ref<TBlockStream> CreateBlockStream(const void* data, int size, int readable, int writeable);

// Registers the "incbin" protocol.
void InitIncbinModule();

}  // namespace kelpora
