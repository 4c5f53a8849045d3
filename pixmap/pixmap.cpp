#include "pixmap/pixmap.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define KELPORA_X86 1
#endif

#include "runtime/errors.h"

namespace kelpora {

// Colour words and several row loops rely on the little-endian byte order.
static_assert(std::endian::native == std::endian::little);

const int32_t formatBytesPerPixel[PIXFMT_COUNT] = {0, 1, 1, 3, 3, 4, 4};
const int32_t formatBitsPerPixel[PIXFMT_COUNT] = {0, 8, 8, 24, 24, 32, 32};
const int32_t formatRedBits[PIXFMT_COUNT] = {0, 0, 0, 8, 8, 8, 8};
const int32_t formatGreenBits[PIXFMT_COUNT] = {0, 0, 0, 8, 8, 8, 8};
const int32_t formatBlueBits[PIXFMT_COUNT] = {0, 0, 0, 8, 8, 8, 8};
const int32_t formatAlphaBits[PIXFMT_COUNT] = {0, 0, 8, 0, 0, 8, 8};

namespace {

bool ValidFormat(int32_t format) { return format >= PIXFMT_GREY8 && format <= PIXFMT_RGBA32; }

#if KELPORA_X86
// Checked once: the hot loops below have variants for newer x86 processors.
const bool cpuHasSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
const bool cpuHasSse41 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.1") != 0;
}();

// RGB24 to RGBA32, 16 pixels (48 bytes in, 64 out) a step; returns the
// pixels done. Never reads past the 48 bytes of each step.
__attribute__((target("ssse3"))) int32_t ExpandRgbSsse3(const uint8_t* src, uint8_t* dst,
                                                        int32_t count) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i opaque = _mm_set1_epi32(int32_t(0xFF000000u));
  int32_t i = 0;
  for (; i + 16 <= count; i += 16, src += 48, dst += 64) {
    const __m128i in0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i in1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    const __m128i in2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    const __m128i out0 = _mm_shuffle_epi8(in0, spread);
    const __m128i out1 = _mm_shuffle_epi8(_mm_alignr_epi8(in1, in0, 12), spread);
    const __m128i out2 = _mm_shuffle_epi8(_mm_alignr_epi8(in2, in1, 8), spread);
    const __m128i out3 = _mm_shuffle_epi8(_mm_srli_si128(in2, 4), spread);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(out0, opaque));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_or_si128(out1, opaque));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), _mm_or_si128(out2, opaque));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), _mm_or_si128(out3, opaque));
  }
  return i;
}
#endif

// BGRA to RGBA and back: the same byte swap either way.
void SwapRedBlue32(const uint8_t* src, uint8_t* dst, int32_t count) {
  for (int32_t i = 0; i < count; ++i, src += 4, dst += 4) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
    dst[3] = src[3];
  }
}

void ExpandToRgba(const uint8_t* src, int32_t format, uint8_t* dst, int32_t count) {
  switch (format) {
    case PIXFMT_GREY8:
      for (int32_t i = 0; i < count; ++i, dst += 4) {
        dst[0] = dst[1] = dst[2] = src[i];
        dst[3] = 255;
      }
      break;
    case PIXFMT_ALPHA8:
      for (int32_t i = 0; i < count; ++i, dst += 4) {
        dst[0] = dst[1] = dst[2] = 255;
        dst[3] = src[i];
      }
      break;
    case PIXFMT_BGR24:
      for (int32_t i = 0; i < count; ++i, src += 3, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = 255;
      }
      break;
    case PIXFMT_RGB24: {
      // Four bytes at a time, the fourth replaced by opaque alpha; the last
      // pixel is done bytewise so nothing past the row is read.
      int32_t i = 0;
#if KELPORA_X86
      if (cpuHasSsse3) {
        i = ExpandRgbSsse3(src, dst, count);
        src += ptrdiff_t(i) * 3;
        dst += ptrdiff_t(i) * 4;
      }
#endif
      for (; i + 1 < count; ++i, src += 3, dst += 4) {
        uint32_t v;
        std::memcpy(&v, src, 4);
        v |= 0xFF000000u;
        std::memcpy(dst, &v, 4);
      }
      for (; i < count; ++i, src += 3, dst += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 255;
      }
      break;
    }
    case PIXFMT_BGRA32:
      SwapRedBlue32(src, dst, count);
      break;
    case PIXFMT_RGBA32:
      std::memcpy(dst, src, size_t(count) * 4);
      break;
  }
}

