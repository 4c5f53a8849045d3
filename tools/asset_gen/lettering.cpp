#include "tools/asset_gen/lettering.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kelpora::assetgen {

std::string FontPath(const std::string& file) { return std::string(KELPORA_FONT_DIR) + "/" + file; }

Mask RenderText(const std::string& fontFile, const std::string& text, int pixelSize, int tracking,
                int margin) {
  FT_Library library;
  if (FT_Init_FreeType(&library)) throw std::runtime_error("FreeType did not start");
  FT_Face face;
  if (FT_New_Face(library, fontFile.c_str(), 0, &face)) {
    FT_Done_FreeType(library);
    throw std::runtime_error("cannot open font " + fontFile);
  }
  FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize));
  const int ascent = static_cast<int>(face->size->metrics.ascender >> 6);
  const int descent = static_cast<int>(-face->size->metrics.descender >> 6);
  // First pass measures, second draws.
  int penX = 0;
  std::vector<std::pair<int, int>> origins;
  for (char ch : text) {
    FT_Load_Char(face, static_cast<FT_ULong>(static_cast<unsigned char>(ch)), FT_LOAD_DEFAULT);
    origins.push_back({penX, 0});
    penX += static_cast<int>(face->glyph->advance.x >> 6) + tracking;
  }
  Mask mask;
  mask.width = penX - tracking + 2 * margin;
  mask.height = ascent + descent + 2 * margin;
  mask.a.assign(static_cast<size_t>(mask.width) * mask.height, 0.0f);
  for (size_t i = 0; i < text.size(); ++i) {
    FT_Load_Char(face, static_cast<FT_ULong>(static_cast<unsigned char>(text[i])), FT_LOAD_RENDER);
    const FT_Bitmap& bm = face->glyph->bitmap;
    int ox = margin + origins[i].first + face->glyph->bitmap_left;
    int oy = margin + ascent - face->glyph->bitmap_top;
    for (unsigned y = 0; y < bm.rows; ++y)
      for (unsigned x = 0; x < bm.width; ++x) {
        int mx = ox + static_cast<int>(x), my = oy + static_cast<int>(y);
        if (mx < 0 || my < 0 || mx >= mask.width || my >= mask.height) continue;
        float& dst = mask.a[static_cast<size_t>(my) * mask.width + mx];
        dst = std::max(dst, bm.buffer[y * static_cast<unsigned>(bm.pitch) + x] / 255.0f);
      }
  }
  FT_Done_Face(face);
  FT_Done_FreeType(library);
  return mask;
}

Mask Dilate(const Mask& m, int radius) {
  Mask out = m;
  for (int y = 0; y < m.height; ++y)
    for (int x = 0; x < m.width; ++x) {
      float v = 0;
      for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
          if (dx * dx + dy * dy > radius * radius + radius) continue;
          v = std::max(v, m.At(x + dx, y + dy));
        }
      out.a[static_cast<size_t>(y) * m.width + x] = v;
    }
  return out;
}

Mask Blur(const Mask& m, int radius) {
  Mask tmp = m, out = m;
  const float norm = 1.0f / (2 * radius + 1);
  for (int pass = 0; pass < 2; ++pass) {
    for (int y = 0; y < m.height; ++y)
      for (int x = 0; x < m.width; ++x) {
        float s = 0;
        for (int d = -radius; d <= radius; ++d) s += out.At(x + d, y);
        tmp.a[static_cast<size_t>(y) * m.width + x] = s * norm;
      }
    for (int y = 0; y < m.height; ++y)
      for (int x = 0; x < m.width; ++x) {
        float s = 0;
        for (int d = -radius; d <= radius; ++d) s += tmp.At(x, y + d);
        out.a[static_cast<size_t>(y) * m.width + x] = s * norm;
      }
  }
  return out;
}

void PaintMask(Canvas& canvas, const Mask& m, float cx, float top, Color upper, Color lower,
               float opacity) {
  int ox = static_cast<int>(std::lround(cx - m.width / 2.0f)), oy = static_cast<int>(top);
  for (int y = 0; y < m.height; ++y) {
    Color c = Mix(upper, lower, m.height > 1 ? y / (m.height - 1.0f) : 0);
    for (int x = 0; x < m.width; ++x) canvas.Blend(ox + x, oy + y, c, m.At(x, y) * opacity);
  }
}

}  // namespace kelpora::assetgen
