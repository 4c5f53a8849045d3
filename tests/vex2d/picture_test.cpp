// Pictures drawn into a real window; every result is read back from its pixels.
#include "vex2d/picture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "picture_window.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

using testing::PictureWindowTest;

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;

struct Box {
  int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;  // inclusive
};

Box Bounds(const Ref<TPixmap>& screen, uint32_t rgb) {
  Box b;
  for (int y = 0; y < screen->height; ++y)
    for (int x = 0; x < screen->width; ++x)
      if ((screen->PixelAt(x, y) & 0xFFFFFF) == rgb) {
        b.x0 = std::min(b.x0, x);
        b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x);
        b.y1 = std::max(b.y1, y);
      }
  return b;
}

// 8 × 4, red with a green top-left pixel.
Ref<TPixmap> Marked() {
  Ref<TPixmap> p = PictureWindowTest::Filled(8, 4, 0xFFFF0000);
  p->SetPixelAt(0, 0, 0xFF00FF00);
  return p;
}

// A 24-bit BMP of w × h in one colour, as the loaders read it from a file.
std::vector<uint8_t> Bmp(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  int row = (w * 3 + 3) & ~3;
  std::vector<uint8_t> out(54 + row * h, 0);
  auto put32 = [&](int at, uint32_t v) { std::memcpy(&out[at], &v, 4); };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, static_cast<uint32_t>(out.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(w));
  put32(22, static_cast<uint32_t>(h));
  out[26] = 1;
  out[28] = 24;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* px = &out[54 + y * row + x * 3];
      px[0] = b;
      px[1] = g;
      px[2] = r;
    }
  return out;
}

class PictureTest : public PictureWindowTest {};

TEST_F(PictureTest, DrawnAtItsPlaceWithHandleOriginAndMatrix) {
  Ref<TPicture> picture = CreatePicture(8, 4, 1, 0);
  picture->SetPixmap(0, Marked());
  SetPictureHandle(picture, 2, 1);
  SetDrawOrigin(10, 5);
  SetDrawHandle(30, 30);  // the drawing handle does not apply to pictures
  DrawPicture(picture, 50, 40, 0);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Rgb(screen, 58, 44), kGreen);
  Box red = Bounds(screen, kRed);
  EXPECT_EQ(red.x0, 58);
  EXPECT_EQ(red.y0, 44);
  EXPECT_EQ(red.x1, 65);
  EXPECT_EQ(red.y1, 47);
  EXPECT_EQ(Count(screen, kRed), 31);

  // Rotated by 90 degrees about the handle: x runs down, y runs left.
  ClearScreen();
  SetDrawRotation(90);
  DrawPicture(picture, 50, 40, 0);
  screen = Screen();
  red = Bounds(screen, kRed);
  EXPECT_EQ(red.x0, 57);
  EXPECT_EQ(red.x1, 60);
  EXPECT_EQ(red.y0, 43);
  EXPECT_EQ(red.y1, 50);
  EXPECT_EQ(Rgb(screen, 60, 43), kGreen);
  EXPECT_EQ(Count(screen, kRed), 31);

  // Scaled by 2 and 3: 16 × 12 with the handle still on the drawing position.
  ClearScreen();
  SetDrawTransform(0, 2, 3);
  DrawPicture(picture, 50, 40, 0);
  screen = Screen();
  EXPECT_EQ(Count(screen, kRed) + Count(screen, kGreen), 16 * 12);
  EXPECT_EQ(Bounds(screen, kGreen).x0, 56);
  EXPECT_EQ(Bounds(screen, kGreen).y0, 42);
}

