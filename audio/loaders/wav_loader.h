// RIFF/WAVE files with integer PCM data, 8 or 16 bits, mono or stereo.
#pragma once

#include "audio/loaders/sample_loader.h"

namespace kelpora {

// The "fmt " chunk must come first; other chunks before "data" are skipped by
// their exact size. The sample holds the whole frames of the data chunk that
// the stream really has: a file cut short gives a shorter sample, a trailing
// partial frame is dropped, and a data size that is negative as a 32-bit
// number is declined.
class TWavSampleLoader : public TSampleLoader {
 public:
  Ref<TSampleData> LoadSample(const Ref<TDataStream>& stream) override;
};

void InitWavLoader();

}  // namespace kelpora
