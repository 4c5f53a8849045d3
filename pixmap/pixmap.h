// In-memory pictures: a rectangle of pixels in one of six byte layouts, with
// a row pitch that may exceed the row's pixel bytes.
#pragma once

#include <cstdint>

#include "runtime/object.h"

namespace kelpora {

enum : int32_t {
  PIXFMT_GREY8 = 1,
  PIXFMT_ALPHA8 = 2,
  PIXFMT_BGR24 = 3,
  PIXFMT_RGB24 = 4,
  PIXFMT_BGRA32 = 5,
  PIXFMT_RGBA32 = 6,
};

// Format tables indexed by format code; entry 0 is 0 in every table.
inline constexpr int32_t PIXFMT_COUNT = 7;
extern const int32_t formatBytesPerPixel[PIXFMT_COUNT];
extern const int32_t formatBitsPerPixel[PIXFMT_COUNT];
extern const int32_t formatRedBits[PIXFMT_COUNT];
extern const int32_t formatGreenBits[PIXFMT_COUNT];
extern const int32_t formatBlueBits[PIXFMT_COUNT];
extern const int32_t formatAlphaBits[PIXFMT_COUNT];

// Bytes per pixel of a format code; 0 for codes outside 1 to 6.
int32_t BytesPerPixel(int32_t format);
// True for the formats that carry alpha (ALPHA8, BGRA32, RGBA32).
bool FormatHasAlpha(int32_t format);

// Converts `count` pixels from one format to another, through RGBA32 when the
// formats differ. A format code outside 1 to 6 converts nothing.
void ConvertRow(const uint8_t* src, int32_t srcFormat, uint8_t* dst, int32_t dstFormat,
                int32_t count);

// A pixel buffer. Owns its memory when `capacity` >= 0 (released when the
// pixmap is destroyed); -1 marks borrowed memory (sub-regions, wrapped
// pixels), which must outlive the pixmap. Coordinates are never checked.
class TPixmap : public TObject {
 public:
  TPixmap() = default;
  TPixmap(const TPixmap&) = delete;
  TPixmap& operator=(const TPixmap&) = delete;
  ~TPixmap() override;

  virtual uint8_t* PixelPtr(int32_t x, int32_t y) const;
  // Shares this pixmap's memory; the parent must outlive the region.
  virtual Ref<TPixmap> SubRegion(int32_t x, int32_t y, int32_t width, int32_t height) const;
  virtual Ref<TPixmap> Duplicate() const;
  // Writes `source` at (x, y), converting each row; the source must fit.
  virtual void PasteFrom(const Ref<TPixmap>& source, int32_t x, int32_t y);
  // Always a new pixmap, even when the format is the same.
  virtual Ref<TPixmap> ToFormat(int32_t format) const;
  // Colours are 0xAARRGGBB words.
  virtual uint32_t PixelAt(int32_t x, int32_t y) const;
  virtual void SetPixelAt(int32_t x, int32_t y, uint32_t colour);

  // Rows are padded to a multiple of `align` bytes (the system passes 4).
  // The memory starts zeroed, so nothing undefined is ever handed out.
  // Raises an error when the size is negative or does not fit 32 bits.
  static Ref<TPixmap> MakePixmap(int32_t width, int32_t height, int32_t format, int32_t align);
  static Ref<TPixmap> WrapPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                                 int32_t format);

  uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;
  int32_t format = 0;
  int32_t capacity = -1;
};

Ref<TPixmap> MakePixmap(int32_t width, int32_t height, int32_t format, int32_t align = 4);
Ref<TPixmap> WrapPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                        int32_t format);

// Bilinear resize on RGBA; the result keeps the input's format.
Ref<TPixmap> ScalePixmap(const Ref<TPixmap>& pixmap, int32_t width, int32_t height);
// Column i of the result is column width - 1 - i of the source.
Ref<TPixmap> MirrorPixmap(const Ref<TPixmap>& pixmap);
// Row i of the result is row height - 1 - i of the source.
Ref<TPixmap> FlipPixmap(const Ref<TPixmap>& pixmap);
// An RGBA copy where the key colour becomes transparent, tinted with the
// average of its visible neighbours so filtering does not bleed the key.
Ref<TPixmap> MaskPixmapColour(const Ref<TPixmap>& pixmap, int32_t red, int32_t green, int32_t blue);

// Plain wrappers of the fields and operations.
uint8_t* PixmapPixels(const Ref<TPixmap>& pixmap);
int32_t PixmapWidth(const Ref<TPixmap>& pixmap);
int32_t PixmapHeight(const Ref<TPixmap>& pixmap);
int32_t PixmapPitch(const Ref<TPixmap>& pixmap);
int32_t PixmapFormat(const Ref<TPixmap>& pixmap);
int32_t PixmapCapacity(const Ref<TPixmap>& pixmap);
uint8_t* PixmapPixelPtr(const Ref<TPixmap>& pixmap, int32_t x, int32_t y);
Ref<TPixmap> PixmapSubRegion(const Ref<TPixmap>& pixmap, int32_t x, int32_t y, int32_t width,
                             int32_t height);
Ref<TPixmap> CopyPixmap(const Ref<TPixmap>& pixmap);
void PastePixmap(const Ref<TPixmap>& dest, const Ref<TPixmap>& source, int32_t x, int32_t y);
Ref<TPixmap> ConvertPixmap(const Ref<TPixmap>& pixmap, int32_t format);
uint32_t ReadPixel(const Ref<TPixmap>& pixmap, int32_t x, int32_t y);
void WritePixel(const Ref<TPixmap>& pixmap, int32_t x, int32_t y, uint32_t colour);

// Run-once module initialiser.
void InitPixmapModule();

}  // namespace kelpora
