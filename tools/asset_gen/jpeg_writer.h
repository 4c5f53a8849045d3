// Baseline JPEG encoding with libjpeg, padded to an exact size with comment segments.
#pragma once

#include <cstddef>
#include <string>

#include "tools/asset_gen/canvas.h"
#include "tools/asset_gen/png_writer.h"

namespace kelpora::assetgen {

// Baseline, 3-component (YCbCr) JPEG at the highest quality that fits below
// `targetSize`, padded to it exactly with COM segments after the JFIF header.
Bytes EncodeJpeg(const Canvas& canvas, size_t targetSize, const std::string& comment);

// Inserts COM segments after the APP0 segment; false when the gap cannot be filled.
bool PadJpeg(Bytes& jpeg, size_t targetSize, const std::string& comment);

}  // namespace kelpora::assetgen
