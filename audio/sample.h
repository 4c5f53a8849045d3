// In-memory PCM audio: interleaved frames with a length, a rate and a format
// code, and the conversions between the formats.
#pragma once

#include <cstdint>

#include "runtime/object.h"

namespace kelpora {

// Format codes. 8-bit samples are unsigned (128 is silence), 16-bit ones
// signed; stereo frames hold left then right. SAMPLE_STEREO16BE is the pivot
// every conversion between two other formats goes through.
enum : int {
  SAMPLE_NONE = 0,
  SAMPLE_MONO8 = 1,
  SAMPLE_MONO16LE = 2,
  SAMPLE_MONO16BE = 3,
  SAMPLE_STEREO8 = 4,
  SAMPLE_STEREO16LE = 5,
  SAMPLE_STEREO16BE = 6,
};

// Bytes of one frame of `format`: 0 for SAMPLE_NONE and for codes outside 0 to 6.
int BytesPerFrame(int format);

// A block of frames. `capacity` is the number of bytes of `data` the sample
// owns and frees, or -1 when the memory belongs to someone else. Copy and
// Convert always make a new sample with memory of its own.
class TSampleData : public TObject {
 public:
  ~TSampleData() override;

  // A new sample with the same length, rate, format and bytes.
  virtual Ref<TSampleData> Copy();
  // A new sample holding these frames in `format`, also when it is this
  // sample's format. Raises "Unimplemented sample format conversion" when
  // either format is not one of 1 to 6 (unless both are the same valid code).
  virtual Ref<TSampleData> Convert(int format);

  // A sample owning length x BytesPerFrame(format) bytes, not cleared.
  // Negative lengths give an empty sample; none when the format code is
  // outside 0 to 6, the size does not fit a 32-bit count, or memory runs out.
  static Ref<TSampleData> Create(int length, int rate, int format);
  // A sample over memory it never frees (capacity -1); none for a format
  // code outside 0 to 6. Negative lengths count as 0.
  static Ref<TSampleData> CreateStatic(void* data, int length, int rate, int format);

  // Gives back owned memory beyond `frames` frames (frames <= length).
  // For loaders whose input ended before the frames it announced.
  void Shorten(int frames);

  uint8_t* data = nullptr;
  int length = 0;
  int rate = 0;
  int format = SAMPLE_NONE;
  int capacity = 0;
};

// Converts `frames` frames from `source` in `sourceFormat` to `target` in
// `targetFormat`: a plain copy when the formats are equal, otherwise through
// SAMPLE_STEREO16BE. 8-bit values widen as u x 257 - 32768 and narrow as
// (v + 32768) / 257; mono targets take the average of left and right,
// truncated toward zero. Raises "Unimplemented sample format conversion" for
// codes other than 1 to 6 (equal codes 0 copy nothing). `source` and `target`
// must not overlap.
void ConvertPcm(const void* source, int sourceFormat, void* target, int targetFormat, int frames);

// Readies the sample module (and the runtime it needs). Runs once.
void InitSampleModule();

}  // namespace kelpora
