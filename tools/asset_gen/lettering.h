// Lettering with FreeType: text rendered into coverage masks, then filled,
// outlined and given a glow by the painters.
#pragma once

#include <string>
#include <vector>

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

struct Mask {
  int width = 0, height = 0;
  std::vector<float> a;
  float At(int x, int y) const {
    return x < 0 || y < 0 || x >= width || y >= height ? 0.0f
                                                       : a[static_cast<size_t>(y) * width + x];
  }
};

// Renders `text` (ASCII) with the font file at `pixelSize`, `tracking` extra
// pixels between letters. The mask is as tight as the ink plus `margin`.
Mask RenderText(const std::string& fontFile, const std::string& text, int pixelSize, int tracking,
                int margin);

Mask Dilate(const Mask& m, int radius);
Mask Blur(const Mask& m, int radius);

// Paints the mask onto the canvas centred on `cx`, top at `top`, with a
// vertical gradient from `upper` to `lower`.
void PaintMask(Canvas& canvas, const Mask& m, float cx, float top, Color upper, Color lower,
               float opacity = 1.0f);

std::string FontPath(const std::string& file);

}  // namespace kelpora::assetgen
