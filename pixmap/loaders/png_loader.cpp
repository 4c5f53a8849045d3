#include "pixmap/loaders/png_loader.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <exception>
#include <vector>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

// deflate never expands better than about 1032 to 1, so a picture whose raw
// rows are larger than that many times the bytes left cannot be in the file.
constexpr int64_t DEFLATE_MAX_RATIO = 1040;
// libpng only warns about an oversized ancillary chunk and then allocates and
// clears a buffer of its declared length (up to 2 GB) before finding the file
// too short. Its real needs (row buffers, inflate state) stay far below this,
// so larger requests are refused; libpng then skips the chunk.
constexpr png_alloc_size_t PNG_ALLOC_MAX = png_alloc_size_t(64) << 20;

png_voidp LimitedMalloc(png_structp, png_alloc_size_t size) {
  return size > PNG_ALLOC_MAX ? nullptr : std::malloc(size);
}
void LimitedFree(png_structp, png_voidp p) { std::free(p); }

// Everything the decode keeps across libpng's longjmp lives here, outside the
// frame that calls setjmp.
struct PngDecode {
  Ref<TDataStream> stream;
  std::exception_ptr pending;  // a non-stream error to raise once libpng is gone
  Ref<TPixmap> pixmap;
  std::vector<png_bytep> rows;
  bool grayAlpha = false;
};

void ReadCallback(png_structp png, png_bytep data, png_size_t length) {
  auto* decode = static_cast<PngDecode*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    // Read directly rather than with ReadFully: a short file must fail here
    // instead of leaving part of libpng's buffer unwritten.
    size_t done = 0;
    while (done < length) {
      const size_t want = length - done > (1u << 30) ? (1u << 30) : length - done;
      const int n = decode->stream->Read(data + done, int(want));
      if (n <= 0) break;
      done += size_t(n);
    }
    failed = done < length;
  } catch (const TStreamError&) {
    failed = true;
  } catch (...) {
    decode->pending = std::current_exception();
    failed = true;
  }
  if (failed) png_error(png, "read failed");
}

void ErrorCallback(png_structp png, png_const_charp message) {
  const std::string_view text(message ? message : "");
  NoteLoaderRejection(u"PNG", text == "read failed" ? String(u"the data ends early") : FromBytes(text));
  png_longjmp(png, 1);
}

// Returns false when the picture is declined or libpng reports an error.
bool Decode(png_structp png, png_infop info, PngDecode& decode) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);

  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colourType = 0, interlace = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
  const int64_t rawRow = (int64_t(width) * png_get_channels(png, info) * bitDepth + 7) / 8 + 1;
  if (int64_t(height) * rawRow > DEFLATE_MAX_RATIO * (BytesLeft(decode.stream) + 64)) return false;

  // What png_read_png does with STRIP_16 | EXPAND.
  png_set_strip_16(png);
  png_set_expand(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
  if (bitDepth != 8) return false;

  int32_t format;
  switch (colourType) {
    case PNG_COLOR_TYPE_GRAY:
      format = PIXFMT_GREY8;
      break;
    case PNG_COLOR_TYPE_RGB:
      format = PIXFMT_RGB24;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      format = PIXFMT_RGBA32;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      format = PIXFMT_RGBA32;
      decode.grayAlpha = true;
      break;
    default:
      return false;
  }
  if (!PixmapSizeAllowed(width, height, format)) return false;
  if (png_get_rowbytes(png, info) > size_t(width) * size_t(BytesPerPixel(format))) return false;

  decode.pixmap = MakePixmap(int32_t(width), int32_t(height), format, 4);
  decode.rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) decode.rows[y] = decode.pixmap->PixelPtr(0, int32_t(y));
  // Grey-with-alpha rows land in the front half of each RGBA row and are
  // widened in place afterwards.
  png_read_image(png, decode.rows.data());
  png_read_end(png, nullptr);
  return true;
}

void WidenGreyAlpha(TPixmap& pixmap) {
  for (int32_t y = 0; y < pixmap.height; ++y) {
    uint8_t* row = pixmap.PixelPtr(0, y);
    for (int32_t x = pixmap.width - 1; x >= 0; --x) {
      const uint8_t grey = row[x * 2], alpha = row[x * 2 + 1];
      row[x * 4 + 0] = row[x * 4 + 1] = row[x * 4 + 2] = grey;
      row[x * 4 + 3] = alpha;
    }
  }
}

}  // namespace

Ref<TPixmap> TPngLoader::LoadFromStream(const Ref<TDataStream>& stream) {
  PngDecode decode;
  decode.stream = OpenForReading(Ref<TObject>(stream));
  if (!decode.stream) return {};
  png_byte signature[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  decode.stream->ReadFully(signature, 8);
  if (png_sig_cmp(signature, 0, 8) != 0) {
    decode.stream->Close();
    return {};
  }

  png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, ErrorCallback, nullptr,
                                             nullptr, LimitedMalloc, LimitedFree);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool ok = false;
  if (info) {
    png_set_read_fn(png, &decode, ReadCallback);
    ok = Decode(png, info, decode);
  }
  png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
  decode.stream->Close();
  if (decode.pending) std::rethrow_exception(decode.pending);
  if (!ok) return {};
  if (decode.grayAlpha) WidenGreyAlpha(*decode.pixmap);
  return decode.pixmap;
}

void InitPngLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitPixmapModule();
  InitStreamModule();
  MakeRef<TPngLoader>();
  NoteLoaderReady(u"PNG");
}

}  // namespace kelpora
