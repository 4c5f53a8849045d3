// PNG encoding with libpng, padded to an exact size with a tEXt chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

using Bytes = std::vector<uint8_t>;

// 8-bit palette PNG without a transparency chunk. Pixels whose alpha is below
// one half become index 0, exact black (the demo's mask colour); every visible
// pixel maps to a palette entry that is never exact black. Uses as many colours
// (up to 255) as fit below `targetSize`, then pads to it exactly.
Bytes EncodePalettePng(const Canvas& canvas, size_t targetSize, const std::string& comment);

// 8-bit RGBA PNG padded to `targetSize`.
Bytes EncodeRgbaPng(const Canvas& canvas, size_t targetSize, const std::string& comment);

// Plain 8-bit RGB PNG of any size (contact sheet).
Bytes EncodeRgbPng(const Canvas& canvas);

// Inserts a tEXt chunk before IEND so that the file is exactly `targetSize`
// bytes. Returns false when the gap is too small for a chunk.
bool PadPng(Bytes& png, size_t targetSize, const std::string& comment);

}  // namespace kelpora::assetgen
