// JPEG pictures through libjpeg.
#pragma once

#include "pixmap/loaders/pixmap_loader.h"

namespace kelpora {

// Greyscale gives PIXFMT_GREY8, colour PIXFMT_RGB24, other colour spaces
// none. A file cut short decodes as if it ended there.
class TJpegLoader : public TPixmapLoader {
 public:
  Ref<TPixmap> LoadFromStream(const Ref<TDataStream>& stream) override;
};

void InitJpegLoader();

}  // namespace kelpora
