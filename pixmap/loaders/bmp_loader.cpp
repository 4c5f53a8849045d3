#include "pixmap/loaders/bmp_loader.h"

#include <cstring>
#include <vector>

#include "runtime/load_errors.h"
#include "stream/endian_stream.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

// Reads `count` palette words; entries the file does not supply stay zero and
// entries past `used` are skipped without being stored.
void ReadPalette(TDataStream& in, uint32_t* palette, int64_t count, int used) {
  int64_t i = 0;
  for (; i < count && i < used; ++i) palette[i] = uint32_t(in.ReadI32());
  for (int64_t left = (count - i) * 4; left > 0 && !in.Eof();) {
    const int chunk = left > (1 << 30) ? (1 << 30) : int(left);
    in.Skip(chunk);
    left -= chunk;
  }
}

}  // namespace

Ref<TPixmap> TBmpLoader::LoadFromStream(const Ref<TDataStream>& stream) {
  const Ref<TDataStream> little = WrapLittleEndian(stream);
  TDataStream& in = *little;
  uint8_t magic[2] = {0, 0};
  in.ReadFully(magic, 2);
  if (magic[0] != 0x42 || magic[1] != 0x4D) return {};

  in.ReadI32();  // file size
  in.ReadI32();  // reserved
  in.ReadI32();  // pixel-data offset: the palette is taken to follow the header
  in.ReadI32();  // info-header size
  const int32_t width = in.ReadI32();
  const int32_t height = in.ReadI32();
  in.ReadU16();  // planes
  const int bitCount = in.ReadU16();
  in.ReadI32();  // compression
  in.ReadI32();  // image size
  in.ReadI32();  // horizontal resolution
  in.ReadI32();  // vertical resolution
  int64_t coloursUsed = in.ReadI32();
  in.ReadI32();  // important colours
  if (coloursUsed == 0 && bitCount <= 8) coloursUsed = int64_t(1) << bitCount;
  if (coloursUsed < 0) coloursUsed = 0;

  if (width <= 0 || height <= 0) return {};
  if (!PixmapSizeAllowed(width, height, PIXFMT_RGB24)) return {};
  // Rows in the file are padded to 4 bytes. Decline files whose rows need
  // more than twice what the stream still holds: such sizes are corrupt and
  // would only make us allocate memory the bytes can never fill.
  const int64_t bits = bitCount > 0 ? bitCount : 1;
  const int64_t rowBytes = (int64_t(width) * bits + 31) / 32 * 4;
  if (rowBytes * height > 2 * BytesLeft(stream)) return {};
  if (rowBytes > INT32_MAX) return {};

  Ref<TPixmap> pixmap = MakePixmap(width, height, PIXFMT_RGB24, 4);
  uint32_t palette[256] = {};
  switch (bitCount) {
    case 1:
      ReadPalette(in, palette, 2, 2);
      break;
    case 4:
      ReadPalette(in, palette, coloursUsed, 16);
      break;
    case 8:
      ReadPalette(in, palette, coloursUsed, 256);
      break;
    case 24:
      break;
    default:
      // No decoder for other bit counts: the pixmap stays as made, black.
      return pixmap;
  }

  std::vector<uint8_t> row(size_t(rowBytes), 0);
  std::vector<uint32_t> words(bitCount == 24 ? 0 : size_t(width), 0);
  for (int32_t y = height - 1; y >= 0; --y) {
    // Zeroed each time: a file that ends early must not repeat an older row.
    std::memset(row.data(), 0, row.size());
    in.ReadFully(row.data(), int(rowBytes));
    uint8_t* out = pixmap->PixelPtr(0, y);
    if (bitCount == 24) {
      ConvertRow(row.data(), PIXFMT_BGR24, out, PIXFMT_RGB24, width);
      continue;
    }
    for (int32_t x = 0; x < width; ++x) {
      int index;
      if (bitCount == 1) {
        index = (row[size_t(x / 8)] & (0x80 >> (x % 8))) ? 1 : 0;
      } else if (bitCount == 4) {
        const uint8_t b = row[size_t(x / 2)];
        index = (x % 2 == 0) ? b >> 4 : b & 0x0F;
      } else {
        index = row[size_t(x)];
      }
      words[size_t(x)] = palette[index];
    }
    // Palette words are blue, green, red, reserved: BGRA32 with the reserved
    // byte landing in the alpha that RGB24 drops.
    ConvertRow(reinterpret_cast<const uint8_t*>(words.data()), PIXFMT_BGRA32, out, PIXFMT_RGB24,
               width);
  }
  return pixmap;
}

void InitBmpLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitPixmapModule();
  InitStreamModule();
  MakeRef<TBmpLoader>();
  NoteLoaderReady(u"BMP");
}

}  // namespace kelpora
