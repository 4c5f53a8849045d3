// Makes the built-in 8×16 font bitmap: renders codes 32–127 of a monospace
// outline font with FreeType's hinted one-bit rasteriser, places each glyph
// in its 8×16 cell and writes 16 rows of 96 bytes (bit 0 = leftmost pixel).
//
// usage: kelpora-font-maker <font.ttf> <out.bin> [preview.txt]
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

constexpr int kCellWidth = 8;
constexpr int kCellHeight = 16;
constexpr int kGlyphs = 96;
constexpr int kBaseline = 12;  // row of the baseline: 12 rows above, 4 for descenders
constexpr int kPixelSize = 13; // gives an 8-pixel advance for a 0.6 em monospace face

using Cell = std::array<std::array<bool, kCellWidth>, kCellHeight>;

bool RenderCell(FT_Face face, int code, Cell& cell) {
  cell = {};
  if (FT_Load_Char(face, static_cast<FT_ULong>(code), FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME))
    return false;
  const FT_Bitmap& bitmap = face->glyph->bitmap;
  int left = face->glyph->bitmap_left;
  int top = kBaseline - face->glyph->bitmap_top;
  int width = static_cast<int>(bitmap.width);
  // Keep glyphs that are a pixel too wide inside the cell.
  if (left + width > kCellWidth) left = std::max(0, kCellWidth - width);
  if (left < 0) left = 0;
  for (int row = 0; row < static_cast<int>(bitmap.rows); ++row) {
    int y = top + row;
    if (y < 0 || y >= kCellHeight) continue;
    const unsigned char* bits = bitmap.buffer + row * bitmap.pitch;
    for (int column = 0; column < width; ++column) {
      int x = left + column;
      if (x >= kCellWidth) break;
      if (bits[column / 8] & (0x80 >> (column % 8))) cell[y][x] = true;
    }
  }
  return true;
}

// Code 127 has no printable glyph in text fonts: draw a hollow box so that it
// is visible instead of blank.
void DrawDeleteBox(Cell& cell) {
  cell = {};
  for (int y = 3; y <= 12; ++y)
    for (int x = 1; x <= 6; ++x) cell[y][x] = (y == 3 || y == 12 || x == 1 || x == 6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <font.ttf> <out.bin> [preview.txt]\n", argv[0]);
    return 2;
  }
  FT_Library library;
  FT_Face face;
  if (FT_Init_FreeType(&library) || FT_New_Face(library, argv[1], 0, &face) ||
      FT_Set_Pixel_Sizes(face, 0, kPixelSize)) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  std::array<Cell, kGlyphs> cells{};
  for (int i = 0; i < kGlyphs; ++i) {
    int code = 32 + i;
    if (code == 127) {
      DrawDeleteBox(cells[i]);
    } else if (!RenderCell(face, code, cells[i])) {
      std::fprintf(stderr, "no glyph for code %d\n", code);
      return 1;
    }
  }
  FT_Done_Face(face);
  FT_Done_FreeType(library);

  std::string bytes(kCellHeight * kGlyphs, '\0');
  for (int row = 0; row < kCellHeight; ++row)
    for (int j = 0; j < kGlyphs; ++j) {
      unsigned value = 0;
      for (int k = 0; k < kCellWidth; ++k)
        if (cells[j][row][k]) value |= 1u << k;
      bytes[row * kGlyphs + j] = static_cast<char>(value);
    }
  std::ofstream(argv[2], std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  if (argc > 3) {
    std::ofstream preview(argv[3]);
    for (int first = 0; first < kGlyphs; first += 16) {
      for (int row = 0; row < kCellHeight; ++row) {
        for (int j = first; j < first + 16; ++j) {
          for (int k = 0; k < kCellWidth; ++k) preview << (cells[j][row][k] ? '#' : '.');
          preview << ' ';
        }
        preview << '\n';
      }
      preview << '\n';
    }
  }
  return 0;
}
