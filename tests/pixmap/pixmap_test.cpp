#include "pixmap/pixmap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/errors.h"

namespace kelpora {
namespace {

TEST(PixmapMake, PitchAndCapacityFollowAlignment) {
  Ref<TPixmap> rgb = MakePixmap(3, 2, PIXFMT_RGB24, 4);
  EXPECT_EQ(rgb->pitch, 12);
  EXPECT_EQ(rgb->capacity, 24);
  EXPECT_EQ(rgb->width, 3);
  EXPECT_EQ(rgb->height, 2);
  EXPECT_EQ(rgb->format, PIXFMT_RGB24);
  EXPECT_EQ(MakePixmap(3, 2, PIXFMT_GREY8, 4)->pitch, 4);
  EXPECT_EQ(MakePixmap(5, 1, PIXFMT_RGBA32, 4)->pitch, 20);
  EXPECT_EQ(MakePixmap(5, 1, PIXFMT_GREY8, 1)->pitch, 5);
}

TEST(PixmapMake, MemoryStartsZeroed) {
  Ref<TPixmap> p = MakePixmap(37, 11, PIXFMT_RGBA32, 4);
  std::vector<uint8_t> zeros(size_t(p->capacity), 0);
  EXPECT_EQ(std::memcmp(p->pixels, zeros.data(), zeros.size()), 0);
}

TEST(PixmapMake, SizesBeyond32BitsOrNegativeRaise) {
  EXPECT_THROW(MakePixmap(-1, 4, PIXFMT_RGB24, 4), TRuntimeError);
  EXPECT_THROW(MakePixmap(65536, 65536, PIXFMT_RGBA32, 4), TRuntimeError);
  EXPECT_THROW(MakePixmap(0x7FFFFFFF, 1, PIXFMT_RGB24, 4), TRuntimeError);
}

TEST(PixmapConvertRow, ExpandsEveryFormatToRgba) {
  const uint8_t grey[] = {0x40};
  const uint8_t alpha[] = {0x33};
  const uint8_t bgr[] = {1, 2, 3};
  const uint8_t bgra[] = {1, 2, 3, 4};
  uint8_t out[4];
  ConvertRow(grey, PIXFMT_GREY8, out, PIXFMT_RGBA32, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x40, 0x40, 0x40, 255}));
  ConvertRow(alpha, PIXFMT_ALPHA8, out, PIXFMT_RGBA32, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{255, 255, 255, 0x33}));
  ConvertRow(bgr, PIXFMT_BGR24, out, PIXFMT_RGBA32, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{3, 2, 1, 255}));
  ConvertRow(bgr, PIXFMT_RGB24, out, PIXFMT_RGBA32, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 255}));
  ConvertRow(bgra, PIXFMT_BGRA32, out, PIXFMT_RGBA32, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{3, 2, 1, 4}));
}

TEST(PixmapConvertRow, BgrToGreyGoesThroughRgba) {
  const uint8_t bgr[] = {30, 20, 10, 255, 255, 254};
  uint8_t grey[2] = {0, 0};
  ConvertRow(bgr, PIXFMT_BGR24, grey, PIXFMT_GREY8, 2);
  EXPECT_EQ(grey[0], 20);
  EXPECT_EQ(grey[1], 254);  // (254 + 255 + 255) / 3, truncated
}

TEST(PixmapConvertRow, LongRowsBetweenNonHubFormats) {
  // Longer than any internal staging buffer, so chunk seams are crossed.
  const int n = 2000;
  std::vector<uint8_t> bgra(size_t(n) * 4), rgb(size_t(n) * 3, 0xEE);
  for (int i = 0; i < n; ++i) {
    bgra[size_t(i) * 4 + 0] = uint8_t(i);
    bgra[size_t(i) * 4 + 1] = uint8_t(i >> 3);
    bgra[size_t(i) * 4 + 2] = uint8_t(i * 7);
    bgra[size_t(i) * 4 + 3] = 9;
  }
  ConvertRow(bgra.data(), PIXFMT_BGRA32, rgb.data(), PIXFMT_RGB24, n);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(rgb[size_t(i) * 3 + 0], uint8_t(i * 7)) << i;
    ASSERT_EQ(rgb[size_t(i) * 3 + 1], uint8_t(i >> 3)) << i;
    ASSERT_EQ(rgb[size_t(i) * 3 + 2], uint8_t(i)) << i;
  }
}

