#include <gtest/gtest.h>

// jpeglib.h needs FILE and size_t first.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "runtime/errors.h"
#include "stream/incbin.h"
#include "stream/stream.h"

namespace kelpora {
namespace {

using Bytes = std::vector<uint8_t>;

class LoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitPixmapLoaders(); }
};

// The registered loader of that type (making another would join the chain).
template <class Loader>
Ref<Loader> Registered() {
  for (Ref<TPixmapLoader> l = FirstPixmapLoader(); l; l = l->next) {
    if (Ref<Loader> found = RefCast<Loader>(l)) return found;
  }
  return {};
}

Ref<TDataStream> Over(const Bytes& bytes) {
  return CreateBlockStream(bytes.data(), int(bytes.size()), 1, 0);
}
Ref<TPixmap> Load(const Bytes& bytes) { return LoadPixmap(Ref<TObject>(Over(bytes))); }

void Put16(Bytes& b, int v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, int64_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A BMP with the 40-byte header; `rows` are the file's rows, bottom row first,
// already padded.
Bytes MakeBmp(int32_t width, int32_t height, int bits, const std::vector<uint32_t>& palette,
              int64_t coloursUsed, const Bytes& rows) {
  Bytes b = {'B', 'M'};
  Put32(b, 54 + int64_t(palette.size()) * 4 + int64_t(rows.size()));
  Put32(b, 0);
  Put32(b, 54 + int64_t(palette.size()) * 4);
  Put32(b, 40);
  Put32(b, width);
  Put32(b, height);
  Put16(b, 1);
  Put16(b, bits);
  Put32(b, 0);
  Put32(b, int64_t(rows.size()));
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, coloursUsed);
  Put32(b, 0);
  for (uint32_t entry : palette) Put32(b, entry);
  b.insert(b.end(), rows.begin(), rows.end());
  return b;
}

Bytes MakeTgaHeader(int mapType, int imageType, int width, int height, int depth,
                    int idLength = 0) {
  Bytes b = {uint8_t(idLength), uint8_t(mapType), uint8_t(imageType), 0, 0, 0, 0, 0};
  Put16(b, 0);
  Put16(b, 0);
  Put16(b, width);
  Put16(b, height);
  b.push_back(uint8_t(depth));
  b.push_back(0x20);  // top-left origin: ignored, rows are always bottom-up
  return b;
}

Bytes EncodePng(int width, int height, int colourType, int bitDepth, const Bytes& pixels,
                const std::vector<png_color>& palette = {}, const Bytes& trns = {},
                int interlace = PNG_INTERLACE_NONE) {
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t n) {
        auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
        o->insert(o->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bitDepth, colourType, interlace,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
  if (!trns.empty()) png_set_tRNS(png, info, trns.data(), int(trns.size()), nullptr);
  png_write_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  std::vector<png_bytep> rows;
  for (int y = 0; y < height; ++y) rows.push_back(const_cast<uint8_t*>(&pixels[y * rowBytes]));
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

Bytes EncodeJpeg(int width, int height, int components, J_COLOR_SPACE space, const Bytes& pixels) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = JDIMENSION(width);
  cinfo.image_height = JDIMENSION(height);
  cinfo.input_components = components;
  cinfo.in_color_space = space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&pixels[size_t(cinfo.next_scanline) * width * components]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

Bytes Gradient(int width, int height, int components) {
  Bytes b(size_t(width) * height * components);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        b[(size_t(y) * width + x) * components + c] = uint8_t(x * 5 + y * 3 + c * 70);
  return b;
}

bool AllZero(const Ref<TPixmap>& p) {
  for (int32_t y = 0; y < p->height; ++y)
    for (int32_t i = 0; i < p->width * BytesPerPixel(p->format); ++i)
      if (p->PixelPtr(0, y)[i] != 0) return false;
  return true;
}

TEST_F(LoaderTest, ChainAsksPngTargaJpegBmp) {
  Ref<TPixmapLoader> loader = FirstPixmapLoader();
  EXPECT_TRUE(RefCast<TPngLoader>(loader));
  loader = loader->next;
  EXPECT_TRUE(RefCast<TTgaLoader>(loader));
  loader = loader->next;
  EXPECT_TRUE(RefCast<TJpegLoader>(loader));
  loader = loader->next;
  EXPECT_TRUE(RefCast<TBmpLoader>(loader));
  EXPECT_FALSE(loader->next);
}

TEST_F(LoaderTest, JpegIsDeclinedByPngAndTargaThenDecoded) {
  const Bytes jpeg = EncodeJpeg(16, 8, 3, JCS_RGB, Gradient(16, 8, 3));
  EXPECT_FALSE(Registered<TPngLoader>()->LoadFromStream(Over(jpeg)));
  EXPECT_FALSE(Registered<TTgaLoader>()->LoadFromStream(Over(jpeg)));  // 0xD8: a colour-map type
  Ref<TPixmap> p = Load(jpeg);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->format, PIXFMT_RGB24);
  EXPECT_EQ(p->width, 16);
  EXPECT_EQ(p->height, 8);
}

TEST_F(LoaderTest, BmpIsDeclinedByTheOthersThenDecoded) {
  Bytes rows;
  for (int y = 0; y < 2; ++y) rows.insert(rows.end(), {1, 2, 3, 4, 5, 6, 0, 0});
  const Bytes bmp = MakeBmp(2, 2, 24, {}, 0, rows);
  EXPECT_FALSE(Registered<TPngLoader>()->LoadFromStream(Over(bmp)));
  EXPECT_FALSE(Registered<TTgaLoader>()->LoadFromStream(Over(bmp)));
  EXPECT_FALSE(Registered<TJpegLoader>()->LoadFromStream(Over(bmp)));
  Ref<TPixmap> p = Load(bmp);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->format, PIXFMT_RGB24);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF030201u);
  EXPECT_EQ(p->PixelAt(1, 1), 0xFF060504u);
}