void PackFromRgba(const uint8_t* src, uint8_t* dst, int32_t format, int32_t count) {
  switch (format) {
    case PIXFMT_GREY8:
      for (int32_t i = 0; i < count; ++i, src += 4)
        dst[i] = uint8_t((src[0] + src[1] + src[2]) / 3);
      break;
    case PIXFMT_ALPHA8:
      for (int32_t i = 0; i < count; ++i, src += 4) dst[i] = src[3];
      break;
    case PIXFMT_BGR24:
      for (int32_t i = 0; i < count; ++i, src += 4, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      break;
    case PIXFMT_RGB24:
      for (int32_t i = 0; i < count; ++i, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
      }
      break;
    case PIXFMT_BGRA32:
      SwapRedBlue32(src, dst, count);
      break;
    case PIXFMT_RGBA32:
      std::memcpy(dst, src, size_t(count) * 4);
      break;
  }
}

Ref<TPixmap> AsRgba(const Ref<TPixmap>& pixmap) {
  return pixmap->format == PIXFMT_RGBA32 ? pixmap : pixmap->ToFormat(PIXFMT_RGBA32);
}

// One axis of the bilinear resize: the first source index, whether a second
// one follows, and the weight of that second one.
struct Tap {
  int32_t index;
  int32_t next;
  float weight;
};

Tap MakeTap(int32_t i, float ratio, int32_t size) {
  float pos = (float(i) + 0.5f) * ratio - 0.5f;
  float base = std::floor(pos);
  if (base < 0) return {0, 0, 0.0f};
  if (base >= float(size - 1)) return {size - 1, size - 1, 0.0f};
  int32_t index = int32_t(base);
  return {index, index + 1, pos - base};
}

}  // namespace

int32_t BytesPerPixel(int32_t format) {
  return ValidFormat(format) ? formatBytesPerPixel[format] : 0;
}

bool FormatHasAlpha(int32_t format) { return ValidFormat(format) && formatAlphaBits[format] != 0; }

void ConvertRow(const uint8_t* src, int32_t srcFormat, uint8_t* dst, int32_t dstFormat,
                int32_t count) {
  if (!ValidFormat(srcFormat) || !ValidFormat(dstFormat) || count <= 0) return;
  if (srcFormat == dstFormat) {
    std::memcpy(dst, src, size_t(count) * size_t(formatBytesPerPixel[srcFormat]));
  } else if (dstFormat == PIXFMT_RGBA32) {
    ExpandToRgba(src, srcFormat, dst, count);
  } else if (srcFormat == PIXFMT_RGBA32) {
    PackFromRgba(src, dst, dstFormat, count);
  } else {
    // Through a small stack row, so no conversion ever allocates.
    constexpr int32_t CHUNK = 512;
    alignas(16) uint8_t rgba[CHUNK * 4];
    const int32_t srcBytes = formatBytesPerPixel[srcFormat];
    const int32_t dstBytes = formatBytesPerPixel[dstFormat];
    for (int32_t done = 0; done < count; done += CHUNK) {
      int32_t n = count - done < CHUNK ? count - done : CHUNK;
      ExpandToRgba(src + size_t(done) * srcBytes, srcFormat, rgba, n);
      PackFromRgba(rgba, dst + size_t(done) * dstBytes, dstFormat, n);
    }
  }
}

TPixmap::~TPixmap() {
  if (capacity >= 0) std::free(pixels);
}

uint8_t* TPixmap::PixelPtr(int32_t x, int32_t y) const {
  return pixels + ptrdiff_t(y) * pitch + ptrdiff_t(x) * BytesPerPixel(format);
}

