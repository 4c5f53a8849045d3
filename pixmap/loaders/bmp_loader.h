// Windows bitmaps: uncompressed 1, 4, 8 and 24 bits with the 40-byte header.
#pragma once

#include "pixmap/loaders/pixmap_loader.h"

namespace kelpora {

// Always gives PIXFMT_RGB24. Files whose rows need far more bytes than the
// stream holds are declined before anything is allocated; other bit counts
// give a pixmap cleared to black.
class TBmpLoader : public TPixmapLoader {
 public:
  Ref<TPixmap> LoadFromStream(const Ref<TDataStream>& stream) override;
};

void InitBmpLoader();

}  // namespace kelpora