TEST_F(LoaderTest, BmpPaletteRowsArePaddedAndBottomUp) {
  // 4 bits, 3 wide: 2 bytes of pixels and 2 of padding per row.
  const std::vector<uint32_t> palette = {0x000000, 0x112233, 0x445566, 0x778899};
  const Bytes rows = {0x12, 0x30, 0xEE, 0xEE,   // bottom row: 1, 2, 3
                      0x01, 0x00, 0xEE, 0xEE};  // top row: 0, 1, 0
  Ref<TPixmap> p = Load(MakeBmp(3, 2, 4, palette, 4, rows));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 1), 0xFF112233u);
  EXPECT_EQ(p->PixelAt(1, 1), 0xFF445566u);
  EXPECT_EQ(p->PixelAt(2, 1), 0xFF778899u);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF000000u);
  EXPECT_EQ(p->PixelAt(1, 0), 0xFF112233u);

  // 1 bit: most significant bit first; two entries whatever colours used says.
  Ref<TPixmap> mono = Load(MakeBmp(9, 1, 1, {0x0000FF, 0xFF0000}, 7, {0xA0, 0x80, 0, 0}));
  ASSERT_TRUE(mono);
  EXPECT_EQ(mono->PixelAt(0, 0), 0xFFFF0000u);
  EXPECT_EQ(mono->PixelAt(1, 0), 0xFF0000FFu);
  EXPECT_EQ(mono->PixelAt(2, 0), 0xFFFF0000u);
  EXPECT_EQ(mono->PixelAt(8, 0), 0xFFFF0000u);
}