Ref<TPixmap> TPixmap::SubRegion(int32_t x, int32_t y, int32_t w, int32_t h) const {
  return WrapPixels(PixelPtr(x, y), w, h, pitch, format);
}

Ref<TPixmap> TPixmap::Duplicate() const {
  Ref<TPixmap> copy = MakePixmap(width, height, format, 4);
  const size_t rowBytes = size_t(width) * size_t(BytesPerPixel(format));
  for (int32_t y = 0; y < height; ++y) std::memcpy(copy->PixelPtr(0, y), PixelPtr(0, y), rowBytes);
  return copy;
}

void TPixmap::PasteFrom(const Ref<TPixmap>& source, int32_t x, int32_t y) {
  const TPixmap& src = *source;
  for (int32_t row = 0; row < src.height; ++row) {
    ConvertRow(src.PixelPtr(0, row), src.format, PixelPtr(x, y + row), format, src.width);
  }
}

Ref<TPixmap> TPixmap::ToFormat(int32_t newFormat) const {
  Ref<TPixmap> result = MakePixmap(width, height, newFormat, 4);
  for (int32_t y = 0; y < height; ++y) {
    ConvertRow(PixelPtr(0, y), format, result->PixelPtr(0, y), newFormat, width);
  }
  return result;
}

uint32_t TPixmap::PixelAt(int32_t x, int32_t y) const {
  const uint8_t* p = PixelPtr(x, y);
  switch (format) {
    case PIXFMT_GREY8:
      return 0xFF000000u | uint32_t(p[0]) * 0x010101u;
    case PIXFMT_ALPHA8:
      return uint32_t(p[0]) << 24 | 0xFFFFFFu;
    case PIXFMT_BGR24:
      return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    case PIXFMT_RGB24:
      return 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    case PIXFMT_BGRA32:
      return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    case PIXFMT_RGBA32:
      return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
  return 0;
}

void TPixmap::SetPixelAt(int32_t x, int32_t y, uint32_t colour) {
  if (!ValidFormat(format)) return;
  const uint8_t rgba[4] = {uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour),
                           uint8_t(colour >> 24)};
  PackFromRgba(rgba, PixelPtr(x, y), format, 1);
}

Ref<TPixmap> TPixmap::MakePixmap(int32_t width, int32_t height, int32_t format, int32_t align) {
  if (width < 0 || height < 0 || align <= 0) RaiseError(u"Invalid pixmap size");
  const int64_t rowBytes = int64_t(width) * BytesPerPixel(format);
  const int64_t pitch = (rowBytes + align - 1) / align * align;
  const int64_t bytes = pitch * height;
  if (pitch > INT32_MAX || bytes > INT32_MAX) RaiseError(u"Invalid pixmap size");
  // Zeroed: callers may upload or read areas they never wrote.
  uint8_t* memory = static_cast<uint8_t*>(std::calloc(size_t(bytes ? bytes : 1), 1));
  if (!memory) RaiseError(u"Out of memory");
  Ref<TPixmap> pixmap = MakeRef<TPixmap>();
  pixmap->pixels = memory;
  pixmap->width = width;
  pixmap->height = height;
  pixmap->pitch = int32_t(pitch);
  pixmap->format = format;
  pixmap->capacity = int32_t(bytes);
  return pixmap;
}

Ref<TPixmap> TPixmap::WrapPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                                 int32_t format) {
  Ref<TPixmap> pixmap = MakeRef<TPixmap>();
  pixmap->pixels = pixels;
  pixmap->width = width;
  pixmap->height = height;
  pixmap->pitch = pitch;
  pixmap->format = format;
  pixmap->capacity = -1;
  return pixmap;
}

Ref<TPixmap> MakePixmap(int32_t width, int32_t height, int32_t format, int32_t align) {
  return TPixmap::MakePixmap(width, height, format, align);
}

Ref<TPixmap> WrapPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                        int32_t format) {
  return TPixmap::WrapPixels(pixels, width, height, pitch, format);
}