TEST_F(PictureTest, MaskedPicturesLeaveBlackSeeThrough) {
  Ref<TPixmap> pixels = Filled(10, 10, 0xFF000000, PIXFMT_RGB24);
  for (int x = 0; x < 10; ++x) pixels->SetPixelAt(x, 5, 0xFFFFFFFF);
  SetClearColor(0, 0, 255);
  ClearScreen();
  Ref<TPicture> masked = LoadPicture(Ref<TObject>(pixels), 1);
  Ref<TPicture> solid = LoadPicture(Ref<TObject>(pixels), 0);
  DrawPicture(masked, 10, 10, 0);
  DrawPicture(solid, 30, 10, 0);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Rgb(screen, 12, 12), kBlue) << "black is see-through when masked";
  EXPECT_EQ(Rgb(screen, 12, 15), kWhite);
  EXPECT_EQ(Rgb(screen, 32, 12), 0u) << "black is drawn when not masked";
  EXPECT_EQ(Count(screen, kWhite), 20);

  // The mask colour is the one current when the picture was made.
  SetTransparentColor(255, 255, 255);
  Ref<TPicture> whiteMasked = LoadPicture(Ref<TObject>(pixels), 1);
  EXPECT_EQ(whiteMasked->maskRed, 255);
  SetTransparentColor(0, 0, 0);
  ClearScreen();
  DrawPicture(whiteMasked, 10, 10, 0);
  screen = Screen();
  EXPECT_EQ(Rgb(screen, 12, 15), kBlue);
  EXPECT_EQ(Rgb(screen, 12, 12), 0u);

  // A pixmap with alpha is never masked.
  Ref<TPicture> withAlpha = LoadPicture(Ref<TObject>(Filled(4, 4, 0xFF000000)), 1);
  EXPECT_EQ(withAlpha->pixmaps->Data()[0]->PixelAt(1, 1), 0xFF000000u);
}

TEST_F(PictureTest, FilteredAndUnfilteredMagnificationAndStretching) {
  Ref<TPixmap> pixels = Filled(2, 1, 0xFF000000);
  pixels->SetPixelAt(1, 0, 0xFFFFFFFF);
  Ref<TPicture> sharp = LoadPicture(Ref<TObject>(pixels), 0);
  Ref<TPicture> smooth = LoadPicture(Ref<TObject>(pixels), 2);
  DrawPictureRect(sharp, 0, 10, 100, 10, 0);
  DrawPictureRect(smooth, 0, 30, 100, 10, 0);
  Ref<TPixmap> screen = Screen();
  int sharpGrey = 0, smoothGrey = 0;
  for (int x = 0; x < 100; ++x) {
    uint32_t a = Rgb(screen, x, 15), b = Rgb(screen, x, 35);
    sharpGrey += a != 0 && a != kWhite;
    smoothGrey += b != 0 && b != kWhite;
    EXPECT_EQ(a, x < 50 ? 0u : kWhite) << x;
  }
  EXPECT_EQ(sharpGrey, 0);
  EXPECT_GT(smoothGrey, 30) << "bilinear filtering blends across the middle";
  // Stretched exactly onto 100 × 10 pixels, nothing beyond.
  Box white = Bounds(screen, kWhite);
  EXPECT_EQ(white.y0, 10);
  EXPECT_EQ(white.y1, 39);
  EXPECT_EQ(Rgb(screen, 100, 15), 0u);
  EXPECT_EQ(Rgb(screen, 99, 19), kWhite);
  EXPECT_EQ(Rgb(screen, 99, 20), 0u);
}

TEST_F(PictureTest, TilingCoversTheClipRectangleExactly) {
  Ref<TPicture> picture = LoadPicture(Ref<TObject>(Marked()), 0);
  SetClipRect(30, 20, 70, 50);
  SetDrawRotation(45);  // tiles are never rotated
  // From x = -1 the copies sit at 23, 31, 39, ...: the clip's first column
  // is the last column of the copy at 23.
  TilePicture(picture, -1, 3, 0);
  Ref<TPixmap> screen = Screen();
  int covered = Count(screen, kRed) + Count(screen, kGreen);
  EXPECT_EQ(covered, 70 * 50);
  Box all = Bounds(screen, kRed);
  EXPECT_EQ(all.x0, 30);
  EXPECT_EQ(all.y0, 20);
  EXPECT_EQ(all.x1, 99);
  EXPECT_EQ(all.y1, 69);
  for (int y = 20; y < 70; ++y)
    for (int x = 30; x < 100; ++x) {
      bool marker = ((x + 1) % 8 == 0) && ((y - 3) % 4 == 0);
      ASSERT_EQ(Rgb(screen, x, y), marker ? kGreen : kRed) << x << "," << y;
    }
  // The matrix of the drawing state is back for later drawing.
  SetClipRect(0, 0, kWidth, kHeight);
  ClearScreen();
  FillRect(150, 100, 10, 10);
  EXPECT_GT(Count(Screen(), kWhite), 50);
  EXPECT_LT(Bounds(Screen(), kWhite).x0, 146) << "still rotated by 45 degrees";
}