TEST_F(LoaderTest, BmpIndexPastTheGivenPaletteReadsZero) {
  // Two entries supplied; index 200 and 1 must not read anything else.
  Ref<TPixmap> p = Load(MakeBmp(3, 1, 8, {0x123456, 0xABCDEF}, 2, {200, 1, 255, 0}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF000000u);
  EXPECT_EQ(p->PixelAt(1, 0), 0xFFABCDEFu);
  EXPECT_EQ(p->PixelAt(2, 0), 0xFF000000u);
  Ref<TPixmap> nibble = Load(MakeBmp(2, 1, 4, {0x010203}, 1, {0x0F, 0, 0, 0}));
  ASSERT_TRUE(nibble);
  EXPECT_EQ(nibble->PixelAt(0, 0), 0xFF010203u);
  EXPECT_EQ(nibble->PixelAt(1, 0), 0xFF000000u);
}

TEST_F(LoaderTest, BmpHugeColoursUsedIsSkippedNotAllocated) {
  // Nothing after the header can be palette and pixels at once: the palette
  // read consumes the stream and the rows read as index 0.
  Ref<TPixmap> p = Load(MakeBmp(2, 2, 8, {0x0A0B0C}, 0x7FFFFFFF, {0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(1, 1), 0xFF0A0B0Cu);
  EXPECT_TRUE(Load(MakeBmp(2, 1, 8, {}, -5, {0, 0, 0, 0})));
}

TEST_F(LoaderTest, BmpSizesThatCannotBeRealAreDeclined) {
  const Bytes someRows(64, 0x11);
  EXPECT_FALSE(Load(MakeBmp(65536, 65536, 24, {}, 0, someRows)));   // 32-bit overflow
  EXPECT_FALSE(Load(MakeBmp(0x7FFFFFFF, 1, 24, {}, 0, someRows)));  // row size overflow
  EXPECT_FALSE(Load(MakeBmp(0x7FFFFFFF, 0x7FFFFFFF, 1, {0, 0}, 2, someRows)));
  EXPECT_FALSE(Load(MakeBmp(3000, 3000, 24, {}, 0, someRows)));  // far more than the bytes
  EXPECT_FALSE(Load(MakeBmp(0, 4, 24, {}, 0, someRows)));
  EXPECT_FALSE(Load(MakeBmp(4, -4, 24, {}, 0, someRows)));
}

TEST_F(LoaderTest, BmpCutShortLeavesTheMissingRowsBlack) {
  // 4 rows of 8 bytes, but only 2.5 rows in the file.
  Bytes rows(20, 0x7F);
  Ref<TPixmap> p = Load(MakeBmp(2, 4, 24, {}, 0, rows));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 3), 0xFF7F7F7Fu);  // first file row is the bottom one
  EXPECT_EQ(p->PixelAt(0, 1), 0xFF7F7F7Fu);  // third row: 4 of its 8 bytes arrived
  EXPECT_EQ(p->PixelAt(1, 1), 0xFF00007Fu);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF000000u);
}

TEST_F(LoaderTest, BmpWithoutDecoderComesBackClear) {
  for (int bits : {16, 32, 0, 40, 255, 65535}) {
    SCOPED_TRACE(bits);
    const Bytes rows(size_t(4) * 4 * (bits > 0 ? (bits + 7) / 8 : 1), 0xAB);
    Ref<TPixmap> p = Load(MakeBmp(4, 4, bits, {}, 0, rows));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->format, PIXFMT_RGB24);
    EXPECT_TRUE(AllZero(p));
  }
}

TEST_F(LoaderTest, Targa16BitAlphaAndColour) {
  Bytes tga = MakeTgaHeader(0, 2, 2, 1, 16);
  Put16(tga, 0x7FFF);
  Put16(tga, 0xFC00 | 0x0010);  // bit 15 set, red 31, green 0, blue 16
  Ref<TPixmap> p = Load(tga);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->format, PIXFMT_RGBA32);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFFF8F8F8u);
  EXPECT_EQ(p->PixelAt(1, 0), 0x00F80080u);
  Bytes clear = MakeTgaHeader(0, 2, 1, 1, 16);
  Put16(clear, 0xFFFF);
  EXPECT_EQ(Load(clear)->PixelAt(0, 0), 0x00F8F8F8u);
  Bytes fifteen = MakeTgaHeader(0, 2, 1, 1, 15);
  Put16(fifteen, 0xFFFF);
  Ref<TPixmap> opaque = Load(fifteen);
  EXPECT_EQ(opaque->format, PIXFMT_RGB24);
  EXPECT_EQ(opaque->PixelAt(0, 0), 0xFFF8F8F8u);
}

TEST_F(LoaderTest, TargaHeaderChecks) {
  const Bytes pixels(64 * 4, 0);
  auto with = [&](Bytes header) {
    header.insert(header.end(), pixels.begin(), pixels.end());
    return header;
  };
  EXPECT_TRUE(Load(with(MakeTgaHeader(0, 2, 4096, 1, 24))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(0, 2, 4097, 1, 24))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(0, 2, 1, 4097, 24))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(0, 2, 4, 4, 8))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(1, 2, 4, 4, 24))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(0, 3, 4, 4, 24))));
  EXPECT_FALSE(Load(with(MakeTgaHeader(0, 2, 0, 4, 24))));
}

TEST_F(LoaderTest, TargaColourMappedWithoutMapIsClear) {
  Bytes tga = MakeTgaHeader(0, 1, 3, 2, 32);
  tga.insert(tga.end(), 24, 0xCD);
  Ref<TPixmap> p = Load(tga);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->format, PIXFMT_RGBA32);
  EXPECT_TRUE(AllZero(p));
}

