#include "pixmap/loaders/tga_loader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "stream/endian_stream.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

constexpr int TGA_MAX_SIZE = 4096;

// One pixel value as 0xAARRGGBB.
uint32_t ReadTgaPixel(TDataStream& in, int depth) {
  switch (depth) {
    case 15:
    case 16: {
      const uint32_t v = uint32_t(in.ReadU16());
      const uint32_t rgb = ((v >> 7) & 0xF8) << 16 | ((v >> 2) & 0xF8) << 8 | ((v << 3) & 0xF8);
      const bool clear = depth == 16 && (v & 0x8000);
      return (clear ? 0u : 0xFF000000u) | rgb;
    }
    case 24: {
      uint8_t b[3] = {0, 0, 0};
      in.ReadFully(b, 3);
      return 0xFF000000u | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
    }
    default: {
      uint8_t b[4] = {0, 0, 0, 0};
      in.ReadFully(b, 4);
      return uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
    }
  }
}

void StoreWords(const std::vector<uint32_t>& words, uint8_t* row, int32_t format, int width) {
  // The words in memory are BGRA32 on this little-endian machine.
  ConvertRow(reinterpret_cast<const uint8_t*>(words.data()), PIXFMT_BGRA32, row, format, width);
}

}  // namespace

Ref<TPixmap> TTgaLoader::LoadFromStream(const Ref<TDataStream>& stream) {
  const Ref<TDataStream> little = WrapLittleEndian(stream);
  TDataStream& in = *little;
  uint8_t head[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  in.ReadFully(head, 8);
  in.ReadU16();  // x origin: not used
  in.ReadU16();  // y origin: not used
  const int width = in.ReadU16();
  const int height = in.ReadU16();
  const int depth = in.ReadU8();
  in.ReadU8();  // descriptor: rows are always taken bottom-up

  const int idLength = head[0], mapType = head[1], imageType = head[2];
  if (mapType != 0) return {};
  if (imageType != 1 && imageType != 2 && imageType != 10) return {};
  if (depth != 15 && depth != 16 && depth != 24 && depth != 32) return {};
  if (width < 1 || width > TGA_MAX_SIZE || height < 1 || height > TGA_MAX_SIZE) return {};
  const int32_t format = (depth == 16 || depth == 32) ? PIXFMT_RGBA32 : PIXFMT_RGB24;
  if (!PixmapSizeAllowed(width, height, format)) return {};

  Ref<TPixmap> pixmap = MakePixmap(width, height, format, 4);
  for (int i = 0; i < idLength; ++i) in.ReadU8();
  // Colour-mapped images have no decoder: they stay as made, cleared.
  if (imageType == 1) return pixmap;

  std::vector<uint32_t> words(size_t(width), 0);
  std::vector<uint8_t> bytes;
  if (imageType == 2 && (depth == 24 || depth == 32)) bytes.resize(size_t(width) * (depth / 8));

  // What a pixel read past the end decodes as (its bytes read as zero).
  const uint32_t pastEnd = depth == 32 ? 0u : 0xFF000000u;
  for (int y = height - 1; y >= 0; --y) {
    uint8_t* row = pixmap->PixelPtr(0, y);
    if (in.Eof()) {
      std::fill(words.begin(), words.end(), pastEnd);
    } else if (imageType == 2 && depth == 24) {
      // Zeroed first so a file that ends early never shows an older row.
      std::memset(bytes.data(), 0, bytes.size());
      in.ReadFully(bytes.data(), int(bytes.size()));
      for (int x = 0; x < width; ++x) {
        const uint8_t* p = &bytes[size_t(x) * 3];
        words[size_t(x)] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
    } else if (imageType == 2 && depth == 32) {
      std::memset(bytes.data(), 0, bytes.size());
      in.ReadFully(bytes.data(), int(bytes.size()));
      std::memcpy(words.data(), bytes.data(), bytes.size());
    } else if (imageType == 2) {
      for (int x = 0; x < width; ++x) words[size_t(x)] = ReadTgaPixel(in, depth);
    } else {
      int x = 0;
      while (x < width) {
        const int h = in.ReadU8();
        if (h & 0x80) {
          const uint32_t value = ReadTgaPixel(in, depth);
          for (int n = h - 127; n > 0 && x < width; --n) words[size_t(x++)] = value;
        } else {
          // A packet running past the row end is cut there; its tail is read and dropped.
          for (int n = h + 1; n > 0; --n) {
            const uint32_t value = ReadTgaPixel(in, depth);
            if (x < width) words[size_t(x++)] = value;
          }
        }
        if (in.Eof()) {
          while (x < width) words[size_t(x++)] = pastEnd;
        }
      }
    }
    StoreWords(words, row, format, width);
  }
  return pixmap;
}

void InitTgaLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitPixmapModule();
  InitStreamModule();
  MakeRef<TTgaLoader>();
}

}  // namespace kelpora