TEST(PixmapConvertRow, RgbToRgbaStopsAtTheRowEnd) {
  // The last pixel must not read past the source row (the sanitizer build
  // checks the exact-size heap buffer).
  for (int n : {1, 2, 3, 17}) {
    std::vector<uint8_t> rgb(size_t(n) * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i + 1);
    std::vector<uint8_t> rgba(size_t(n) * 4, 0);
    ConvertRow(rgb.data(), PIXFMT_RGB24, rgba.data(), PIXFMT_RGBA32, n);
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(rgba[size_t(i) * 4 + 0], uint8_t(i * 3 + 1));
      ASSERT_EQ(rgba[size_t(i) * 4 + 2], uint8_t(i * 3 + 3));
      ASSERT_EQ(rgba[size_t(i) * 4 + 3], 255);
    }
  }
}

TEST(PixmapConvertRow, UnknownFormatConvertsNothing) {
  const uint8_t src[4] = {1, 2, 3, 4};
  uint8_t dst[4] = {9, 9, 9, 9};
  ConvertRow(src, 0, dst, PIXFMT_RGBA32, 1);
  ConvertRow(src, PIXFMT_RGBA32, dst, 7, 1);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), (std::vector<uint8_t>{9, 9, 9, 9}));
}

TEST(PixmapPixels, GreyPackingAndColourWords) {
  Ref<TPixmap> grey = MakePixmap(2, 2, PIXFMT_GREY8, 4);
  *grey->PixelPtr(1, 1) = 0x40;
  EXPECT_EQ(grey->PixelAt(1, 1), 0xFF404040u);
  grey->SetPixelAt(0, 1, 0x80102030u);
  EXPECT_EQ(*grey->PixelPtr(0, 1), 0x20);

  Ref<TPixmap> alpha = MakePixmap(1, 1, PIXFMT_ALPHA8, 4);
  alpha->SetPixelAt(0, 0, 0x7F123456u);
  EXPECT_EQ(alpha->PixelAt(0, 0), 0x7FFFFFFFu);

  for (int32_t format : {PIXFMT_BGR24, PIXFMT_RGB24}) {
    Ref<TPixmap> p = MakePixmap(3, 1, format, 4);
    p->SetPixelAt(2, 0, 0x11223344u);
    EXPECT_EQ(p->PixelAt(2, 0), 0xFF223344u) << format;
  }
  for (int32_t format : {PIXFMT_BGRA32, PIXFMT_RGBA32}) {
    Ref<TPixmap> p = MakePixmap(3, 1, format, 4);
    p->SetPixelAt(1, 0, 0x11223344u);
    EXPECT_EQ(p->PixelAt(1, 0), 0x11223344u) << format;
  }
  // BGRA32 is the colour word in little-endian memory order.
  Ref<TPixmap> bgra = MakePixmap(1, 1, PIXFMT_BGRA32, 4);
  bgra->SetPixelAt(0, 0, 0xAABBCCDDu);
  uint32_t word;
  std::memcpy(&word, bgra->pixels, 4);
  EXPECT_EQ(word, 0xAABBCCDDu);
  Ref<TPixmap> rgba = MakePixmap(1, 1, PIXFMT_RGBA32, 4);
  rgba->SetPixelAt(0, 0, 0xAABBCCDDu);
  EXPECT_EQ(std::vector<uint8_t>(rgba->pixels, rgba->pixels + 4),
            (std::vector<uint8_t>{0xBB, 0xCC, 0xDD, 0xAA}));

  uint8_t raw[4] = {1, 2, 3, 4};
  Ref<TPixmap> bogus = WrapPixels(raw, 1, 1, 4, 9);
  EXPECT_EQ(bogus->PixelAt(0, 0), 0u);
  bogus->SetPixelAt(0, 0, 0xFFFFFFFFu);
  EXPECT_EQ(raw[0], 1);
}

TEST(PixmapRegions, SubRegionSharesMemoryAndOwnsNothing) {
  Ref<TPixmap> parent = MakePixmap(8, 6, PIXFMT_RGB24, 4);
  Ref<TPixmap> sub = parent->SubRegion(3, 2, 4, 3);
  EXPECT_EQ(sub->PixelPtr(0, 0), parent->PixelPtr(3, 2));
  EXPECT_EQ(sub->PixelPtr(1, 2), parent->PixelPtr(4, 4));
  EXPECT_EQ(sub->pitch, parent->pitch);
  EXPECT_EQ(sub->capacity, -1);
  EXPECT_EQ(sub->width, 4);
  EXPECT_EQ(sub->height, 3);
  sub->SetPixelAt(0, 0, 0xFF0A0B0Cu);
  EXPECT_EQ(parent->PixelAt(3, 2), 0xFF0A0B0Cu);
  sub = nullptr;  // must not free the parent's memory (the sanitizer build checks)
  EXPECT_EQ(parent->PixelAt(3, 2), 0xFF0A0B0Cu);
}

