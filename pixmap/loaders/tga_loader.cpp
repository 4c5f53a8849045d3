#include "pixmap/loaders/tga_loader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "stream/stream.h"

namespace kelpora {

namespace {

constexpr int TGA_MAX_SIZE = 4096;

// Reads the stream a block at a time, so the pixel loops take bytes from
// memory instead of making a virtual call per pixel. Bytes past the end read
// as zero, as the stream's typed reads give them; a stream that stops moving
// bytes before its end raises TStreamReadError, as ReadFully does.
class TTgaInput {
 public:
  explicit TTgaInput(TDataStream& in) : in_(in) {}

  // Gives back what was read ahead, so a seekable stream stands just after the picture.
  void GiveBack() {
    const int unused = int(end_ - at_);
    if (unused > 0 && in_.Pos() >= unused) in_.Seek(in_.Pos() - unused);
    at_ = end_;
  }

  // The stream's own end, not a refill: true once every byte was taken.
  bool AtEnd() { return at_ == end_ && in_.Eof(); }

  uint8_t U8() { return (at_ != end_ || Refill()) ? *at_++ : 0; }
  uint32_t U16() {
    const uint32_t low = U8();
    return low | uint32_t(U8()) << 8;
  }
  // Fills `out` with the next `count` bytes, zeros past the end.
  void Bytes(uint8_t* out, size_t count) {
    while (count > 0) {
      if (at_ == end_ && !Refill()) {
        std::memset(out, 0, count);
        return;
      }
      const size_t n = std::min(count, size_t(end_ - at_));
      std::memcpy(out, at_, n);
      at_ += n;
      out += n;
      count -= n;
    }
  }
  void Skip(size_t count) {
    while (count > 0 && (at_ != end_ || Refill())) {
      const size_t n = std::min(count, size_t(end_ - at_));
      at_ += n;
      count -= n;
    }
  }

  // One pixel value as 0xAARRGGBB.
  uint32_t Pixel(int depth) {
    if (depth == 15 || depth == 16) {
      const uint32_t v = U16();
      const uint32_t rgb = ((v >> 7) & 0xF8) << 16 | ((v >> 2) & 0xF8) << 8 | ((v << 3) & 0xF8);
      const bool clear = depth == 16 && (v & 0x8000);
      return (clear ? 0u : 0xFF000000u) | rgb;
    }
    uint8_t b[4] = {0, 0, 0, 0};
    Bytes(b, depth == 24 ? 3 : 4);
    const uint32_t alpha = depth == 24 ? 0xFFu : b[3];
    return alpha << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
  }

 private:
  bool Refill() {
    if (in_.Eof()) return false;
    const int n = in_.Read(block_, int(sizeof block_));
    if (n <= 0) throw TStreamReadError();
    at_ = block_;
    end_ = block_ + std::min(n, int(sizeof block_));
    return true;
  }

  TDataStream& in_;
  uint8_t block_[4096];
  uint8_t* at_ = block_;
  uint8_t* end_ = block_;
};

void StoreWords(const std::vector<uint32_t>& words, uint8_t* row, int32_t format, int width) {
  // The words in memory are BGRA32 on this little-endian machine.
  ConvertRow(reinterpret_cast<const uint8_t*>(words.data()), PIXFMT_BGRA32, row, format, width);
}

}  // namespace

Ref<TPixmap> TTgaLoader::LoadFromStream(const Ref<TDataStream>& stream) {
  TTgaInput in(*stream);
  uint8_t head[18];
  in.Bytes(head, sizeof head);
  // Bytes 8 to 11 are the origin, not used; the descriptor (byte 17) is not
  // used either: rows are always taken bottom-up.
  const int width = head[12] | head[13] << 8;
  const int height = head[14] | head[15] << 8;
  const int depth = head[16];

  const int idLength = head[0], mapType = head[1], imageType = head[2];
  if (mapType != 0) return {};
  if (imageType != 1 && imageType != 2 && imageType != 10) return {};
  if (depth != 15 && depth != 16 && depth != 24 && depth != 32) return {};
  if (width < 1 || width > TGA_MAX_SIZE || height < 1 || height > TGA_MAX_SIZE) return {};
  const int32_t format = (depth == 16 || depth == 32) ? PIXFMT_RGBA32 : PIXFMT_RGB24;
  if (!PixmapSizeAllowed(width, height, format)) return {};

  Ref<TPixmap> pixmap = MakePixmap(width, height, format, 4);
  in.Skip(size_t(idLength));
  // Colour-mapped images have no decoder: they stay as made, cleared.
  if (imageType == 1) return pixmap;

  std::vector<uint32_t> words(size_t(width), 0);
  std::vector<uint8_t> bytes;
  if (imageType == 2 && (depth == 24 || depth == 32)) bytes.resize(size_t(width) * (depth / 8));

  // What a pixel read past the end decodes as (its bytes read as zero).
  const uint32_t pastEnd = depth == 32 ? 0u : 0xFF000000u;
  for (int y = height - 1; y >= 0; --y) {
    uint8_t* row = pixmap->PixelPtr(0, y);
    if (in.AtEnd()) {
      std::fill(words.begin(), words.end(), pastEnd);
    } else if (imageType == 2 && depth == 24) {
      // Zero past the end, so a file that ends early never shows an older row.
      in.Bytes(bytes.data(), bytes.size());
      for (int x = 0; x < width; ++x) {
        const uint8_t* p = &bytes[size_t(x) * 3];
        words[size_t(x)] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      }
    } else if (imageType == 2 && depth == 32) {
      in.Bytes(bytes.data(), bytes.size());
      std::memcpy(words.data(), bytes.data(), bytes.size());
    } else if (imageType == 2) {
      for (int x = 0; x < width; ++x) words[size_t(x)] = in.Pixel(depth);
    } else {
      int x = 0;
      while (x < width) {
        const int h = in.U8();
        if (h & 0x80) {
          const uint32_t value = in.Pixel(depth);
          for (int n = h - 127; n > 0 && x < width; --n) words[size_t(x++)] = value;
        } else {
          // A packet running past the row end is cut there; its tail is read and dropped.
          for (int n = h + 1; n > 0; --n) {
            const uint32_t value = in.Pixel(depth);
            if (x < width) words[size_t(x++)] = value;
          }
        }
        if (in.AtEnd()) {
          while (x < width) words[size_t(x++)] = pastEnd;
        }
      }
    }
    StoreWords(words, row, format, width);
  }
  in.GiveBack();
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