TEST_F(LoaderTest, TargaRowsBottomUpAfterTheIdField) {
  Bytes tga = MakeTgaHeader(0, 2, 1, 2, 32, 3);
  tga.insert(tga.end(), {'i', 'd', '!'});
  tga.insert(tga.end(), {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
  Ref<TPixmap> p = Load(tga);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 1), 0x04030201u);
  EXPECT_EQ(p->PixelAt(0, 0), 0x08070605u);
}

TEST_F(LoaderTest, TargaRunLengthPacketsAreCutAtTheRowEnd) {
  Bytes tga = MakeTgaHeader(0, 10, 2, 2, 24);
  tga.insert(tga.end(), {0x82, 10, 20, 30});                 // repeat 3: only 2 fit the row
  tga.insert(tga.end(), {0x02, 1, 1, 1, 2, 2, 2, 3, 3, 3});  // raw 3: the third is dropped
  Ref<TPixmap> p = Load(tga);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 1), 0xFF1E140Au);
  EXPECT_EQ(p->PixelAt(1, 1), 0xFF1E140Au);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF010101u);
  EXPECT_EQ(p->PixelAt(1, 0), 0xFF020202u);
}

TEST_F(LoaderTest, TargaRunLengthPacketsInsideTheRow) {
  Bytes tga = MakeTgaHeader(0, 10, 4, 2, 16);
  tga.push_back(0x81);  // repeat 2, then raw 2: the bottom row exactly
  Put16(tga, 0x7C00);
  tga.push_back(0x01);
  Put16(tga, 0x03E0);
  Put16(tga, 0x001F);
  tga.push_back(0x83);  // repeat 4: the top row exactly
  Put16(tga, 0xFFFF);
  const size_t pictureBytes = tga.size();
  tga.insert(tga.end(), 5, 0xEE);  // whatever follows the picture stays unread
  Ref<TDataStream> stream = Over(tga);
  Ref<TPixmap> p = Registered<TTgaLoader>()->LoadFromStream(stream);
  ASSERT_TRUE(p);
  const uint32_t bottom[4] = {0xFFF80000u, 0xFFF80000u, 0xFF00F800u, 0xFF0000F8u};
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(p->PixelAt(x, 1), bottom[x]) << x;
    EXPECT_EQ(p->PixelAt(x, 0), 0x00F8F8F8u) << x;
  }
  EXPECT_EQ(stream->Pos(), int(pictureBytes));
}

TEST_F(LoaderTest, TargaCutShortNeverShowsOlderRows) {
  Bytes tga = MakeTgaHeader(0, 2, 2, 3, 32);
  tga.insert(tga.end(), 12, 0x55);  // one and a half rows of three
  Ref<TPixmap> p = Load(tga);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(1, 2), 0x55555555u);
  EXPECT_EQ(p->PixelAt(0, 1), 0x55555555u);
  EXPECT_EQ(p->PixelAt(1, 1), 0u);
  EXPECT_EQ(p->PixelAt(0, 0), 0u);
}

TEST_F(LoaderTest, StreamsShorterThanEightBytes) {
  const Bytes png = EncodePng(1, 1, PNG_COLOR_TYPE_GRAY, 8, {7});
  for (size_t n = 0; n < 8; ++n) {
    const Bytes cut(png.begin(), png.begin() + long(n));
    EXPECT_NO_THROW(EXPECT_FALSE(Registered<TPngLoader>()->LoadFromStream(Over(cut))));
    EXPECT_FALSE(Load(cut)) << n;
  }
}

