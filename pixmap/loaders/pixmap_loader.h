// Turning bytes into pixmaps: the loader chain and LoadPixmap.
#pragma once

#include <cstdint>
#include <string_view>

#include "pixmap/pixmap.h"
#include "runtime/object.h"

namespace kelpora {

class TDataStream;

// One picture format. LoadFromStream reads from the stream's current position
// and answers none when the data is not in its format or cannot be decoded; it
// never closes the stream. Creating a loader (always with MakeRef) links it in
// front of the process-wide list, so the newest loader is asked first.
class TPixmapLoader : public TObject {
 public:
  TPixmapLoader();
  virtual Ref<TPixmap> LoadFromStream(const Ref<TDataStream>& stream) = 0;

  Ref<TPixmapLoader> next;  // created before this one
};

// The newest loader; follow `next` for the older ones.
Ref<TPixmapLoader> FirstPixmapLoader();

// Asks each loader in turn until one decodes the source: a URL string or an
// open stream. Stream errors inside a loader count as declining. None when the
// source does not open, cannot report its position, or no loader accepts it.
Ref<TPixmap> LoadPixmap(const Ref<TObject>& source);
Ref<TPixmap> LoadPixmap(std::u16string_view url);

// Largest picture, in pixels, that the loaders will decode (8192 x 8192 at
// start); 0 means no limit beyond what fits 32-bit sizes. Larger declared
// sizes are declined before anything is allocated.
void SetPixmapLoadLimit(int64_t pixels);
int64_t PixmapLoadLimit();
// True when a width x height picture in `format` may be made: positive sizes
// within the limit whose pixmap memory fits 32 bits.
bool PixmapSizeAllowed(int64_t width, int64_t height, int32_t format);
// Bytes from the stream's position to its end (0 when unknown).
int64_t BytesLeft(const Ref<TDataStream>& stream);

// Registers the four loaders so that they are asked PNG, Targa, JPEG, BMP.
void InitPixmapLoaders();

}  // namespace kelpora