namespace {

#if KELPORA_X86
// BlendRow with one 8-byte load per column: the pixel and its right
// neighbour, widened with pmovzxbd. The last column loads 4 bytes only.
__attribute__((target("sse4.1"))) void BlendRowSse41(const uint8_t* src,
                                                     const std::vector<Tap>& columns,
                                                     int32_t srcWidth, float* out) {
  for (const Tap& tx : columns) {
    const uint8_t* p0 = src + ptrdiff_t(tx.index) * 4;
    __m128 a, b;
    if (tx.index + 1 < srcWidth) {
      // With a weight of 0 (clamped edges) the neighbour's value drops out.
      const __m128i pair = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0));
      a = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(pair));
      b = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_srli_si128(pair, 4)));
    } else {
      uint32_t word;
      std::memcpy(&word, p0, 4);
      a = b = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int32_t(word))));
    }
    _mm_storeu_ps(out, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), _mm_set1_ps(tx.weight))));
    out += 4;
  }
}
#endif

// Horizontal pass of the bilinear resize for one source row: per result
// column and channel, p0 + (p1 - p0) * fx, kept in float for the vertical pass.
void BlendRow(const uint8_t* src, const std::vector<Tap>& columns, int32_t srcWidth, float* out) {
#if KELPORA_X86
  if (cpuHasSse41) return BlendRowSse41(src, columns, srcWidth, out);
#endif
  for (const Tap& tx : columns) {
    const uint8_t* p0 = src + ptrdiff_t(tx.index) * 4;
    const uint8_t* p1 = src + ptrdiff_t(tx.next) * 4;
    for (int c = 0; c < 4; ++c) out[c] = float(p0[c]) + float(p1[c] - p0[c]) * tx.weight;
    out += 4;
  }
}

// Vertical pass: top + (bottom - top) * fy, truncated toward zero.
void BlendColumns(const float* top, const float* bottom, float fy, uint8_t* out, int32_t count) {
  int32_t k = 0;
#if KELPORA_X86
  const __m128 weight = _mm_set1_ps(fy);
  for (; k + 16 <= count; k += 16) {
    __m128i v[4];
    for (int q = 0; q < 4; ++q) {
      const __m128 t = _mm_loadu_ps(top + k + q * 4);
      const __m128 b = _mm_loadu_ps(bottom + k + q * 4);
      v[q] = _mm_cvttps_epi32(_mm_add_ps(t, _mm_mul_ps(_mm_sub_ps(b, t), weight)));
    }
    const __m128i packed =
        _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), packed);
  }
#endif
  for (; k < count; ++k) out[k] = uint8_t(int32_t(top[k] + (bottom[k] - top[k]) * fy));
}

// Exact halving (source twice the result in both directions): every result
// pixel lies midway between four source pixels, all weights are 0.5, and the
// bilinear value top + (bottom - top) / 2 is exactly their sum over 4,
// truncated.
void HalveRow(const uint8_t* top, const uint8_t* bottom, uint8_t* out, int32_t width) {
  int32_t j = 0;
#if KELPORA_X86
  const __m128i zero = _mm_setzero_si128();
  for (; j + 4 <= width; j += 4) {
    const uint8_t* t = top + ptrdiff_t(j) * 8;
    const uint8_t* b = bottom + ptrdiff_t(j) * 8;
    __m128i sums[4];  // 16-bit vertical sums, two source pixels each
    for (int half = 0; half < 2; ++half) {
      const __m128i t8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + half * 16));
      const __m128i b8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + half * 16));
      sums[half * 2] = _mm_add_epi16(_mm_unpacklo_epi8(t8, zero), _mm_unpacklo_epi8(b8, zero));
      sums[half * 2 + 1] = _mm_add_epi16(_mm_unpackhi_epi8(t8, zero), _mm_unpackhi_epi8(b8, zero));
    }
    // Left pixels of each pair in the low halves, right ones in the high halves.
    const __m128i first = _mm_srli_epi16(
        _mm_add_epi16(_mm_unpacklo_epi64(sums[0], sums[1]), _mm_unpackhi_epi64(sums[0], sums[1])),
        2);
    const __m128i second = _mm_srli_epi16(
        _mm_add_epi16(_mm_unpacklo_epi64(sums[2], sums[3]), _mm_unpackhi_epi64(sums[2], sums[3])),
        2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ptrdiff_t(j) * 4),
                     _mm_packus_epi16(first, second));
  }