TEST(PixmapRegions, DuplicateCopiesRowsIntoItsOwnAlignedMemory) {
  // A wrapped source with a wide pitch: the copy must use its own pitch.
  std::vector<uint8_t> memory(3 * 16, 0x5A);
  Ref<TPixmap> src = WrapPixels(memory.data(), 3, 3, 16, PIXFMT_RGB24);
  src->SetPixelAt(2, 2, 0xFF010203u);
  Ref<TPixmap> copy = src->Duplicate();
  EXPECT_EQ(copy->pitch, 12);
  EXPECT_EQ(copy->capacity, 36);
  EXPECT_NE(copy->pixels, src->pixels);
  EXPECT_EQ(copy->PixelAt(2, 2), 0xFF010203u);
  EXPECT_EQ(copy->PixelAt(0, 0), 0xFF5A5A5Au);
}

TEST(PixmapRegions, PasteConvertsAtOffset) {
  Ref<TPixmap> dest = MakePixmap(4, 4, PIXFMT_RGBA32, 4);
  Ref<TPixmap> src = MakePixmap(2, 2, PIXFMT_GREY8, 4);
  src->SetPixelAt(0, 0, 0xFF101010u);
  src->SetPixelAt(1, 1, 0xFF202020u);
  dest->PasteFrom(src, 1, 2);
  EXPECT_EQ(dest->PixelAt(1, 2), 0xFF101010u);
  EXPECT_EQ(dest->PixelAt(2, 3), 0xFF202020u);
  EXPECT_EQ(dest->PixelAt(2, 2), 0xFF000000u);  // grey 0 is opaque black
  EXPECT_EQ(dest->PixelAt(0, 2), 0u);           // outside the paste: untouched
  EXPECT_EQ(dest->PixelAt(1, 1), 0u);
}

TEST(PixmapRegions, ToFormatAlwaysMakesANewPixmap) {
  Ref<TPixmap> src = MakePixmap(3, 1, PIXFMT_RGBA32, 4);
  src->SetPixelAt(0, 0, 0x80FF0000u);
  Ref<TPixmap> same = src->ToFormat(PIXFMT_RGBA32);
  EXPECT_NE(same.get(), src.get());
  EXPECT_NE(same->pixels, src->pixels);
  EXPECT_EQ(same->PixelAt(0, 0), 0x80FF0000u);
  Ref<TPixmap> bgr = src->ToFormat(PIXFMT_BGR24);
  EXPECT_EQ(bgr->format, PIXFMT_BGR24);
  EXPECT_EQ(bgr->pitch, 12);
  EXPECT_EQ(bgr->PixelAt(0, 0), 0xFFFF0000u);
}

TEST(PixmapScale, TwoByOneToFourByOne) {
  Ref<TPixmap> src = MakePixmap(2, 1, PIXFMT_RGBA32, 4);
  src->SetPixelAt(0, 0, 0xFF000000u);
  src->SetPixelAt(1, 0, 0xFFFFFFFFu);
  Ref<TPixmap> wide = ScalePixmap(src, 4, 1);
  ASSERT_EQ(wide->width, 4);
  const uint8_t expected[] = {0, 63, 191, 255};
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(wide->PixelPtr(x, 0)[0], expected[x]) << x;
    EXPECT_EQ(wide->PixelPtr(x, 0)[3], 255) << x;
  }
}

TEST(PixmapScale, VerticalWeightsAndKeptFormat) {
  Ref<TPixmap> src = MakePixmap(1, 2, PIXFMT_RGB24, 4);
  src->SetPixelAt(0, 0, 0xFF000000u);
  src->SetPixelAt(0, 1, 0xFF00C800u);  // green 200
  Ref<TPixmap> tall = ScalePixmap(src, 1, 4);
  EXPECT_EQ(tall->format, PIXFMT_RGB24);
  const uint8_t expected[] = {0, 50, 150, 200};
  for (int y = 0; y < 4; ++y) EXPECT_EQ(tall->PixelPtr(0, y)[1], expected[y]) << y;
  EXPECT_EQ(src->PixelAt(0, 1), 0xFF00C800u);  // input untouched

  Ref<TPixmap> half = ScalePixmap(MakePixmap(4, 4, PIXFMT_GREY8, 4), 2, 2);
  EXPECT_EQ(half->format, PIXFMT_GREY8);
  EXPECT_EQ(half->pitch, 4);
}

