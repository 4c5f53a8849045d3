// Ogg Vorbis files, decoded whole into memory by vorbisfile.
#pragma once

#include "audio/loaders/sample_loader.h"

namespace kelpora {

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
