#include "stream/incbin.h"

#include <algorithm>
#include <cstring>

#include "runtime/load_errors.h"

namespace kelpora {

namespace {

struct TResourceEntry {
  TResourceEntry* next;
  String name;
  const uint8_t* data;
  int size;
};

// Newest first; entries live until the process ends.
TResourceEntry* resourceHead = nullptr;

const TResourceEntry* FindEntry(std::u16string_view name) {
  for (const TResourceEntry* e = resourceHead; e; e = e->next) {
    if (e->name == name) return e;
  }
  return nullptr;
}

class TIncbinProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>&, const String& protocol, const String& path,
                                int readable, int writeable) override {
    if (protocol != u"incbin" || writeable) return nullptr;
    const TResourceEntry* entry = FindEntry(path);
    if (!entry) return nullptr;
    return CreateBlockStream(static_cast<const void*>(entry->data), entry->size, readable, 0);
  }
};

}  // namespace

int RegisterResource(const String& name, const void* data, int size) {
  if (FindEntry(name)) return 0;
  // A block without bytes is an empty block, whatever size came with it.
  if (!data || size < 0) size = 0;
  resourceHead = new TResourceEntry{resourceHead, name, static_cast<const uint8_t*>(data), size};
  return 1;
}

const uint8_t* FindResourceData(std::u16string_view name) {
  const TResourceEntry* entry = FindEntry(name);
  return entry ? entry->data : nullptr;
}

int FindResourceSize(std::u16string_view name) {
  const TResourceEntry* entry = FindEntry(name);
  return entry ? entry->size : 0;
}

int TBlockStream::Pos() { return pos; }
int TBlockStream::Size() { return size; }

int TBlockStream::Seek(int to) {
  pos = std::clamp(to, 0, size);
  return pos;
}

int TBlockStream::Read(void* dst, int count) {
  if (count < 1 || !readable) return 0;
  count = std::min(count, size - pos);
  if (count > 0) std::memcpy(dst, buf + pos, static_cast<size_t>(count));
  pos += count;
  return count;
}

int TBlockStream::Write(const void* src, int count) {
  if (count < 1 || !writeable) return 0;
  count = std::min(count, size - pos);
  if (count > 0) std::memcpy(buf + pos, src, static_cast<size_t>(count));
  pos += count;
  return count;
}

Ref<TBlockStream> CreateBlockStream(void* data, int size, int readable, int writeable) {
  auto stream = MakeRef<TBlockStream>();
  stream->buf = static_cast<uint8_t*>(data);
  stream->size = data && size > 0 ? size : 0;
  stream->readable = readable;
  stream->writeable = writeable;
  return stream;
}

Ref<TBlockStream> CreateBlockStream(const void* data, int size, int readable, int) {
  // The stream never writes while `writeable` is 0, so the block stays untouched.
  return CreateBlockStream(const_cast<void*>(data), size, readable, 0);
}

void InitIncbinModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitStreamModule();
  MakeRef<TIncbinProtocol>();
  NoteLoaderReady(u"incbin");
}

}  // namespace kelpora