TEST(PixmapScale, DownscaleAveragesNeighbours) {
  // 4x1 (0, 100, 200, 40) to 2x1: samples at 0.5 and 2.5.
  Ref<TPixmap> src = MakePixmap(4, 1, PIXFMT_RGBA32, 4);
  const uint8_t reds[] = {0, 100, 200, 40};
  for (int x = 0; x < 4; ++x) src->SetPixelAt(x, 0, 0xFF000000u | uint32_t(reds[x]) << 16);
  Ref<TPixmap> half = ScalePixmap(src, 2, 1);
  EXPECT_EQ(half->PixelPtr(0, 0)[0], 50);
  EXPECT_EQ(half->PixelPtr(1, 0)[0], 120);
}

// The resize spelled out one pixel at a time, exactly as documented; the
// library's row-cached, vectorised version must agree with it bit for bit.
Ref<TPixmap> ScaleOnePixelAtATime(const Ref<TPixmap>& rgba, int32_t W, int32_t H) {
  Ref<TPixmap> out = MakePixmap(W, H, PIXFMT_RGBA32, 4);
  const int32_t w = rgba->width, h = rgba->height;
  auto tap = [](int32_t i, float ratio, int32_t size, int32_t* a, int32_t* b, float* f) {
    const float pos = (float(i) + 0.5f) * ratio - 0.5f;
    const float base = std::floor(pos);
    if (base < 0) {
      *a = *b = 0, *f = 0;
    } else if (base >= float(size - 1)) {
      *a = *b = size - 1, *f = 0;
    } else {
      *a = int32_t(base), *b = *a + 1, *f = pos - base;
    }
  };
  for (int32_t i = 0; i < H; ++i) {
    int32_t y0, y1;
    float fy;
    tap(i, float(h) / float(H), h, &y0, &y1, &fy);
    for (int32_t j = 0; j < W; ++j) {
      int32_t x0, x1;
      float fx;
      tap(j, float(w) / float(W), w, &x0, &x1, &fx);
      for (int c = 0; c < 4; ++c) {
        const int p00 = rgba->PixelPtr(x0, y0)[c], p10 = rgba->PixelPtr(x1, y0)[c];
        const int p01 = rgba->PixelPtr(x0, y1)[c], p11 = rgba->PixelPtr(x1, y1)[c];
        const float top = float(p00) + float(p10 - p00) * fx;
        const float bottom = float(p01) + float(p11 - p01) * fx;
        out->PixelPtr(j, i)[c] = uint8_t(int32_t(top + (bottom - top) * fy));
      }
    }
  }
  return out;
}

Ref<TPixmap> Noise(int32_t width, int32_t height) {
  Ref<TPixmap> src = MakePixmap(width, height, PIXFMT_RGBA32, 4);
  uint32_t seed = 99;
  for (int32_t y = 0; y < src->height; ++y)
    for (int32_t x = 0; x < src->width * 4; ++x) {
      seed = seed * 1103515245u + 12345u;
      src->PixelPtr(0, y)[x] = uint8_t(seed >> 24);
    }
  return src;
}

TEST(PixmapScale, AgreesWithThePixelByPixelDefinition) {
  Ref<TPixmap> src = Noise(67, 45);
  const int32_t sizes[][2] = {{33, 22}, {78, 52}, {134, 90}, {67, 45}, {1, 1}, {200, 7}, {5, 301}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
    Ref<TPixmap> ours = ScalePixmap(src, size[0], size[1]);
    Ref<TPixmap> expected = ScaleOnePixelAtATime(src, size[0], size[1]);
    for (int32_t y = 0; y < size[1]; ++y) {
      ASSERT_EQ(std::memcmp(ours->PixelPtr(0, y), expected->PixelPtr(0, y), size_t(size[0]) * 4), 0)
          << "row " << y;
    }
  }
  // Through another format the same values arrive, packed.
  Ref<TPixmap> bgr = ScalePixmap(src->ToFormat(PIXFMT_BGR24), 78, 52);
  Ref<TPixmap> expected =
      ScaleOnePixelAtATime(src->ToFormat(PIXFMT_BGR24)->ToFormat(PIXFMT_RGBA32), 78, 52);
  EXPECT_EQ(bgr->PixelAt(40, 30) & 0xFFFFFF, expected->PixelAt(40, 30) & 0xFFFFFF);
}

