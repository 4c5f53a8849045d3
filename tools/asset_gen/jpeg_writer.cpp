#include "tools/asset_gen/jpeg_writer.h"

#include <cstdio>
// jpeglib.h needs stdio's FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <stdexcept>

namespace kelpora::assetgen {

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ThrowJpegError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  throw std::runtime_error(err->message);
}

Bytes Compress(const Canvas& canvas, int quality, bool fullChroma) {
  std::vector<uint8_t> rgb = canvas.ToRgb8();
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ThrowJpegError;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_create_compress(&cinfo);
  try {
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(canvas.width());
    cinfo.image_height = static_cast<JDIMENSION>(canvas.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = TRUE;
    cinfo.dct_method = JDCT_ISLOW;
    if (fullChroma) cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = &rgb[static_cast<size_t>(cinfo.next_scanline) * canvas.width() * 3];
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
  } catch (...) {
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    throw;
  }
  jpeg_destroy_compress(&cinfo);
  Bytes out(buffer, buffer + size);
  free(buffer);
  return out;
}

}  // namespace

bool PadJpeg(Bytes& jpeg, size_t targetSize, const std::string& comment) {
  if (jpeg.size() > targetSize || jpeg.size() < 4) return false;
  size_t gap = targetSize - jpeg.size();
  if (gap == 0) return true;
  if (gap < 4) return false;
  // Insert after SOI and, when present, the APP0 (JFIF) segment.
  size_t at = 2;
  if (jpeg[2] == 0xFF && jpeg[3] == 0xE0) at = 4 + ((size_t{jpeg[4]} << 8) | jpeg[5]);
  Bytes segments;
  std::string text;
  while (gap > 0) {
    // A segment carries at most 65533 bytes; never leave a remainder under 4.
    size_t body = std::min<size_t>(gap - 4, 65533);
    if (gap - (body + 4) > 0 && gap - (body + 4) < 4) body -= 4;
    std::string payload;
    while (payload.size() < body) payload += comment + " ";
    payload.resize(body);
    size_t length = body + 2;
    segments.insert(segments.end(), {0xFF, 0xFE, static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length & 0xFF)});
    segments.insert(segments.end(), payload.begin(), payload.end());
    gap -= body + 4;
  }
  jpeg.insert(jpeg.begin() + static_cast<long>(at), segments.begin(), segments.end());
  return jpeg.size() == targetSize;
}

Bytes EncodeJpeg(const Canvas& canvas, size_t targetSize, const std::string& comment) {
  for (int quality = 100; quality >= 10; --quality)
    for (bool fullChroma : {true, false}) {
      Bytes jpeg = Compress(canvas, quality, fullChroma);
      if (PadJpeg(jpeg, targetSize, comment)) return jpeg;
    }
  throw std::runtime_error("JPEG picture does not fit its size: " + comment);
}

}  // namespace kelpora::assetgen
