#include "audio/sample.h"

#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "runtime/errors.h"

namespace kelpora {

namespace {

constexpr int BYTES_PER_FRAME[7] = {0, 1, 2, 2, 2, 4, 4};

bool KnownFormat(int format) { return format >= 0 && format <= 6; }
bool ConvertibleFormat(int format) { return format >= 1 && format <= 6; }

[[noreturn]] void RaiseUnimplemented() { RaiseError(u"Unimplemented sample format conversion"); }

// Samples travel between the two kernels below as native 16-bit pairs, left
// then right: the values of the big-endian stereo pivot without its byte order.
inline uint16_t Swap(uint16_t v) { return uint16_t(v << 8 | v >> 8); }
inline int16_t Load16(const uint8_t* p, bool bigEndian) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  if (bigEndian != (std::endian::native == std::endian::big)) v = Swap(v);
  return int16_t(v);
}
inline void Store16(uint8_t* p, int value, bool bigEndian) {
  uint16_t v = uint16_t(value);
  if (bigEndian != (std::endian::native == std::endian::big)) v = Swap(v);
  std::memcpy(p, &v, 2);
}
inline int16_t Widen8(uint8_t u) { return int16_t(u * 257 - 32768); }
inline uint8_t Narrow8(int v) { return uint8_t((v + 32768) / 257); }
inline int Mix(const int16_t* lr) { return (lr[0] + lr[1]) / 2; }  // truncated toward zero

// To the pivot's values.
void Widen(const uint8_t* src, int format, int16_t* lr, int frames) {
  switch (format) {
    case SAMPLE_MONO8:
      for (int i = 0; i < frames; ++i) lr[2 * i] = lr[2 * i + 1] = Widen8(src[i]);
      break;
    case SAMPLE_MONO16LE:
    case SAMPLE_MONO16BE: {
      const bool big = format == SAMPLE_MONO16BE;
      for (int i = 0; i < frames; ++i) lr[2 * i] = lr[2 * i + 1] = Load16(src + 2 * i, big);
      break;
    }
    case SAMPLE_STEREO8:
      for (int i = 0; i < 2 * frames; ++i) lr[i] = Widen8(src[i]);
      break;
    case SAMPLE_STEREO16LE:
    case SAMPLE_STEREO16BE: {
      const bool big = format == SAMPLE_STEREO16BE;
      for (int i = 0; i < 2 * frames; ++i) lr[i] = Load16(src + 2 * i, big);
      break;
    }
    default:
      RaiseUnimplemented();
  }
}

// From the pivot's values.
void Narrow(const int16_t* lr, uint8_t* dst, int format, int frames) {
  switch (format) {
    case SAMPLE_MONO8:
      for (int i = 0; i < frames; ++i) dst[i] = Narrow8(Mix(lr + 2 * i));
      break;
    case SAMPLE_MONO16LE:
    case SAMPLE_MONO16BE: {
      const bool big = format == SAMPLE_MONO16BE;
      for (int i = 0; i < frames; ++i) Store16(dst + 2 * i, Mix(lr + 2 * i), big);
      break;
    }
    case SAMPLE_STEREO8:
      for (int i = 0; i < 2 * frames; ++i) dst[i] = Narrow8(lr[i]);
      break;
    case SAMPLE_STEREO16LE:
    case SAMPLE_STEREO16BE: {
      const bool big = format == SAMPLE_STEREO16BE;
      for (int i = 0; i < 2 * frames; ++i) Store16(dst + 2 * i, lr[i], big);
      break;
    }
    default:
      RaiseUnimplemented();
  }
}

}  // namespace

int BytesPerFrame(int format) { return KnownFormat(format) ? BYTES_PER_FRAME[format] : 0; }

TSampleData::~TSampleData() {
  if (capacity >= 0) std::free(data);
}

Ref<TSampleData> TSampleData::Copy() {
  Ref<TSampleData> copy = Create(length, rate, format);
  if (copy && copy->capacity > 0) std::memcpy(copy->data, data, size_t(copy->capacity));
  return copy;
}

Ref<TSampleData> TSampleData::Convert(int targetFormat) {
  const bool convertible = targetFormat == format
                               ? KnownFormat(format)
                               : ConvertibleFormat(format) && ConvertibleFormat(targetFormat);
  if (!convertible) RaiseUnimplemented();
  Ref<TSampleData> converted = Create(length, rate, targetFormat);
  if (converted) ConvertPcm(data, format, converted->data, targetFormat, converted->length);
  return converted;
}

Ref<TSampleData> TSampleData::Create(int length, int rate, int format) {
  if (!KnownFormat(format)) return {};
  if (length < 0) length = 0;
  const int64_t bytes = int64_t(length) * BYTES_PER_FRAME[format];
  if (bytes > INT_MAX) return {};
  uint8_t* memory = nullptr;
  if (bytes > 0) {
    // Not cleared: loaders fill every byte, and large blocks stay unmapped
    // until they are written.
    memory = static_cast<uint8_t*>(std::malloc(size_t(bytes)));
    if (!memory) return {};
  }
  Ref<TSampleData> sample = MakeRef<TSampleData>();
  sample->data = memory;
  sample->length = length;
  sample->rate = rate;
  sample->format = format;
  sample->capacity = int(bytes);
  return sample;
}

Ref<TSampleData> TSampleData::CreateStatic(void* data, int length, int rate, int format) {
  if (!KnownFormat(format)) return {};
  Ref<TSampleData> sample = MakeRef<TSampleData>();
  sample->data = static_cast<uint8_t*>(data);
  sample->length = length < 0 ? 0 : length;
  sample->rate = rate;
  sample->format = format;
  sample->capacity = -1;
  return sample;
}

void TSampleData::Shorten(int frames) {
  if (frames < 0) frames = 0;
  if (frames >= length) return;
  length = frames;
  if (capacity < 0) return;
  const int bytes = frames * BytesPerFrame(format);
  if (bytes == 0) {
    std::free(data);
    data = nullptr;
  } else if (void* smaller = std::realloc(data, size_t(bytes))) {
    data = static_cast<uint8_t*>(smaller);
  } else {
    return;  // keeps the larger block, which it still owns
  }
  capacity = bytes;
}

void ConvertPcm(const void* source, int sourceFormat, void* target, int targetFormat, int frames) {
  const auto* src = static_cast<const uint8_t*>(source);
  auto* dst = static_cast<uint8_t*>(target);
  if (sourceFormat == targetFormat) {
    if (!KnownFormat(sourceFormat)) RaiseUnimplemented();
    const size_t bytes = frames > 0 ? size_t(frames) * BYTES_PER_FRAME[sourceFormat] : 0;
    if (bytes > 0) std::memcpy(dst, src, bytes);
    return;
  }
  if (!ConvertibleFormat(sourceFormat) || !ConvertibleFormat(targetFormat)) RaiseUnimplemented();
  if (frames <= 0) return;
  // Through the pivot a slice at a time, so the scratch stays in the cache.
  constexpr int SLICE = 1024;
  alignas(64) int16_t pivot[SLICE * 2];
  const int inBytes = BYTES_PER_FRAME[sourceFormat];
  const int outBytes = BYTES_PER_FRAME[targetFormat];
  for (int done = 0; done < frames; done += SLICE) {
    const int n = frames - done < SLICE ? frames - done : SLICE;
    Widen(src + size_t(done) * inBytes, sourceFormat, pivot, n);
    Narrow(pivot, dst + size_t(done) * outBytes, targetFormat, n);
  }
}

void InitSampleModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitErrorModule();
}

}  // namespace kelpora
