// Our picture loading, row conversion and scaling beside a peer measured in
// the same run on the same data: libjpeg and libpng called directly, memcpy,
// and pixman's bilinear scaling.
#include <benchmark/benchmark.h>
#include <pixman.h>
#include <png.h>

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <cmath>
#include <cstring>
#include <vector>

#include "pixmap/loaders/pixmap_loader.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

constexpr int SIZE = 2048;
using Bytes = std::vector<uint8_t>;

// Smooth shading with texture and edges, roughly what a photo gives a codec.
const Bytes& PhotoRgb() {
  static const Bytes pixels = [] {
    Bytes b(size_t(SIZE) * SIZE * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < SIZE; ++y) {
      for (int x = 0; x < SIZE; ++x) {
        noise = noise * 1664525u + 1013904223u;
        const int grain = int(noise >> 28) - 8;
        const bool inside = (x - 900) * (x - 900) + (y - 1100) * (y - 1100) < 400 * 400;
        for (int c = 0; c < 3; ++c) {
          double v = 120 + 60 * std::sin(x / (37.0 + c * 9)) + 40 * std::cos(y / (53.0 - c * 7)) +
                     30 * std::sin((x + y) / 211.0) + grain + (inside ? 50 : 0);
          b[(size_t(y) * SIZE + x) * 3 + c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
      }
    }
    return b;
  }();
  return pixels;
}

const Bytes& JpegFile() {
  static const Bytes file = [] {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = SIZE;
    cinfo.image_height = SIZE;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const Bytes& rgb = PhotoRgb();
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = const_cast<uint8_t*>(&rgb[size_t(cinfo.next_scanline) * SIZE * 3]);
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
  }();
  return file;
}

const Bytes& PngFile() {
  static const Bytes file = [] {
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
    png_set_IHDR(png, info, SIZE, SIZE, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const Bytes& rgb = PhotoRgb();
    for (int y = 0; y < SIZE; ++y) png_write_row(png, &rgb[size_t(y) * SIZE * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
  }();
  return file;
}

Ref<TPixmap> LoadFromMemory(const Bytes& file) {
  // The same road as an embedded file: a read-only block stream.
  return LoadPixmap(Ref<TObject>(CreateBlockStream(file.data(), int(file.size()), 1, 0)));
}

void BM_LoadJpeg_Ours(benchmark::State& state) {
  InitPixmapLoaders();
  const Bytes& file = JpegFile();
  for (auto _ : state) {
    Ref<TPixmap> p = LoadFromMemory(file);
    if (!p) state.SkipWithError("declined");
    benchmark::DoNotOptimize(p->pixels);
  }
}

void BM_LoadJpeg_Libjpeg(benchmark::State& state) {
  const Bytes& file = JpegFile();
  for (auto _ : state) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(cinfo.output_width) * cinfo.output_components;
    std::vector<uint8_t> out(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = &out[cinfo.output_scanline * stride];
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_LoadPng_Ours(benchmark::State& state) {
  InitPixmapLoaders();
  const Bytes& file = PngFile();
  for (auto _ : state) {
    Ref<TPixmap> p = LoadFromMemory(file);
    if (!p) state.SkipWithError("declined");
    benchmark::DoNotOptimize(p->pixels);
  }
}

struct MemoryReader {
  const Bytes* file;
  size_t pos;
};

void BM_LoadPng_Libpng(benchmark::State& state) {
  const Bytes& file = PngFile();
  for (auto _ : state) {
    MemoryReader reader{&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &reader, [](png_structp p, png_bytep data, png_size_t n) {
      auto* r = static_cast<MemoryReader*>(png_get_io_ptr(p));
      std::memcpy(data, r->file->data() + r->pos, n);
      r->pos += n;
    });
    png_read_png(png, info, PNG_TRANSFORM_STRIP_16 | PNG_TRANSFORM_EXPAND, nullptr);
    benchmark::DoNotOptimize(png_get_rows(png, info));
    png_destroy_read_struct(&png, &info, nullptr);
  }
}

void BM_ConvertRgbToRgba_Ours(benchmark::State& state) {
  Ref<TPixmap> src = MakePixmap(SIZE, SIZE, PIXFMT_RGB24, 4);
  std::memcpy(src->pixels, PhotoRgb().data(), PhotoRgb().size());
  Ref<TPixmap> dst = MakePixmap(SIZE, SIZE, PIXFMT_RGBA32, 4);
  for (auto _ : state) {
    for (int y = 0; y < SIZE; ++y) {
      ConvertRow(src->PixelPtr(0, y), PIXFMT_RGB24, dst->PixelPtr(0, y), PIXFMT_RGBA32, SIZE);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(dst->capacity));
}

void BM_ConvertRgbToRgba_Memcpy(benchmark::State& state) {
  Ref<TPixmap> src = MakePixmap(SIZE, SIZE, PIXFMT_RGBA32, 4);
  Ref<TPixmap> dst = MakePixmap(SIZE, SIZE, PIXFMT_RGBA32, 4);
  std::memset(src->pixels, 0x5A, size_t(src->capacity));
  for (auto _ : state) {
    std::memcpy(dst->pixels, src->pixels, size_t(dst->capacity));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(dst->capacity));
}

Ref<TPixmap> PhotoRgba() {
  Ref<TPixmap> rgb = MakePixmap(SIZE, SIZE, PIXFMT_RGB24, 4);
  std::memcpy(rgb->pixels, PhotoRgb().data(), PhotoRgb().size());
  return rgb->ToFormat(PIXFMT_RGBA32);
}

// Scale factors in per mille: 500, 1170, 2000.
void BM_Scale_Ours(benchmark::State& state) {
  Ref<TPixmap> src = PhotoRgba();
  const int out = int(SIZE * state.range(0) / 1000);
  for (auto _ : state) {
    Ref<TPixmap> scaled = ScalePixmap(src, out, out);
    benchmark::DoNotOptimize(scaled->pixels);
  }
}

void BM_Scale_Pixman(benchmark::State& state) {
  Ref<TPixmap> src = PhotoRgba();
  const int out = int(SIZE * state.range(0) / 1000);
  pixman_image_t* source = pixman_image_create_bits(
      PIXMAN_a8b8g8r8, SIZE, SIZE, reinterpret_cast<uint32_t*>(src->pixels), src->pitch);
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(double(SIZE) / out),
                              pixman_double_to_fixed(double(SIZE) / out));
  pixman_image_set_transform(source, &transform);
  pixman_image_set_filter(source, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  pixman_image_set_repeat(source, PIXMAN_REPEAT_PAD);
  for (auto _ : state) {
    // Allocating the result too, as ScalePixmap does.
    Ref<TPixmap> dest = MakePixmap(out, out, PIXFMT_RGBA32, 4);
    pixman_image_t* target = pixman_image_create_bits(
        PIXMAN_a8b8g8r8, out, out, reinterpret_cast<uint32_t*>(dest->pixels), dest->pitch);
    pixman_image_composite32(PIXMAN_OP_SRC, source, nullptr, target, 0, 0, 0, 0, 0, 0, out, out);
    pixman_image_unref(target);
    benchmark::DoNotOptimize(dest->pixels);
  }
  pixman_image_unref(source);
}

BENCHMARK(BM_LoadJpeg_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadJpeg_Libjpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPng_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPng_Libpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertRgbToRgba_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertRgbToRgba_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale_Ours)->Arg(500)->Arg(1170)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale_Pixman)->Arg(500)->Arg(1170)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelpora

BENCHMARK_MAIN();