TEST_F(LoaderTest, PngColourTypes) {
  Ref<TPixmap> ga = Load(EncodePng(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, {200, 50, 10, 255}));
  ASSERT_TRUE(ga);
  EXPECT_EQ(ga->format, PIXFMT_RGBA32);
  EXPECT_EQ(ga->PixelAt(0, 0), 0x32C8C8C8u);
  EXPECT_EQ(ga->PixelAt(1, 0), 0xFF0A0A0Au);

  const std::vector<png_color> palette = {{255, 0, 0}, {0, 0, 255}};
  Ref<TPixmap> pal = Load(EncodePng(3, 1, PNG_COLOR_TYPE_PALETTE, 8, {1, 0, 1}, palette));
  ASSERT_TRUE(pal);
  EXPECT_EQ(pal->format, PIXFMT_RGB24);
  EXPECT_EQ(pal->PixelAt(0, 0), 0xFF0000FFu);
  Ref<TPixmap> trns = Load(EncodePng(3, 1, PNG_COLOR_TYPE_PALETTE, 8, {1, 0, 1}, palette, {0}));
  ASSERT_TRUE(trns);
  EXPECT_EQ(trns->format, PIXFMT_RGBA32);
  EXPECT_EQ(trns->PixelAt(1, 0), 0x00FF0000u);
  EXPECT_EQ(trns->PixelAt(2, 0), 0xFF0000FFu);

  // 16-bit samples keep their high byte.
  const Bytes wide = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  Ref<TPixmap> rgba16 = Load(EncodePng(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, 16, wide));
  ASSERT_TRUE(rgba16);
  EXPECT_EQ(rgba16->format, PIXFMT_RGBA32);
  EXPECT_EQ(rgba16->PixelAt(0, 0), 0xDE12569Au);

  Ref<TPixmap> grey1 = Load(EncodePng(9, 1, PNG_COLOR_TYPE_GRAY, 1, {0x80, 0x80}));
  ASSERT_TRUE(grey1);
  EXPECT_EQ(grey1->format, PIXFMT_GREY8);
  EXPECT_EQ(*grey1->PixelPtr(0, 0), 255);
  EXPECT_EQ(*grey1->PixelPtr(1, 0), 0);
  EXPECT_EQ(*grey1->PixelPtr(8, 0), 255);
}

TEST_F(LoaderTest, PngDamageGivesNone) {
  Bytes png = EncodePng(8, 8, PNG_COLOR_TYPE_RGB, 8, Gradient(8, 8, 3));
  ASSERT_TRUE(Load(png));
  Bytes cut(png.begin(), png.begin() + long(png.size() / 2));
  EXPECT_FALSE(Load(cut));
  Bytes noEnd(png.begin(), png.end() - 12);  // IEND missing
  EXPECT_FALSE(Load(noEnd));
  // Flip a byte inside IDAT's data: the CRC no longer matches.
  Bytes bad = png;
  for (size_t i = 8; i + 8 < bad.size(); ++i) {
    if (std::memcmp(&bad[i], "IDAT", 4) == 0) {
      bad[i + 6] ^= 0x40;
      break;
    }
  }
  EXPECT_FALSE(Load(bad));
  // A header declaring a size that its few bytes cannot possibly inflate to.
  Bytes huge = EncodePng(1, 1, PNG_COLOR_TYPE_RGB, 8, {1, 2, 3});
  huge[16] = 0x00, huge[17] = 0x01, huge[18] = 0x00, huge[19] = 0x00;  // width 65536
  huge[20] = 0x00, huge[21] = 0x01, huge[22] = 0x00, huge[23] = 0x00;  // height 65536
  const uint32_t crc = uint32_t(crc32(0, &huge[12], 17));
  huge[29] = uint8_t(crc >> 24), huge[30] = uint8_t(crc >> 16);
  huge[31] = uint8_t(crc >> 8), huge[32] = uint8_t(crc);
  EXPECT_FALSE(Load(huge));
}

TEST_F(LoaderTest, JpegGreyCmykAndTruncation) {
  Ref<TPixmap> grey = Load(EncodeJpeg(24, 16, 1, JCS_GRAYSCALE, Gradient(24, 16, 1)));
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->format, PIXFMT_GREY8);
  EXPECT_EQ(grey->pitch, 24);

  EXPECT_FALSE(Load(EncodeJpeg(16, 16, 4, JCS_CMYK, Gradient(16, 16, 4))));

  const Bytes full = EncodeJpeg(64, 64, 3, JCS_RGB, Gradient(64, 64, 3));
  Ref<TPixmap> whole = Load(full);
  ASSERT_TRUE(whole);
  const Bytes half(full.begin(), full.begin() + long(full.size() / 2));
  Ref<TPixmap> cut = Load(half);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->format, PIXFMT_RGB24);
  EXPECT_EQ(cut->width, 64);
  EXPECT_EQ(cut->height, 64);
  EXPECT_EQ(std::memcmp(cut->PixelPtr(0, 0), whole->PixelPtr(0, 0), 64 * 3), 0);

  EXPECT_FALSE(Load(Bytes{0xFF, 0xD8}));  // nothing after the start marker
}

