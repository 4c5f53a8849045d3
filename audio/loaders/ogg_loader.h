// Ogg Vorbis files, decoded whole into memory by vorbisfile.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/loaders/sample_loader.h"

namespace kelpora {

class TDataStream;

// Decodes an Ogg Vorbis stream piece by piece, from the stream's current
// position, into 16-bit frames: mono stays mono, 3 to 8 channels are mixed
// down to stereo. Decoding ends with the first logical stream, at a change of
// channel count or rate, or after Length() frames; damaged stretches (holes)
// are skipped. Errors of the stream are raised again from the call that met
// them. The stream must outlive nothing: the decoder holds it.
class TOggDecoder {
 public:
  explicit TOggDecoder(const Ref<TDataStream>& stream);
  ~TOggDecoder();
  TOggDecoder(const TOggDecoder&) = delete;
  TOggDecoder& operator=(const TOggDecoder&) = delete;

  // Reads the headers; false when the data is not Ogg Vorbis, or has more
  // than 8 channels, or a seekable stream announces no length.
  bool Open();
  int Channels() const { return channels_ <= 1 ? 1 : 2; }
  int Rate() const { return int(rate_); }
  bool Seekable() const { return seekable_; }
  // Frames of the first logical stream; -1 for a stream that cannot seek.
  int64_t Length() const { return length_; }
  // Up to `frames` frames into `out`; 0 at the end, -1 when decoding failed.
  int Read(int16_t* out, int frames);
  // Back to the first frame; false when the stream cannot seek.
  bool Rewind();

 private:
  struct State;
  int ReadFrames(char* out, int frames);
  int ReadDownmixed(int16_t* out, int frames);
  void RaiseKeptError();

  Ref<TDataStream> stream_;
  std::unique_ptr<State> state_;
  int channels_ = 0;
  long rate_ = 0;
  bool seekable_ = false;
  int64_t length_ = -1;
  int64_t left_ = -1;
};

// Gives SAMPLE_MONO16LE for mono streams and SAMPLE_STEREO16LE otherwise:
// streams of 3 to 8 channels are mixed down to stereo (DownmixToStereo);
// more channels than that have no defined layout and are declined. The
// sample is as long as the first logical stream announces; decoding stops
// early, and the sample is shortened to what was decoded, when the stream
// ends first or when a chained stream changes its channel count or rate.
class TOggSampleLoader : public TSampleLoader {
 public:
  Ref<TSampleData> LoadSample(const Ref<TDataStream>& stream) override;
};

// Mixes `frames` interleaved frames of `channels` (3 to 8, in the Vorbis
// channel order) into stereo: front sides at full weight, the centre at
// 1/sqrt(2) into both sides, surround and rear sides at 1/sqrt(2) into their
// side, a rear centre at 1/2 into both, the low-frequency channel left out.
// Each output is the weighted sum divided by the sum of its weights (weights
// in 1/16384 units, truncated toward zero), so it never clips. `out` may not
// overlap `in`.
void DownmixToStereo(const int16_t* in, int channels, int16_t* out, int frames);

void InitOggLoader();

}  // namespace kelpora
