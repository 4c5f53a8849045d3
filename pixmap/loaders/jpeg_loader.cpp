#include "pixmap/loaders/jpeg_loader.h"

// jpeglib.h needs FILE and size_t first, and jerror.h needs jpeglib.h.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <exception>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

constexpr int JPEG_BUFFER_SIZE = 4096;

struct JpegErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

struct JpegSource {
  jpeg_source_mgr base;
  TDataStream* stream;
  JOCTET* buffer;
  bool startOfFile;
  std::exception_ptr* pending;
};

// Everything that must survive a longjmp back into Decode lives here.
struct JpegDecode {
  Ref<TDataStream> stream;
  std::exception_ptr pending;
  Ref<TPixmap> pixmap;
};

void ErrorExit(j_common_ptr cinfo) {
  char message[JMSG_LENGTH_MAX] = {};
  cinfo->err->format_message(cinfo, message);
  NoteLoaderRejection(u"JPEG", FromBytes(message));
  std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {
  std::fputs("jpeg message\n", stdout);
  std::fflush(stdout);
}

void InitSource(j_decompress_ptr cinfo) {
  reinterpret_cast<JpegSource*>(cinfo->src)->startOfFile = true;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  int n = 0;
  bool failed = false;
  try {
    n = src->stream->Read(src->buffer, JPEG_BUFFER_SIZE);
  } catch (const TStreamError&) {
    failed = true;
  } catch (...) {
    *src->pending = std::current_exception();
    failed = true;
  }
  if (failed) ERREXIT(cinfo, JERR_FILE_READ);
  if (n <= 0) {
    if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // A file cut short ends as if its end-of-image marker had arrived.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    n = 2;
  }
  src->base.next_input_byte = src->buffer;
  src->base.bytes_in_buffer = size_t(n);
  src->startOfFile = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<JpegSource*>(cinfo->src);
  if (count <= 0) return;
  while (count > long(src->base.bytes_in_buffer)) {
    count -= long(src->base.bytes_in_buffer);
    FillInputBuffer(cinfo);
  }
  src->base.next_input_byte += count;
  src->base.bytes_in_buffer -= size_t(count);
}

void TermSource(j_decompress_ptr) {}

// Returns false when libjpeg fails or the picture is declined. No object with
// a destructor may live in this frame: errors arrive by longjmp.
bool Decode(jpeg_decompress_struct& cinfo, JpegErrors& errors, JpegDecode& decode) {
  if (setjmp(errors.jump)) return false;
  jpeg_create_decompress(&cinfo);

  auto* src = static_cast<JpegSource*>((*cinfo.mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_PERMANENT, sizeof(JpegSource)));
  src->buffer = static_cast<JOCTET*>((*cinfo.mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_PERMANENT, JPEG_BUFFER_SIZE));
  src->stream = decode.stream.get();
  src->pending = &decode.pending;
  src->startOfFile = true;
  src->base.init_source = InitSource;
  src->base.fill_input_buffer = FillInputBuffer;
  src->base.skip_input_data = SkipInputData;
  src->base.resync_to_restart = jpeg_resync_to_restart;
  src->base.term_source = TermSource;
  src->base.bytes_in_buffer = 0;
  src->base.next_input_byte = nullptr;
  cinfo.src = &src->base;

  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return false;
  // Sizes are checked before decompression starts: a progressive file makes
  // libjpeg allocate whole-image coefficient arrays there.
  jpeg_calc_output_dimensions(&cinfo);
  const int components = cinfo.output_components;
  const int32_t format = components == 1 ? PIXFMT_GREY8 : components == 3 ? PIXFMT_RGB24 : 0;
  // Other colour spaces give none; so do sizes we will not allocate.
  if (format == 0 || !PixmapSizeAllowed(cinfo.output_width, cinfo.output_height, format)) {
    return false;
  }
  // libjpeg's own arrays stay within a few times the picture: without backing
  // store, a file asking for more fails instead of exhausting memory.
  const long pictureBytes = long(cinfo.output_width) * long(cinfo.output_height) * components;
  cinfo.mem->max_memory_to_use = 64L * 1024 * 1024 + 4 * pictureBytes;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != components) return false;
  decode.pixmap = MakePixmap(int32_t(cinfo.output_width), int32_t(cinfo.output_height), format, 4);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = decode.pixmap->PixelPtr(0, int32_t(cinfo.output_scanline));
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  return true;
}

}  // namespace

Ref<TPixmap> TJpegLoader::LoadFromStream(const Ref<TDataStream>& stream) {
  JpegDecode decode;
  decode.stream = stream;
  jpeg_decompress_struct cinfo{};
  JpegErrors errors{};
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = ErrorExit;
  errors.base.emit_message = EmitMessage;
  errors.base.output_message = OutputMessage;

  const bool ok = Decode(cinfo, errors, decode);
  jpeg_destroy_decompress(&cinfo);
  if (decode.pending) std::rethrow_exception(decode.pending);
  if (!ok) return {};
  return decode.pixmap;
}

void InitJpegLoader() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitPixmapModule();
  InitStreamModule();
  MakeRef<TJpegLoader>();
  NoteLoaderReady(u"JPEG");
}

}  // namespace kelpora