TEST_F(PictureTest, TilingFromFarPositionsAndEmptyPictures) {
  Ref<TPicture> picture = LoadPicture(Ref<TObject>(Marked()), 0);
  for (float x : {-1e9f, -17.5f, 0.0f, 1234.0f, 3e12f}) {
    ClearScreen();
    TilePicture(picture, x, 2, 0);
    Ref<TPixmap> screen = Screen();
    EXPECT_EQ(Count(screen, kRed) + Count(screen, kGreen), kWidth * kHeight) << x;
  }
  Ref<TPicture> empty = CreatePicture(0, 0, 1, 0);
  ASSERT_TRUE(empty);
  ClearScreen();
  TilePicture(empty, 0, 0, 0);  // covers nothing, never divides by zero
  EXPECT_EQ(Count(Screen(), 0), kWidth * kHeight);
}

TEST_F(PictureTest, GrabPictureCopiesTheWindowArea) {
  SetDrawColor(0, 255, 0);
  FillRect(20, 20, 6, 3);
  Ref<TPicture> grabbed = CreatePicture(10, 10, 2, 0);
  GrabPicture(grabbed, 18, 18, 1);
  ClearScreen();
  SetDrawColor(255, 255, 255);
  DrawPicture(grabbed, 100, 100, 1);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Count(screen, kGreen), 18);
  Box green = Bounds(screen, kGreen);
  EXPECT_EQ(green.x0, 102);
  EXPECT_EQ(green.y0, 102);

  // A masked picture turns the black of the window into see-through.
  Ref<TPicture> masked = CreatePicture(10, 10, 1, 1);
  GrabPicture(masked, 98, 98, 0);
  SetClearColor(0, 0, 255);
  ClearScreen();
  DrawPicture(masked, 0, 0, 0);
  screen = Screen();
  EXPECT_EQ(Count(screen, kGreen), 18);
  EXPECT_EQ(Count(screen, kBlue), kWidth * kHeight - 18);
}

TEST_F(PictureTest, FramesUploadAgainAfterWritesAndReopening) {
  Ref<TPicture> picture = CreatePicture(4, 4, 1, 0);
  Ref<TPixmap> pixels = LockPicture(picture, 0, true, true);
  ASSERT_EQ(pixels->format, PIXFMT_RGBA32);
  EXPECT_EQ(pixels->PixelAt(3, 3), 0u) << "a new frame starts transparent black";
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) pixels->SetPixelAt(x, y, 0xFFFF0000);
  DrawPicture(picture, 10, 10, 0);
  TImageFrame* first = (*picture->frames)[0].get();
  EXPECT_EQ(Count(Screen(), kRed), 16);

  // Reading only: the uploaded frame stays, the change is not seen.
  pixels = LockPicture(picture, 0, true, false);
  pixels->SetPixelAt(0, 0, 0xFF00FF00);
  UnlockPicture(picture, 0);
  DrawPicture(picture, 10, 10, 0);
  EXPECT_EQ((*picture->frames)[0].get(), first);
  EXPECT_EQ(Rgb(Screen(), 10, 10), kRed);

  // Writing: uploaded again on the next draw.
  LockPicture(picture, 0, false, true);
  EXPECT_FALSE((*picture->frames)[0]);
  DrawPicture(picture, 10, 10, 0);
  EXPECT_EQ(Rgb(Screen(), 10, 10), kGreen);
  EXPECT_EQ((*picture->generations)[0], graphicsGeneration);

  // Closing and reopening graphics: the pixels survive, the frame is made anew.
  int32_t before = graphicsGeneration;
  CloseCanvas();
  OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  EXPECT_NE(graphicsGeneration, before);
  DrawPicture(picture, 20, 20, 0);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Rgb(screen, 20, 20), kGreen);
  EXPECT_EQ(Count(screen, kRed), 15);
  EXPECT_EQ((*picture->generations)[0], graphicsGeneration);

  // A picture loaded before graphics are open uploads on its first draw.
  CloseCanvas();
  Ref<TPicture> early = LoadPicture(Ref<TObject>(Filled(3, 3, 0xFF0000FF)), 0);
  OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  DrawPicture(early, 0, 0, 0);
  EXPECT_EQ(Count(Screen(), kBlue), 9);
}

