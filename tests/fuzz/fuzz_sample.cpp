// LoadSample over memory, with one sample loader registered or the whole chain.
#include <cstddef>
#include <cstdint>

#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "stream/incbin.h"

namespace {

bool Init() {
#if defined(KELPORA_FUZZ_wav)
  kelpora::InitWavLoader();
#elif defined(KELPORA_FUZZ_ogg)
  kelpora::InitOggLoader();
#else
  kelpora::InitOggLoader();
  kelpora::InitWavLoader();
#endif
  return true;
}

}  // namespace

// vorbisfile loses a few bytes when an open fails partway through a chained
// file's links; that is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libvorbis\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Init();
  (void)ready;
  if (size > (1u << 24)) return 0;
  using namespace kelpora;
  Ref<TSampleData> sample = LoadSample(Ref<TObject>(CreateBlockStream(data, int(size), 1, 0)));
  if (sample) {
    // Touch every byte handed out so the sanitizer checks it.
    const int64_t bytes = int64_t(sample->length) * BytesPerFrame(sample->format);
    if (bytes > sample->capacity) __builtin_trap();
    uint32_t sum = 0;
    for (int64_t i = 0; i < bytes; ++i) sum += sample->data[i];
    [[maybe_unused]] static volatile uint32_t sink;
    sink = sum;
  }
  return 0;
}