// Exact halves take a shortcut of their own: whole blocks of four and a tail.
TEST(PixmapScale, ExactHalvesAgreeWithTheDefinition) {
  for (const int32_t width : {1, 4, 7, 23}) {
    Ref<TPixmap> src = Noise(width * 2, 18);
    src->PixelPtr(0, 0)[0] = src->PixelPtr(1, 0)[0] = 255;  // the largest sum, 1020
    src->PixelPtr(0, 1)[0] = src->PixelPtr(1, 1)[0] = 255;
    Ref<TPixmap> ours = ScalePixmap(src, width, 9);
    Ref<TPixmap> expected = ScaleOnePixelAtATime(src, width, 9);
    for (int32_t y = 0; y < 9; ++y) {
      ASSERT_EQ(std::memcmp(ours->PixelPtr(0, y), expected->PixelPtr(0, y), size_t(width) * 4), 0)
          << width << " wide, row " << y;
    }
  }
  Ref<TPixmap> grey = ScalePixmap(Noise(10, 10)->ToFormat(PIXFMT_GREY8), 5, 5);
  EXPECT_EQ(grey->format, PIXFMT_GREY8);
  Ref<TPixmap> expected =
      ScaleOnePixelAtATime(Noise(10, 10)->ToFormat(PIXFMT_GREY8)->ToFormat(PIXFMT_RGBA32), 5, 5);
  EXPECT_EQ(grey->PixelPtr(3, 2)[0], expected->ToFormat(PIXFMT_GREY8)->PixelPtr(3, 2)[0]);
}

TEST(PixmapMirrorFlip, MirrorReversesColumnsAndFlipTwiceRestores) {
  Ref<TPixmap> src = MakePixmap(3, 4, PIXFMT_BGR24, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 3; ++x) src->SetPixelAt(x, y, 0xFF000000u | uint32_t(y * 16 + x));

  Ref<TPixmap> mirrored = MirrorPixmap(src);
  EXPECT_EQ(mirrored->format, PIXFMT_BGR24);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(mirrored->PixelAt(x, y), src->PixelAt(2 - x, y));

  Ref<TPixmap> flipped = FlipPixmap(src);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(flipped->PixelAt(1, y), src->PixelAt(1, 3 - y));
  Ref<TPixmap> back = FlipPixmap(flipped);
  ASSERT_EQ(back->pitch, src->pitch);
  for (int y = 0; y < 4; ++y)
    EXPECT_EQ(std::memcmp(back->PixelPtr(0, y), src->PixelPtr(0, y), 9), 0) << y;
}

TEST(PixmapMask, KeyTakesAverageOfVisibleNeighbours) {
  Ref<TPixmap> src = MakePixmap(3, 3, PIXFMT_RGB24, 4);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) src->SetPixelAt(x, y, 0xFFFFFFFFu);
  src->SetPixelAt(1, 1, 0xFF000000u);
  Ref<TPixmap> masked = MaskPixmapColour(src, 0, 0, 0);
  EXPECT_EQ(masked->format, PIXFMT_RGBA32);
  EXPECT_EQ(masked->PixelAt(1, 1), 0x00FFFFFFu);
  EXPECT_EQ(masked->PixelAt(0, 0), 0xFFFFFFFFu);

  Ref<TPixmap> lone = MakePixmap(1, 1, PIXFMT_RGB24, 4);
  EXPECT_EQ(MaskPixmapColour(lone, 0, 0, 0)->PixelAt(0, 0), 0u);
}

TEST(PixmapMask, CornerAveragesOnlyInsideAndDropsSourceAlpha) {
  // Corner key pixel: neighbours (1,0)=red 90, (0,1)=red 31, (1,1) key.
  Ref<TPixmap> src = MakePixmap(2, 2, PIXFMT_RGBA32, 4);
  src->SetPixelAt(0, 0, 0x10000000u | 0x0000FF);  // key (0,0,255) with alpha 0x10
  src->SetPixelAt(1, 0, 0x205A0000u);
  src->SetPixelAt(0, 1, 0x301F0000u);
  src->SetPixelAt(1, 1, 0x400000FFu);
  Ref<TPixmap> masked = MaskPixmapColour(src, 0, 0, 255);
  EXPECT_EQ(masked->PixelAt(0, 0), 0x003C0000u);  // (90 + 31) / 2 = 60
  EXPECT_EQ(masked->PixelAt(1, 0), 0xFF5A0000u);  // alpha forced opaque
  EXPECT_EQ(masked->PixelAt(1, 1), 0x003C0000u);
}

}  // namespace
}  // namespace kelpora
