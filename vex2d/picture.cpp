#include "vex2d/picture.h"

#include <algorithm>
#include <cmath>

#include "pixmap/loaders/pixmap_loader.h"
#include "runtime/load_errors.h"
#include "runtime/text.h"

namespace kelpora {

namespace {

Ref<TPixmap> SourcePixmap(const Ref<TObject>& source) {
  if (Ref<TPixmap> pixmap = RefCast<TPixmap>(source)) return pixmap;
  return LoadPixmap(source);
}

int32_t ResolveFlags(int32_t flags) { return flags == -1 ? drawState.defaultPictureFlags : flags; }

Ref<TPicture> AutoCentre(Ref<TPicture> picture) {
  if (picture && drawState.autoCentreHandle) CentrePictureHandle(picture);
  return picture;
}

// Where the first copy of a tile of `size` pixels starts so that copies every
// `size` pixels, one of them at `pos`, cover `clip` onwards. Always in
// (clip − size, clip].
int64_t TileStart(int64_t clip, int64_t size, int64_t pos) {
  int64_t a = clip - size + 1;
  int64_t r = (pos - a) % size;
  if (r < 0) r += size;
  return a + r;
}

// Keeps float-to-integer conversions defined for any drawing position.
int64_t FloorToInt(float v) {
  constexpr double kLimit = 1e15;
  double d = std::floor(static_cast<double>(v));
  if (!(d > -kLimit)) return static_cast<int64_t>(-kLimit);
  if (d > kLimit) return static_cast<int64_t>(kLimit);
  return static_cast<int64_t>(d);
}

}  // namespace

const Ref<TImageFrame>& TPicture::Frame(int32_t index) {
  int32_t& generation = (*generations)[index];
  if (generation != graphicsGeneration) {
    Ref<TPixmap> pixels = Lock(index, true, false);
    (*frames)[index] = CurrentVex2DDriver()->MakeFrame(pixels, flags);
    generation = graphicsGeneration;
  }
  return (*frames)[index];
}

Ref<TPixmap> TPicture::Lock(int32_t index, bool /*read*/, bool write) {
  Ref<TPixmap>& pixmap = (*pixmaps)[index];
  if (write) {
    (*generations)[index] = 0;
    (*frames)[index] = nullptr;
  }
  if (!pixmap) pixmap = MakePixmap(width, height, PIXFMT_RGBA32, 4);
  return pixmap;
}

void TPicture::SetPixmap(int32_t index, Ref<TPixmap> pixmap) {
  Ref<TPixmap>& slot = (*pixmaps)[index];
  if ((flags & PICTURE_MASKED) && pixmap && !FormatHasAlpha(pixmap->format)) {
    pixmap = MaskPixmapColour(pixmap, maskRed, maskGreen, maskBlue);
  }
  slot = std::move(pixmap);
  (*generations)[index] = 0;
  (*frames)[index] = nullptr;
}

Ref<TPicture> TPicture::Create(int32_t width, int32_t height, int32_t frameCount, int32_t flags,
                               int32_t maskRed, int32_t maskGreen, int32_t maskBlue) {
  if (width < 0 || height < 0 || frameCount < 1) return nullptr;
  auto picture = MakeRef<TPicture>();
  picture->width = width;
  picture->height = height;
  picture->flags = flags;
  picture->maskRed = maskRed;
  picture->maskGreen = maskGreen;
  picture->maskBlue = maskBlue;
  auto count = static_cast<size_t>(frameCount);
  picture->pixmaps = MakeArray<Ref<TPixmap>>(count);
  picture->frames = MakeArray<Ref<TImageFrame>>(count);
  picture->generations = MakeArray<int32_t>(count);
  return picture;
}

Ref<TPicture> TPicture::Load(const Ref<TObject>& source, int32_t flags, int32_t maskRed,
                             int32_t maskGreen, int32_t maskBlue) {
  Ref<TPixmap> pixmap = SourcePixmap(source);
  if (!pixmap) return nullptr;
  Ref<TPicture> picture =
      Create(pixmap->width, pixmap->height, 1, flags, maskRed, maskGreen, maskBlue);
  if (picture) picture->SetPixmap(0, pixmap);
  return picture;
}

Ref<TPicture> TPicture::LoadCells(const Ref<TObject>& source, int32_t cellWidth, int32_t cellHeight,
                                  int32_t firstCell, int32_t cellCount, int32_t flags,
                                  int32_t maskRed, int32_t maskGreen, int32_t maskBlue) {
  // Zero-sized cells would divide by zero; negative numbers reach outside the sheet.
  if (cellWidth < 1 || cellHeight < 1 || firstCell < 0 || cellCount < 1) return nullptr;
  Ref<TPixmap> sheet = SourcePixmap(source);
  if (!sheet) return nullptr;
  int64_t columns = sheet->width / cellWidth;
  int64_t rows = sheet->height / cellHeight;
  if (columns * rows < static_cast<int64_t>(firstCell) + cellCount) return nullptr;
  Ref<TPicture> picture =
      Create(cellWidth, cellHeight, cellCount, flags, maskRed, maskGreen, maskBlue);
  for (int32_t i = 0; i < cellCount; ++i) {
    int64_t cell = static_cast<int64_t>(firstCell) + i;
    auto x = static_cast<int32_t>(cellWidth * (cell % columns));
    auto y = static_cast<int32_t>(cellHeight * (cell / columns));
    picture->SetPixmap(i, sheet->SubRegion(x, y, cellWidth, cellHeight)->Duplicate());
  }
  return picture;
}

Ref<TPicture> LoadPicture(const Ref<TObject>& source, int32_t flags) {
  TLoadAttempt attempt(u"LoadPicture", SourceName(source));
  return attempt.Finish(AutoCentre(TPicture::Load(source, ResolveFlags(flags), drawState.maskRed,
                                   drawState.maskGreen, drawState.maskBlue)));
}

Ref<TPicture> LoadPicture(std::u16string_view url, int32_t flags) {
  return LoadPicture(BoxString(String(url)), flags);
}

Ref<TPicture> LoadAnimPicture(const Ref<TObject>& source, int32_t cellWidth, int32_t cellHeight,
                              int32_t firstCell, int32_t cellCount, int32_t flags) {
  TLoadAttempt attempt(u"LoadAnimPicture", SourceName(source));
  return attempt.Finish(AutoCentre(TPicture::LoadCells(source, cellWidth, cellHeight, firstCell,
                                                       cellCount, ResolveFlags(flags), drawState.maskRed,
                                                       drawState.maskGreen, drawState.maskBlue)));
}

Ref<TPicture> LoadAnimPicture(std::u16string_view url, int32_t cellWidth, int32_t cellHeight,
                              int32_t firstCell, int32_t cellCount, int32_t flags) {
  return LoadAnimPicture(BoxString(String(url)), cellWidth, cellHeight, firstCell, cellCount,
                         flags);
}

Ref<TPicture> CreatePicture(int32_t width, int32_t height, int32_t frameCount, int32_t flags) {
  return AutoCentre(TPicture::Create(width, height, frameCount,
                                     ResolveFlags(flags) | PICTURE_DYNAMIC, drawState.maskRed,
                                     drawState.maskGreen, drawState.maskBlue));
}

void DrawPicture(const Ref<TPicture>& picture, float x, float y, int32_t frame) {
  TPicture& p = *picture;
  p.Frame(frame)->Draw(-p.handleX, -p.handleY, -p.handleX + static_cast<float>(p.width),
                       -p.handleY + static_cast<float>(p.height), x + drawState.originX,
                       y + drawState.originY);
}

void DrawPictureRect(const Ref<TPicture>& picture, float x, float y, float w, float h,
                     int32_t frame) {
  TPicture& p = *picture;
  p.Frame(frame)->Draw(-p.handleX, -p.handleY, -p.handleX + w, -p.handleY + h,
                       x + drawState.originX, y + drawState.originY);
}

void TilePicture(const Ref<TPicture>& picture, float x, float y, int32_t frame) {
  TPicture& p = *picture;
  Ref<TImageFrame> image = p.Frame(frame);
  // An empty picture covers nothing, and its size would divide by zero below.
  if (p.width < 1 || p.height < 1) return;
  Ref<TVex2DDriver> driver = CurrentVex2DDriver();
  float px = x + drawState.originX - p.handleX;
  float py = y + drawState.originY - p.handleY;
  int64_t fx = FloorToInt(px), fy = FloorToInt(py);
  float fracX = px - std::floor(px), fracY = py - std::floor(py);
  int64_t startX = TileStart(drawState.clipX, p.width, fx);
  int64_t startY = TileStart(drawState.clipY, p.height, fy);
  int64_t endX = static_cast<int64_t>(drawState.clipX) + drawState.clipWidth;
  int64_t endY = static_cast<int64_t>(drawState.clipY) + drawState.clipHeight;
  auto w = static_cast<float>(p.width), h = static_cast<float>(p.height);
  driver->ApplyTransform(1, 0, 0, 1);
  try {
    for (int64_t row = startY; row < endY; row += p.height) {
      for (int64_t column = startX; column < endX; column += p.width) {
        image->Draw(0, 0, w, h, static_cast<float>(column) + fracX,
                    static_cast<float>(row) + fracY);
      }
    }
  } catch (...) {
    driver->ApplyTransform(drawState.ix, drawState.iy, drawState.jx, drawState.jy);
    throw;
  }
  driver->ApplyTransform(drawState.ix, drawState.iy, drawState.jx, drawState.jy);
}

void SetPictureHandle(const Ref<TPicture>& picture, float x, float y) {
  picture->handleX = x;
  picture->handleY = y;
}

void CentrePictureHandle(const Ref<TPicture>& picture) {
  picture->handleX = static_cast<float>(picture->width) * 0.5f;
  picture->handleY = static_cast<float>(picture->height) * 0.5f;
}

void SetAutoCentreHandle(int32_t flag) { drawState.autoCentreHandle = flag; }

void SetDefaultPictureFlags(int32_t flags) {
  if (flags != -1) drawState.defaultPictureFlags = flags;
}

int32_t PictureWidth(const Ref<TPicture>& picture) { return picture->width; }
int32_t PictureHeight(const Ref<TPicture>& picture) { return picture->height; }

Ref<TPixmap> LockPicture(const Ref<TPicture>& picture, int32_t frame, bool read, bool write) {
  return picture->Lock(frame, read, write);
}

void UnlockPicture(const Ref<TPicture>& /*picture*/, int32_t /*frame*/) {}

void GrabPicture(const Ref<TPicture>& picture, int32_t x, int32_t y, int32_t frame) {
  TPicture& p = *picture;
  Ref<TPixmap> pixmap = CurrentVex2DDriver()->ReadPixels(x, y, p.width, p.height);
  if (p.flags & PICTURE_MASKED) {
    pixmap = MaskPixmapColour(pixmap, drawState.maskRed, drawState.maskGreen, drawState.maskBlue);
  }
  p.SetPixmap(frame, pixmap);
}

}  // namespace kelpora
