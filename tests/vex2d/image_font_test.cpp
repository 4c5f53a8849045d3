// Text in the built-in font drawn into a real window and read back.
#include "vex2d/image_font.h"

#include <gtest/gtest.h>

#include "picture_window.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

using testing::PictureWindowTest;

constexpr uint32_t kWhite = 0xFFFFFF;

bool FontBit(char16_t c, int column, int row) {
  const uint8_t* bits = FindResourceData(u"kelpfont.bin");
  return (bits[row * 96 + (c - 32)] >> column) & 1;
}

class ImageFontTest : public PictureWindowTest {
 protected:
  // Pixel (column, row) of the glyph for c lands on the window at
  // origin + column·(ix, jx) + row·(iy, jy), sampled at the pixel's centre.
  void ExpectGlyph(const Ref<TPixmap>& screen, char16_t c, int ox, int oy, int ix, int jx) {
    int iy = -jx, jy = ix;
    for (int row = 0; row < 16; ++row)
      for (int column = 0; column < 8; ++column) {
        int x = ox + column * ix + row * iy - (iy < 0 ? 1 : 0);
        int y = oy + column * jx + row * jy;
        ASSERT_EQ(Rgb(screen, x, y) == kWhite, FontBit(c, column, row))
            << static_cast<char>(c) << " at " << column << "," << row;
      }
  }
};

TEST_F(ImageFontTest, BuiltInFontFile) {
  ASSERT_EQ(FindResourceSize(u"kelpfont.bin"), 1536);
  for (char16_t c = 33; c < 127; ++c) {
    int set = 0;
    for (int row = 0; row < 16; ++row)
      for (int column = 0; column < 8; ++column) set += FontBit(c, column, row);
    EXPECT_GT(set, 1) << "printable character " << static_cast<char>(c) << " is drawn";
  }
  for (int row = 0; row < 16; ++row)
    for (int column = 0; column < 8; ++column) EXPECT_FALSE(FontBit(u' ', column, row));
  // Distinct shapes for look-alikes.
  auto rows = [](char16_t c) {
    std::string out;
    for (int row = 0; row < 16; ++row)
      out += static_cast<char>(FindResourceData(u"kelpfont.bin")[row * 96 + c - 32]);
    return out;
  };
  EXPECT_NE(rows(u'O'), rows(u'0'));
  EXPECT_NE(rows(u'l'), rows(u'1'));
  EXPECT_NE(rows(u'I'), rows(u'l'));
}

TEST_F(ImageFontTest, BuiltInFontIsCurrentAfterEveryMakeCurrent) {
  Ref<TImageFont> builtIn = GetTextFont();
  ASSERT_TRUE(builtIn);
  EXPECT_EQ(builtIn.get(), BuiltInFont().get());
  EXPECT_EQ(builtIn->Style(), 0);
  EXPECT_EQ(builtIn->Height(), 16);
  EXPECT_EQ(builtIn->FirstChar(), 32);
  EXPECT_EQ(builtIn->CountGlyphs(), 96);
  Ref<TImageGlyph> space = builtIn->Glyph(0);
  EXPECT_EQ(space->Advance(), 8.0f);
  int32_t x, y, w, h;
  space->GetRect(x, y, w, h);
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 16);
  Ref<TPixmap> spacePixels = space->Picture()->Lock(0, true, false);
  for (int py = 0; py < 16; ++py)
    for (int px = 0; px < 8; ++px) EXPECT_EQ(spacePixels->PixelAt(px, py), 0u);
  EXPECT_EQ(space->Picture()->flags, 0);
  EXPECT_FALSE(builtIn->Glyph(96));
  EXPECT_FALSE(builtIn->Glyph(-1));

  auto other = MakeRef<TImageFont>();
  other->height = 5;
  other->glyphs = MakeArray<Ref<TImageGlyph>>(0);
  SetTextFont(other);
  EXPECT_EQ(StringHeight(), 5);
  CurrentCanvas()->Present();
  CurrentCanvas()->MakeCurrent();
  EXPECT_EQ(GetTextFont().get(), builtIn.get());
  SetTextFont(other);
  SetTextFont(nullptr);
  EXPECT_EQ(GetTextFont().get(), builtIn.get());
  CloseCanvas();
  OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  EXPECT_EQ(GetTextFont().get(), builtIn.get()) << "kept for the whole run";
}