#endif
  for (; j < width; ++j) {
    const uint8_t* t = top + ptrdiff_t(j) * 8;
    const uint8_t* b = bottom + ptrdiff_t(j) * 8;
    for (int c = 0; c < 4; ++c)
      out[ptrdiff_t(j) * 4 + c] = uint8_t((t[c] + t[c + 4] + b[c] + b[c + 4]) >> 2);
  }
}

}  // namespace

Ref<TPixmap> ScalePixmap(const Ref<TPixmap>& pixmap, int32_t width, int32_t height) {
  Ref<TPixmap> src = AsRgba(pixmap);
  Ref<TPixmap> result = MakePixmap(width, height, pixmap->format, 4);
  const int32_t w = src->width, h = src->height;
  if (w <= 0 || h <= 0 || width <= 0 || height <= 0) return result;
  const bool direct = result->format == PIXFMT_RGBA32;
  std::vector<uint8_t> row(direct ? 0 : static_cast<size_t>(width) * 4);

  if (int64_t(w) == int64_t(width) * 2 && int64_t(h) == int64_t(height) * 2) {
    for (int32_t i = 0; i < height; ++i) {
      uint8_t* out = direct ? result->PixelPtr(0, i) : row.data();
      HalveRow(src->PixelPtr(0, 2 * i), src->PixelPtr(0, 2 * i + 1), out, width);
      if (!direct)
        ConvertRow(row.data(), PIXFMT_RGBA32, result->PixelPtr(0, i), result->format, width);
    }
    return result;
  }

  const float ratioX = float(w) / float(width);
  const float ratioY = float(h) / float(height);
  std::vector<Tap> columns(static_cast<size_t>(width));
  for (int32_t j = 0; j < width; ++j) columns[size_t(j)] = MakeTap(j, ratioX, w);

  // Each source row is blended horizontally once and kept while the
  // following result rows still need it; consecutive result rows share rows.
  const size_t lanes = static_cast<size_t>(width) * 4;
  std::vector<float> blended[2] = {std::vector<float>(lanes), std::vector<float>(lanes)};
  int32_t blendedRow[2] = {-1, -1};
  auto rowOf = [&](int32_t y, int32_t keep) -> const float* {
    for (int k = 0; k < 2; ++k) {
      if (blendedRow[k] == y) return blended[k].data();
    }
    const int k = blendedRow[0] == keep ? 1 : 0;
    BlendRow(src->PixelPtr(0, y), columns, w, blended[k].data());
    blendedRow[k] = y;
    return blended[k].data();
  };

  for (int32_t i = 0; i < height; ++i) {
    const Tap ty = MakeTap(i, ratioY, h);
    const float* top = rowOf(ty.index, ty.next);
    const float* bottom = rowOf(ty.next, ty.index);
    uint8_t* out = direct ? result->PixelPtr(0, i) : row.data();
    BlendColumns(top, bottom, ty.weight, out, width * 4);
    if (!direct)
      ConvertRow(row.data(), PIXFMT_RGBA32, result->PixelPtr(0, i), result->format, width);
  }
  return result;
}

Ref<TPixmap> MirrorPixmap(const Ref<TPixmap>& pixmap) {
  const TPixmap& src = *pixmap;
  Ref<TPixmap> result = MakePixmap(src.width, src.height, src.format, 4);
  const int32_t bpp = BytesPerPixel(src.format);
  for (int32_t y = 0; y < src.height; ++y) {
    const uint8_t* in = src.PixelPtr(0, y);
    uint8_t* out = result->PixelPtr(0, y);
    for (int32_t x = 0; x < src.width; ++x) {
      std::memcpy(out + ptrdiff_t(x) * bpp, in + ptrdiff_t(src.width - 1 - x) * bpp, size_t(bpp));
    }
  }
  return result;
}

