// Our loaders against decoders nobody here wrote: ImageMagick writes the
// pictures and decodes them to raw RGBA; JPEG is checked against libjpeg.
#include <gtest/gtest.h>

// jpeglib.h needs FILE and size_t first.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pixmap/loaders/pixmap_loader.h"
#include "process.h"
#include "runtime/text.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;

// One folder per process: ctest may run the cases of this suite side by side.
std::string Corpus() { return KELPORA_REFERENCE_DIR "." + std::to_string(getpid()); }

std::string Magick() {
  for (const char* path : {"/usr/bin/convert-im6.q16", "/usr/bin/convert"}) {
    if (fs::exists(path)) return path;
  }
  return "convert";
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// ImageMagick's decode as 16-bit RGBA samples.
std::vector<uint16_t> MagickRgba16(const std::string& path) {
  const std::string raw = path + ".rgba16";
  testing::ProcessResult r = testing::RunProcess(
      Magick(), {path, "-auto-orient", "-depth", "16", "-endian", "MSB", "rgba:" + raw});
  EXPECT_TRUE(r.exited && r.status == 0) << path << ": " << r.err;
  std::vector<uint8_t> bytes = ReadFile(raw);
  fs::remove(raw);
  std::vector<uint16_t> samples(bytes.size() / 2);
  // ImageMagick writes 16-bit raw samples most significant byte first.
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  }
  return samples;
}

Ref<TPixmap> LoadRgba(const std::string& path, int32_t* format) {
  Ref<TPixmap> pixmap = LoadPixmap(FromBytes(path));
  if (!pixmap) return {};
  *format = pixmap->format;
  return pixmap->ToFormat(PIXFMT_RGBA32);
}

class LoaderReference : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitPixmapLoaders();
    fs::remove_all(Corpus());
    testing::ProcessResult r =
        testing::RunProcess("/bin/sh", {KELPORA_REFERENCE_SCRIPT, Corpus()}, {}, {}, 120000);
    ASSERT_TRUE(r.exited && r.status == 0) << r.err;
  }
  static void TearDownTestSuite() { fs::remove_all(Corpus()); }

  // Every pixel of our decode equals ImageMagick's, sample by sample. 16-bit
  // samples are cut to their high byte, as our loaders do.
  static void ExpectSameAsMagick(const std::string& name, int32_t expectedFormat) {
    SCOPED_TRACE(name);
    const std::string path = Corpus() + "/" + name;
    int32_t format = 0;
    Ref<TPixmap> ours = LoadRgba(path, &format);
    ASSERT_TRUE(ours) << "our loaders declined it";
    EXPECT_EQ(format, expectedFormat);
    std::vector<uint16_t> theirs = MagickRgba16(path);
    ASSERT_EQ(theirs.size(), size_t(ours->width) * size_t(ours->height) * 4);
    int mismatches = 0;
    for (int32_t y = 0; y < ours->height && mismatches < 5; ++y) {
      const uint8_t* row = ours->PixelPtr(0, y);
      for (int32_t x = 0; x < ours->width * 4; ++x) {
        const uint8_t expected = uint8_t(theirs[(size_t(y) * ours->width * 4) + x] >> 8);
        if (row[x] != expected && ++mismatches < 5) {
          ADD_FAILURE() << "pixel " << x / 4 << "," << y << " channel " << x % 4 << ": ours "
                        << int(row[x]) << ", ImageMagick " << int(expected);
        }
      }
    }
  }
};

TEST_F(LoaderReference, BmpAllBitCounts) {
  for (const char* name :
       {"bmp_1.bmp", "bmp_4.bmp", "bmp_8.bmp", "bmp_24.bmp", "bmp_4_narrow.bmp"}) {
    ExpectSameAsMagick(name, PIXFMT_RGB24);
  }
}

TEST_F(LoaderReference, TargaRawAndRunLength) {
  ExpectSameAsMagick("tga_24.tga", PIXFMT_RGB24);
  ExpectSameAsMagick("tga_24_rle.tga", PIXFMT_RGB24);
  ExpectSameAsMagick("tga_32.tga", PIXFMT_RGBA32);
  ExpectSameAsMagick("tga_32_rle.tga", PIXFMT_RGBA32);
}

