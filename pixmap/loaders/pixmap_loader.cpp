#include "pixmap/loaders/pixmap_loader.h"

#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "runtime/load_errors.h"
#include "stream/loader_chain.h"

namespace kelpora {

namespace {

TPixmapLoader* loaderHead = nullptr;
// 8192 x 8192: beyond any texture the drivers make, and it keeps a few bytes
// of corrupt or truncated header from claiming gigabytes.
constexpr int64_t DEFAULT_LOAD_LIMIT = int64_t(1) << 26;
int64_t loadLimit = DEFAULT_LOAD_LIMIT;

}  // namespace

TPixmapLoader::TPixmapLoader() {
  next = Ref<TPixmapLoader>(loaderHead);
  // The list holds every loader for the life of the process.
  Retain();
  loaderHead = this;
}

Ref<TPixmapLoader> FirstPixmapLoader() { return Ref<TPixmapLoader>(loaderHead); }

static Ref<TPixmap> LoadFromOpenStream(const Ref<TDataStream>& stream) {
  if (!stream) return {};
  const int start = stream->Pos();
  if (start == -1) {
    stream->Close();
    NoteLoadReason(u"the stream cannot report its position");
    return {};
  }
  return AskLoaders(u"picture", stream, start, FirstPixmapLoader(),
                    [](const Ref<TPixmapLoader>& loader, const Ref<TDataStream>& from) {
                      return loader->LoadFromStream(from);
                    });
}

Ref<TPixmap> LoadPixmap(const Ref<TObject>& source) {
  TLoadAttempt attempt(u"LoadPixmap", SourceName(source));
  return attempt.Finish(LoadFromOpenStream(OpenForReading(source)));
}

Ref<TPixmap> LoadPixmap(std::u16string_view url) {
  TLoadAttempt attempt(u"LoadPixmap", url);
  return attempt.Finish(LoadFromOpenStream(OpenForReading(url)));
}

void SetPixmapLoadLimit(int64_t pixels) { loadLimit = pixels > 0 ? pixels : 0; }
int64_t PixmapLoadLimit() { return loadLimit; }

bool PixmapSizeAllowed(int64_t width, int64_t height, int32_t format) {
  if (width <= 0 || height <= 0 || BytesPerPixel(format) == 0) return false;
  if (width > INT32_MAX || height > INT32_MAX) return false;
  if (loadLimit > 0 && width * height > loadLimit) return false;
  const int64_t pitch = (width * BytesPerPixel(format) + 3) / 4 * 4;
  return pitch <= INT32_MAX && pitch * height <= INT32_MAX;
}

int64_t BytesLeft(const Ref<TDataStream>& stream) {
  const int64_t left = int64_t(stream->Size()) - stream->Pos();
  return left > 0 ? left : 0;
}

void InitPixmapLoaders() {
  InitBmpLoader();
  InitJpegLoader();
  InitTgaLoader();
  InitPngLoader();
}

}  // namespace kelpora