Ref<TPixmap> FlipPixmap(const Ref<TPixmap>& pixmap) {
  const TPixmap& src = *pixmap;
  Ref<TPixmap> result = MakePixmap(src.width, src.height, src.format, 4);
  const size_t rowBytes = size_t(src.width) * size_t(BytesPerPixel(src.format));
  for (int32_t y = 0; y < src.height; ++y) {
    std::memcpy(result->PixelPtr(0, y), src.PixelPtr(0, src.height - 1 - y), rowBytes);
  }
  return result;
}

Ref<TPixmap> MaskPixmapColour(const Ref<TPixmap>& pixmap, int32_t red, int32_t green,
                              int32_t blue) {
  Ref<TPixmap> src = AsRgba(pixmap);
  const int32_t w = src->width, h = src->height;
  Ref<TPixmap> result = MakePixmap(w, h, PIXFMT_RGBA32, 4);
  auto isKey = [&](const uint8_t* p) { return p[0] == red && p[1] == green && p[2] == blue; };
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* in = src->PixelPtr(0, y);
    uint8_t* out = result->PixelPtr(0, y);
    for (int32_t x = 0; x < w; ++x, in += 4, out += 4) {
      if (!isKey(in)) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = 255;
        continue;
      }
      int32_t sum[3] = {0, 0, 0}, visible = 0;
      for (int32_t ny = y - 1; ny <= y + 1; ++ny) {
        if (ny < 0 || ny >= h) continue;
        for (int32_t nx = x - 1; nx <= x + 1; ++nx) {
          if (nx < 0 || nx >= w) continue;
          const uint8_t* n = src->PixelPtr(nx, ny);
          if (isKey(n)) continue;
          sum[0] += n[0];
          sum[1] += n[1];
          sum[2] += n[2];
          ++visible;
        }
      }
      for (int c = 0; c < 3; ++c) out[c] = visible ? uint8_t(sum[c] / visible) : 0;
      out[3] = 0;
    }
  }
  return result;
}

uint8_t* PixmapPixels(const Ref<TPixmap>& pixmap) { return pixmap->pixels; }
int32_t PixmapWidth(const Ref<TPixmap>& pixmap) { return pixmap->width; }
int32_t PixmapHeight(const Ref<TPixmap>& pixmap) { return pixmap->height; }
int32_t PixmapPitch(const Ref<TPixmap>& pixmap) { return pixmap->pitch; }
int32_t PixmapFormat(const Ref<TPixmap>& pixmap) { return pixmap->format; }
int32_t PixmapCapacity(const Ref<TPixmap>& pixmap) { return pixmap->capacity; }
uint8_t* PixmapPixelPtr(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) {
  return pixmap->PixelPtr(x, y);
}
Ref<TPixmap> PixmapSubRegion(const Ref<TPixmap>& pixmap, int32_t x, int32_t y, int32_t width,
                             int32_t height) {
  return pixmap->SubRegion(x, y, width, height);
}
Ref<TPixmap> CopyPixmap(const Ref<TPixmap>& pixmap) { return pixmap->Duplicate(); }
void PastePixmap(const Ref<TPixmap>& dest, const Ref<TPixmap>& source, int32_t x, int32_t y) {
  dest->PasteFrom(source, x, y);
}
Ref<TPixmap> ConvertPixmap(const Ref<TPixmap>& pixmap, int32_t format) {
  return pixmap->ToFormat(format);
}
uint32_t ReadPixel(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) {
  return pixmap->PixelAt(x, y);
}
void WritePixel(const Ref<TPixmap>& pixmap, int32_t x, int32_t y, uint32_t colour) {
  pixmap->SetPixelAt(x, y, colour);
}

void InitPixmapModule() {
  // The format tables are constant data; nothing else to set up. Kept so
  // that every module has the same start-up shape.
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
}

}  // namespace kelpora