// A stream that can fail in chosen ways.
class FaultyStream : public TDataStream {
 public:
  enum Mode { NO_POSITION, STREAM_ERROR, OTHER_ERROR };
  explicit FaultyStream(Mode mode) : mode_(mode) {}
  int Pos() override { return mode_ == NO_POSITION ? -1 : 0; }
  int Size() override { return 100; }
  int Seek(int pos) override { return pos; }
  int Read(void*, int) override {
    ++reads;
    if (mode_ == STREAM_ERROR) throw TStreamReadError();
    RaiseError(u"disk on fire");
  }
  int reads = 0;

 private:
  Mode mode_;
};

TEST_F(LoaderTest, LoadPixmapSourcesAndErrors) {
  Ref<FaultyStream> noPos = MakeRef<FaultyStream>(FaultyStream::NO_POSITION);
  EXPECT_FALSE(LoadPixmap(Ref<TObject>(noPos)));
  EXPECT_EQ(noPos->reads, 0);

  // Stream errors are declines: every loader is still asked.
  Ref<FaultyStream> failing = MakeRef<FaultyStream>(FaultyStream::STREAM_ERROR);
  EXPECT_FALSE(LoadPixmap(Ref<TObject>(failing)));
  EXPECT_GE(failing->reads, 4);

  Ref<FaultyStream> fire = MakeRef<FaultyStream>(FaultyStream::OTHER_ERROR);
  EXPECT_THROW(LoadPixmap(Ref<TObject>(fire)), TMessageError);

  EXPECT_FALSE(LoadPixmap(u"no/such/picture.png"));
  EXPECT_FALSE(LoadPixmap(u""));

  // A caller's stream is read from its position and stays open.
  Bytes data = {9, 9, 9};
  Bytes tga = MakeTgaHeader(0, 2, 1, 1, 24);
  tga.insert(tga.end(), {3, 2, 1});
  data.insert(data.end(), tga.begin(), tga.end());
  Ref<TDataStream> stream = Over(data);
  stream->Seek(3);
  Ref<TPixmap> p = LoadPixmap(Ref<TObject>(stream));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PixelAt(0, 0), 0xFF010203u);
  EXPECT_EQ(stream->Seek(0), 0);
  EXPECT_EQ(stream->ReadU8(), 9);

  static const Bytes embedded = EncodePng(2, 2, PNG_COLOR_TYPE_GRAY, 8, {1, 2, 3, 4});
  RegisterResource(u"loader_test/grey.png", embedded.data(), int(embedded.size()));
  Ref<TPixmap> fromUrl = LoadPixmap(u"incbin::loader_test/grey.png");
  ASSERT_TRUE(fromUrl);
  EXPECT_EQ(*fromUrl->PixelPtr(1, 1), 4);
}

TEST_F(LoaderTest, LoadLimitDeclinesLargePictures) {
  const Bytes png = EncodePng(64, 64, PNG_COLOR_TYPE_GRAY, 8, Bytes(64 * 64, 1));
  SetPixmapLoadLimit(64 * 64 - 1);
  EXPECT_FALSE(Load(png));
  SetPixmapLoadLimit(64 * 64);
  EXPECT_TRUE(Load(png));
  SetPixmapLoadLimit(0);
  EXPECT_TRUE(PixmapSizeAllowed(46340, 46340, PIXFMT_GREY8));
  EXPECT_FALSE(PixmapSizeAllowed(46341, 46341, PIXFMT_GREY8));
  EXPECT_FALSE(PixmapSizeAllowed(0, 4, PIXFMT_GREY8));
  SetPixmapLoadLimit(int64_t(1) << 26);
}

TEST_F(LoaderTest, JpegHeaderClaimingAHugePictureIsDeclined) {
  // A truncated JPEG decodes whatever its length, so only its declared size
  // bounds the memory: 9000 x 9000 is over the default limit.
  Bytes jpeg = EncodeJpeg(16, 16, 3, JCS_RGB, Gradient(16, 16, 3));
  for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = 9000 >> 8, jpeg[i + 6] = 9000 & 0xFF;  // height
      jpeg[i + 7] = 9000 >> 8, jpeg[i + 8] = 9000 & 0xFF;  // width
      break;
    }
  }
  EXPECT_EQ(PixmapLoadLimit(), int64_t(1) << 26);
  EXPECT_FALSE(Load(jpeg));
  EXPECT_FALSE(Load(Bytes(jpeg.begin(), jpeg.begin() + 200)));
}

}  // namespace
}  // namespace kelpora