TEST_F(PictureTest, AnimationSheetsCutIntoCells) {
  // 480 × 104, 6 columns of 80 with the cell number in each cell's red channel,
  // and an 8 pixel remainder at the bottom that is not a row of cells.
  Ref<TPixmap> sheet = MakePixmap(480, 112, PIXFMT_RGB24, 4);
  for (int y = 0; y < 112; ++y)
    for (int x = 0; x < 480; ++x) sheet->SetPixelAt(x, y, 0xFF000000u | ((x / 80 + 1) * 40u) << 16);
  Ref<TPicture> six = LoadAnimPicture(Ref<TObject>(sheet), 80, 104, 0, 6, 0);
  ASSERT_TRUE(six);
  EXPECT_EQ(PictureWidth(six), 80);
  EXPECT_EQ(PictureHeight(six), 104);
  ASSERT_EQ(six->pixmaps->Length(), 6u);
  for (int i = 0; i < 6; ++i) {
    Ref<TPixmap> cell = (*six->pixmaps)[i];
    EXPECT_EQ(cell->width, 80);
    EXPECT_EQ(cell->PixelAt(79, 103) & 0xFFFFFF, (i + 1) * 40u << 16) << i;
  }
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 80, 104, 0, 7, 0));
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 80, 104, 5, 2, 0));
  Ref<TPicture> tail = LoadAnimPicture(Ref<TObject>(sheet), 80, 104, 4, 2, 0);
  ASSERT_TRUE(tail);
  EXPECT_EQ((*tail->pixmaps)[1]->PixelAt(0, 0) & 0xFFFFFF, 240u << 16);

  // Two rows of twelve 40 × 52 cells: cell 13 is the second row's second cell.
  Ref<TPicture> small = LoadAnimPicture(Ref<TObject>(sheet), 40, 52, 13, 1, 0);
  ASSERT_TRUE(small);
  EXPECT_EQ((*small->pixmaps)[0]->PixelAt(0, 0) & 0xFFFFFF, 40u << 16);

  // Geometry that cannot cut the sheet gives none instead of dividing by zero.
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 0, 104, 0, 1, 0));
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 80, -1, 0, 1, 0));
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 80, 104, -1, 2, 0));
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 80, 104, 0, 0, 0));
  EXPECT_FALSE(LoadAnimPicture(Ref<TObject>(sheet), 1, 1, INT32_MAX, 2, 0));

  // Each cell draws as its own frame.
  DrawPicture(six, 0, 0, 2);
  EXPECT_EQ(Rgb(Screen(), 10, 10), 120u << 16);
  EXPECT_THROW(DrawPicture(six, 0, 0, 6), TArrayBoundsError);
}

TEST_F(PictureTest, LoadingFromUrlsWithDefaultsAndAutoCentre) {
  static const std::vector<uint8_t> square = Bmp(106, 106, 0, 0, 0);
  static const std::vector<uint8_t> bar = Bmp(5, 2, 0, 0, 0);
  RegisterResource(u"pictures/square.bmp", square.data(), static_cast<int>(square.size()));
  RegisterResource(u"pictures/bar.bmp", bar.data(), static_cast<int>(bar.size()));

  Ref<TPicture> plain = LoadPicture(u"incbin::pictures/square.bmp", -1);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->flags, 3) << "the default after OpenCanvas";
  EXPECT_EQ(plain->handleX, 0);

  SetDefaultPictureFlags(1);
  SetDefaultPictureFlags(-1);
  SetAutoCentreHandle(1);
  Ref<TPicture> centred = LoadPicture(u"incbin::pictures/square.bmp", -1);
  ASSERT_TRUE(centred);
  EXPECT_EQ(centred->flags, 1) << "masked but not filtered";
  EXPECT_EQ(centred->handleX, 53);
  EXPECT_EQ(centred->handleY, 53);
  Ref<TPicture> anim = LoadAnimPicture(u"incbin::pictures/bar.bmp", 1, 1, 0, 10, 2);
  ASSERT_TRUE(anim);
  EXPECT_EQ(anim->flags, 2);
  EXPECT_EQ(anim->handleX, 0.5f);
  Ref<TPicture> made = CreatePicture(7, 3, 2, -1);
  EXPECT_EQ(made->flags, 1 | 8);
  EXPECT_EQ(made->handleX, 3.5f);
  EXPECT_EQ(made->handleY, 1.5f);

  EXPECT_FALSE(LoadPicture(u"incbin::pictures/missing.bmp", -1));
  EXPECT_FALSE(LoadPicture(u"", 0));
  EXPECT_FALSE(CreatePicture(4, 4, 0, 0));
  EXPECT_FALSE(CreatePicture(-4, 4, 1, 0));

  // Drawn masked and centred: the black square vanishes over the clear colour.
  SetClearColor(0, 0, 255);
  ClearScreen();
  DrawPicture(centred, 100, 75, 0);
  EXPECT_EQ(Count(Screen(), kBlue), kWidth * kHeight);
}

}  // namespace
}  // namespace kelpora
