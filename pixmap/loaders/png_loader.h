// PNG pictures through libpng.
#pragma once

#include "pixmap/loaders/pixmap_loader.h"

namespace kelpora {

// 16-bit samples are cut to 8, palettes and low-bit grey expanded, and a
// transparency chunk becomes alpha. Corrupt or truncated files give none.
class TPngLoader : public TPixmapLoader {
 public:
  Ref<TPixmap> LoadFromStream(const Ref<TDataStream>& stream) override;
};

void InitPngLoader();

}  // namespace kelpora
