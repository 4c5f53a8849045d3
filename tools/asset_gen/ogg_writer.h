// Ogg Vorbis encoding with libvorbisenc, padded to an exact size in the comment header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/asset_gen/png_writer.h"

namespace kelpora::assetgen {

using Tags = std::vector<std::pair<std::string, std::string>>;

// Stereo 44100 Hz audio, interleaved L R floats in [-1, 1].
struct StereoAudio {
  std::vector<float> samples;
  size_t Frames() const { return samples.size() / 2; }
};

// Encodes at an average bitrate chosen so that the audio pages land just below
// `targetSize`, then grows the comment header until the file is exactly that long.
Bytes EncodeOggExact(const StereoAudio& audio, size_t targetSize, const Tags& tags,
                     uint32_t serial);

// Variable-bitrate encoding at `quality` (-0.1 to 1), no size target.
Bytes EncodeOggQuality(const StereoAudio& audio, float quality, const Tags& tags, uint32_t serial);

}  // namespace kelpora::assetgen
