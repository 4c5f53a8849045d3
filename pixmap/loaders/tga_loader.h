// Targa pictures: uncompressed (type 2) and run-length (type 10) true colour.
#pragma once

#include "pixmap/loaders/pixmap_loader.h"

namespace kelpora {

// Depths 15, 16, 24 and 32, at most 4096 x 4096; rows are stored bottom-up
// whatever the header's origin says. 16-bit pixels with bit 15 set are clear.
class TTgaLoader : public TPixmapLoader {
 public:
  Ref<TPixmap> LoadFromStream(const Ref<TDataStream>& stream) override;
};

void InitTgaLoader();

}  // namespace kelpora