TEST_F(ImageFontTest, TextDrawnAtItsPlaceWithHandleAndOrigin) {
  SetDrawOrigin(3, 4);
  DrawString(u"Ag", 20, 30);
  Ref<TPixmap> screen = Screen();
  ExpectGlyph(screen, u'A', 23, 34, 1, 0);
  ExpectGlyph(screen, u'g', 31, 34, 1, 0);
  // The drawing handle is subtracted before the transform.
  ClearScreen();
  SetDrawOrigin(0, 0);
  SetDrawHandle(8, 2);
  DrawString(u"Ag", 20, 30);
  screen = Screen();
  ExpectGlyph(screen, u'A', 12, 28, 1, 0);
  ExpectGlyph(screen, u'g', 20, 28, 1, 0);
  // The glyphs follow the current colour.
  ClearScreen();
  SetDrawHandle(0, 0);
  SetDrawColor(255, 0, 0);
  DrawString(u"W", 0, 0);
  EXPECT_GT(Count(Screen(), 0xFF0000), 10);
  EXPECT_EQ(Count(Screen(), kWhite), 0);
}

TEST_F(ImageFontTest, RotatedTextRunsDownwards) {
  SetDrawRotation(90);
  DrawString(u"Hi!", 100, 20);
  Ref<TPixmap> screen = Screen();
  // Each character's origin moves by (0, 8); the glyph's rows run leftwards.
  ExpectGlyph(screen, u'H', 100, 20, 0, 1);
  ExpectGlyph(screen, u'i', 100, 28, 0, 1);
  ExpectGlyph(screen, u'!', 100, 36, 0, 1);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 101; x < kWidth; ++x) ASSERT_NE(Rgb(screen, x, y), kWhite);
}

TEST_F(ImageFontTest, CodesOutsideTheFontAreSkippedWithoutAdvance) {
  DrawString(u"AB", 10, 10);
  Ref<TPixmap> plain = Screen();
  ClearScreen();
  DrawString(
      u"\x01"
      u"A\x1f\x80\u00e9\uffffB\x7f",
      10, 10);
  Ref<TPixmap> mixed = Screen();
  // Code 127 is in the font: drawn after B.
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < 26; ++x) ASSERT_EQ(Rgb(mixed, x, y), Rgb(plain, x, y)) << x << "," << y;
  EXPECT_EQ(StringWidth(u"\x01"
                        u"A\x1f\x80\u00e9B"),
            16);
  EXPECT_EQ(StringWidth(u"FPS = "), 48);
  EXPECT_EQ(StringWidth(u""), 0);
  EXPECT_EQ(StringHeight(), 16);
}

TEST_F(ImageFontTest, WidthsTruncateAfterEveryCharacter) {
  auto font = MakeRef<TImageFont>();
  font->firstChar = 65;
  font->glyphs = MakeArray<Ref<TImageGlyph>>(2);
  for (int i = 0; i < 2; ++i) {
    (*font->glyphs)[i] = MakeRef<TImageGlyph>();
    (*font->glyphs)[i]->advance = 2.75f;
  }
  SetTextFont(font);
  EXPECT_EQ(StringWidth(u"AAA"), 6) << "2 + 2 + 2, not 8.25";
  EXPECT_EQ(StringWidth(u"ABC"), 4);
  DrawString(u"AB", 0, 0);  // glyphs without pictures only advance
  EXPECT_EQ(Count(Screen(), 0), kWidth * kHeight);
}

}  // namespace
}  // namespace kelpora