// ImageMagick writes no 15/16-bit Targa, so they are packed here from its
// decode of a 24-bit one; it still decodes them as the reference.
TEST_F(LoaderReference, Targa16And15Bits) {
  const std::string source = Corpus() + "/tga_24.tga";
  std::vector<uint16_t> rgba = MagickRgba16(source);
  int32_t format = 0;
  Ref<TPixmap> size = LoadRgba(source, &format);
  ASSERT_TRUE(size);
  const int w = size->width, h = size->height;
  ASSERT_EQ(rgba.size(), size_t(w) * h * 4);

  for (int depth : {15, 16}) {
    for (bool rle : {false, true}) {
      std::vector<uint8_t> file = {0,
                                   0,
                                   uint8_t(rle ? 10 : 2),
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   uint8_t(w),
                                   uint8_t(w >> 8),
                                   uint8_t(h),
                                   uint8_t(h >> 8),
                                   uint8_t(depth),
                                   0};
      for (int y = h - 1; y >= 0; --y) {
        std::vector<uint16_t> row;
        for (int x = 0; x < w; ++x) {
          const uint16_t* p = &rgba[(size_t(y) * w + x) * 4];
          row.push_back(uint16_t((p[0] >> 11) << 10 | (p[1] >> 11) << 5 | (p[2] >> 11)));
        }
        for (int x = 0; x < w;) {
          // Runs of equal pixels become repeat packets; the rest go one by one.
          int run = 1;
          while (rle && x + run < w && run < 128 && row[size_t(x + run)] == row[size_t(x)]) ++run;
          if (rle) file.push_back(uint8_t(run > 1 ? 127 + run : 0));
          file.push_back(uint8_t(row[size_t(x)]));
          file.push_back(uint8_t(row[size_t(x)] >> 8));
          x += rle ? run : 1;
        }
      }
      const std::string name = "tga_" + std::to_string(depth) + (rle ? "_rle" : "") + ".tga";
      WriteFile(Corpus() + "/" + name, file);
      SCOPED_TRACE(name);
      Ref<TPixmap> ours = LoadRgba(Corpus() + "/" + name, &format);
      ASSERT_TRUE(ours);
      EXPECT_EQ(format, depth == 16 ? PIXFMT_RGBA32 : PIXFMT_RGB24);
      std::vector<uint16_t> theirs = MagickRgba16(Corpus() + "/" + name);
      ASSERT_EQ(theirs.size(), rgba.size());
      // Five-bit channels: ours shift left by 3, ImageMagick scales to full range.
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = ours->PixelPtr(x, y);
          const uint16_t* q = &theirs[(size_t(y) * w + x) * 4];
          for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(p[c] >> 3, (q[c] * 31 + 32767) / 65535) << x << "," << y;
            ASSERT_EQ(p[c] & 7, 0);
          }
          ASSERT_EQ(p[3], 255);
        }
      }
    }
  }
}

TEST_F(LoaderReference, PngEveryColourTypeAndDepth) {
  for (const char* name : {"png_grey_8.png", "png_grey_16.png"}) {
    ExpectSameAsMagick(name, PIXFMT_GREY8);
  }
  for (const char* name : {"png_grey_1.png", "png_grey_2.png", "png_grey_4.png"}) {
    ExpectSameAsMagick(name, PIXFMT_GREY8);
  }
  for (const char* name :
       {"png_palette_1.png", "png_palette_2.png", "png_palette_4.png", "png_palette_8.png",
        "png_palette_interlaced.png", "png_rgb_8.png", "png_rgb_16.png"}) {
    ExpectSameAsMagick(name, PIXFMT_RGB24);
  }
  for (const char* name : {"png_palette_trns.png", "png_grey_alpha_8.png", "png_grey_alpha_16.png",
                           "png_rgba_8.png", "png_rgba_16.png", "png_rgba_interlaced.png"}) {
    ExpectSameAsMagick(name, PIXFMT_RGBA32);
  }
}

// libjpeg called directly on the same bytes, default output settings.
std::vector<uint8_t> LibjpegDecode(const std::vector<uint8_t>& bytes, int* width, int* height,
                                   int* components) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  *width = int(cinfo.output_width);
  *height = int(cinfo.output_height);
  *components = cinfo.output_components;
  std::vector<uint8_t> out(size_t(*width) * *height * *components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out[size_t(cinfo.output_scanline) * *width * *components];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return out;
}

TEST_F(LoaderReference, JpegMatchesLibjpegExactly) {
  for (const char* name :
       {"jpeg_colour.jpg", "jpeg_colour_444.jpg", "jpeg_grey.jpg", "jpeg_progressive.jpg"}) {
    SCOPED_TRACE(name);
    const std::string path = Corpus() + "/" + name;
    Ref<TPixmap> ours = LoadPixmap(FromBytes(path));
    ASSERT_TRUE(ours);
    int w = 0, h = 0, components = 0;
    std::vector<uint8_t> theirs = LibjpegDecode(ReadFile(path), &w, &h, &components);
    ASSERT_EQ(ours->width, w);
    ASSERT_EQ(ours->height, h);
    EXPECT_EQ(ours->format, components == 1 ? PIXFMT_GREY8 : PIXFMT_RGB24);
    for (int y = 0; y < h; ++y) {
      ASSERT_EQ(0, std::memcmp(ours->PixelPtr(0, y), &theirs[size_t(y) * w * components],
                               size_t(w) * components))
          << "row " << y;
    }
  }
}

}  // namespace
}  // namespace kelpora
