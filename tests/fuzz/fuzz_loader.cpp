// LoadPixmap over memory, with one loader registered or the whole chain.
#include <cstddef>
#include <cstdint>

#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "stream/incbin.h"

namespace {

bool Init() {
#if defined(KELPORA_FUZZ_png)
  kelpora::InitPngLoader();
#elif defined(KELPORA_FUZZ_tga)
  kelpora::InitTgaLoader();
#elif defined(KELPORA_FUZZ_jpeg)
  kelpora::InitJpegLoader();
#elif defined(KELPORA_FUZZ_bmp)
  kelpora::InitBmpLoader();
#else
  kelpora::InitPixmapLoaders();
#endif
  // 256 x 256 pixels at most: larger declared sizes are declined. Every
  // decoding path is reached at this size, and a run that would fill
  // millions of pixels no longer costs a hundred small ones.
  kelpora::SetPixmapLoadLimit(int64_t(1) << 16);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Init();
  (void)ready;
  if (size > (1u << 24)) return 0;
  using namespace kelpora;
  Ref<TPixmap> pixmap = LoadPixmap(Ref<TObject>(CreateBlockStream(data, int(size), 1, 0)));
  if (pixmap) {
    // Touch every byte handed out so the sanitizer checks it.
    uint32_t sum = 0;
    const int32_t rowBytes = pixmap->width * BytesPerPixel(pixmap->format);
    for (int32_t y = 0; y < pixmap->height; ++y) {
      const uint8_t* row = pixmap->PixelPtr(0, y);
      for (int32_t i = 0; i < rowBytes; ++i) sum += row[i];
    }
    [[maybe_unused]] static volatile uint32_t sink;
    sink = sum;
  }
  return 0;
}
