// Pictures: images of one or more equal-sized frames that keep their pixels
// and upload them to the current driver lazily, on the first draw after they
// were loaded or changed and after every opening or closing of graphics.
#pragma once

#include <cstdint>
#include <string_view>

#include "pixmap/pixmap.h"
#include "runtime/array.h"
#include "runtime/object.h"
#include "vex2d/draw_state.h"

namespace kelpora {

// Picture flags.
constexpr int32_t PICTURE_MASKED = 1;     // pixels of the mask colour are see-through
constexpr int32_t PICTURE_FILTERED = 2;   // smooth magnification
constexpr int32_t PICTURE_MIPMAPPED = 4;  // mip-mapped minification
constexpr int32_t PICTURE_DYNAMIC = 8;    // made by CreatePicture

using TPixmapArray = TArray<Ref<TPixmap>>;
using TImageFrameArray = TArray<Ref<TImageFrame>>;
using TIntArray = TArray<int32_t>;

class TPicture : public TObject {
 public:
  // The frame as the current driver has it, uploaded again when its pixels
  // changed or graphics were reopened since. Needs open graphics.
  virtual const Ref<TImageFrame>& Frame(int32_t index);
  // The frame's pixels, made as a blank RGBA pixmap when there are none yet.
  // Locking for writing makes the next draw upload the frame again.
  virtual Ref<TPixmap> Lock(int32_t index, bool read, bool write);
  // Stores the frame's pixels; a masked picture replaces an alpha-less
  // pixmap by a copy whose mask-coloured pixels are transparent.
  virtual void SetPixmap(int32_t index, Ref<TPixmap> pixmap);

  // None for a negative size or a frame count below 1.
  static Ref<TPicture> Create(int32_t width, int32_t height, int32_t frameCount, int32_t flags,
                              int32_t maskRed, int32_t maskGreen, int32_t maskBlue);
  // The source is a TPixmap or anything LoadPixmap opens; none when nothing decodes.
  static Ref<TPicture> Load(const Ref<TObject>& source, int32_t flags, int32_t maskRed,
                            int32_t maskGreen, int32_t maskBlue);
  // Cells are numbered left to right, then top to bottom; partial cells at the
  // right and bottom edges do not count. None when the sheet holds fewer than
  // firstCell + cellCount cells or the cell geometry is not positive.
  static Ref<TPicture> LoadCells(const Ref<TObject>& source, int32_t cellWidth, int32_t cellHeight,
                                 int32_t firstCell, int32_t cellCount, int32_t flags,
                                 int32_t maskRed, int32_t maskGreen, int32_t maskBlue);

  int32_t width = 0;
  int32_t height = 0;
  int32_t flags = 0;
  int32_t maskRed = 0, maskGreen = 0, maskBlue = 0;
  float handleX = 0, handleY = 0;
  Ref<TPixmapArray> pixmaps;
  Ref<TImageFrameArray> frames;
  Ref<TIntArray> generations;  // graphicsGeneration at the last upload; 0 = none
};

// Flags -1 stands for the default picture flags. The current mask colour is
// captured; with auto-centre on, the handle goes to the middle. None on failure.
Ref<TPicture> LoadPicture(const Ref<TObject>& source, int32_t flags);
Ref<TPicture> LoadPicture(std::u16string_view url, int32_t flags);
Ref<TPicture> LoadAnimPicture(const Ref<TObject>& source, int32_t cellWidth, int32_t cellHeight,
                              int32_t firstCell, int32_t cellCount, int32_t flags);
Ref<TPicture> LoadAnimPicture(std::u16string_view url, int32_t cellWidth, int32_t cellHeight,
                              int32_t firstCell, int32_t cellCount, int32_t flags);
// Always marked dynamic.
Ref<TPicture> CreatePicture(int32_t width, int32_t height, int32_t frameCount, int32_t flags);

// The picture's own handle lands on (x, y) plus the origin; the matrix applies.
void DrawPicture(const Ref<TPicture>& picture, float x, float y, int32_t frame);
// Stretched to w × h before the matrix.
void DrawPictureRect(const Ref<TPicture>& picture, float x, float y, float w, float h,
                     int32_t frame);
// Fills the clip rectangle with unscaled, unrotated copies of the frame, one
// of which sits where DrawPicture would put it.
void TilePicture(const Ref<TPicture>& picture, float x, float y, int32_t frame);

void SetPictureHandle(const Ref<TPicture>& picture, float x, float y);
void CentrePictureHandle(const Ref<TPicture>& picture);
void SetAutoCentreHandle(int32_t flag);
// -1 leaves the setting unchanged.
void SetDefaultPictureFlags(int32_t flags);

int32_t PictureWidth(const Ref<TPicture>& picture);
int32_t PictureHeight(const Ref<TPicture>& picture);
Ref<TPixmap> LockPicture(const Ref<TPicture>& picture, int32_t frame, bool read, bool write);
void UnlockPicture(const Ref<TPicture>& picture, int32_t frame);
// Copies the window area of the picture's size at (x, y) into the frame.
void GrabPicture(const Ref<TPicture>& picture, int32_t x, int32_t y, int32_t frame);

}  // namespace kelpora
