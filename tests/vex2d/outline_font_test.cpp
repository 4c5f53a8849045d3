// Outline and bitmap font files read through the stream layer by FreeType.
#include "vex2d/outline_font.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <vector>

#include "picture_window.h"
#include "runtime/text.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

using testing::PictureWindowTest;

constexpr char16_t kDejaVu[] = u"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr char kDejaVuPath[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// A bitmap-only face with one strike, 20 pixels high (package xfonts-base).
constexpr char16_t kFixedPcf[] = u"/usr/share/fonts/X11/misc/10x20.pcf.gz";

const std::vector<uint8_t>& DejaVuBytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::ifstream in(kDejaVuPath, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return bytes;
}

Ref<TFreeTypeGlyph> GlyphOf(const Ref<TFreeTypeFont>& font, char16_t c) {
  return (*font->glyphs)[c - 32];
}

class OutlineFontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitOutlineFontModule();
    InitIncbinModule();
  }
};

TEST_F(OutlineFontTest, DejaVuFromAFile) {
  Ref<TFreeTypeFont> font = TFreeTypeFont::Load(kDejaVu, 24, 7);
  ASSERT_TRUE(font);
  EXPECT_EQ(font->Style(), 7);
  EXPECT_EQ(font->FirstChar(), 32);
  EXPECT_EQ(font->CountGlyphs(), 224);
  EXPECT_GE(font->Height(), 24);
  EXPECT_LE(font->Height(), 32);
  EXPECT_GT(font->ascender, 15);
  EXPECT_LT(font->descender, 0);

  Ref<TFreeTypeGlyph> space = GlyphOf(font, u' ');
  EXPECT_GT(space->Advance(), 4);
  EXPECT_FALSE(space->Pixmap()) << "no pixels for a blank glyph";
  EXPECT_EQ(space->w, 0);

  Ref<TFreeTypeGlyph> a = GlyphOf(font, u'A');
  Ref<TPixmap> pixels = a->Pixmap();
  ASSERT_TRUE(pixels);
  EXPECT_EQ(pixels->format, PIXFMT_ALPHA8);
  EXPECT_EQ(pixels->width, a->w);
  EXPECT_EQ(pixels->height, a->h);
  EXPECT_EQ(pixels->pitch % 4, 0);
  EXPECT_GT(a->h, 14);
  EXPECT_EQ(a->y, font->ascender - a->h) << "A sits on the baseline";
  int partial = 0, full = 0;
  for (int y = 0; y < pixels->height; ++y)
    for (int x = 0; x < pixels->width; ++x) {
      uint8_t v = *pixels->PixelPtr(x, y);
      partial += v > 0 && v < 255;
      full += v == 255;
    }
  EXPECT_GT(partial, 10) << "anti-aliased edges";
  EXPECT_GT(full, 10);
  // Codes 128 to 255 are looked up as the same numbers.
  EXPECT_TRUE(GlyphOf(font, u'\u00e9')->Pixmap());
  EXPECT_GT(GlyphOf(font, u'\u00e9')->Advance(), 5);
  // A narrower glyph has a smaller advance.
  EXPECT_LT(GlyphOf(font, u'i')->Advance(), GlyphOf(font, u'W')->Advance());
}

TEST_F(OutlineFontTest, DejaVuFromAnEmbeddedBlockMatchesTheFile) {
  const std::vector<uint8_t>& bytes = DejaVuBytes();
  ASSERT_GT(bytes.size(), 100000u);
  RegisterResource(u"fonts/DejaVuSans.ttf", bytes.data(), static_cast<int>(bytes.size()));
  Ref<TFontSource> embedded = LoadFont(BoxString(u"incbin::fonts/DejaVuSans.ttf"), 16, 0);
  Ref<TFontSource> file = LoadFont(BoxString(kDejaVu), 16, 0);
  ASSERT_TRUE(embedded);
  ASSERT_TRUE(file);
  EXPECT_EQ(embedded->Height(), file->Height());
  for (int i = 0; i < 224; ++i) {
    Ref<TFontGlyph> e = embedded->Glyph(i), f = file->Glyph(i);
    int32_t ex, ey, ew, eh, fx, fy, fw, fh;
    e->GetRect(ex, ey, ew, eh);
    f->GetRect(fx, fy, fw, fh);
    ASSERT_EQ(e->Advance(), f->Advance()) << i;
    ASSERT_EQ(ex, fx);
    ASSERT_EQ(ey, fy);
    ASSERT_EQ(ew, fw);
    ASSERT_EQ(eh, fh);
    ASSERT_EQ(static_cast<bool>(e->Pixmap()), static_cast<bool>(f->Pixmap())) << i;
    if (!e->Pixmap()) continue;
    for (int y = 0; y < eh; ++y) {
      ASSERT_EQ(0, std::memcmp(e->Pixmap()->PixelPtr(0, y), f->Pixmap()->PixelPtr(0, y), ew));
    }
  }
  EXPECT_FALSE(embedded->Glyph(224));
}

TEST_F(OutlineFontTest, BitmapOnlyFaceStepsItsSizeDown) {
  Ref<TFreeTypeFont> font = TFreeTypeFont::Load(kFixedPcf, 30, 0);
  ASSERT_TRUE(font) << "xfonts-base provides the face";
  EXPECT_EQ(font->Height(), 20) << "stepped down from 30 to the 20 pixel strike";
  Ref<TFreeTypeGlyph> m = GlyphOf(font, u'M');
  EXPECT_EQ(m->Advance(), 10);
  ASSERT_TRUE(m->Pixmap());
  EXPECT_EQ(m->Pixmap()->format, PIXFMT_ALPHA8);
  int set = 0;
  for (int y = 0; y < m->h; ++y)
    for (int x = 0; x < m->w; ++x) {
      uint8_t v = *m->Pixmap()->PixelPtr(x, y);
      ASSERT_TRUE(v == 0 || v == 255) << "one-bit pixels become 0 or 255";
      set += v == 255;
    }
  EXPECT_GT(set, 20);
  // No strike at or below 19 pixels: nothing is accepted.
  EXPECT_FALSE(TFreeTypeFont::Load(kFixedPcf, 19, 0));
}

TEST_F(OutlineFontTest, FilesThatAreNotFontsGiveNone) {
  EXPECT_FALSE(TFreeTypeFont::Load(u"/nonexistent/font.ttf", 12, 0));
  EXPECT_FALSE(TFreeTypeFont::Load(u"incbin::fonts/none.ttf", 12, 0));
  static const uint8_t text[] = "this is not a font file at all";
  RegisterResource(u"fonts/text.ttf", text, sizeof text);
  EXPECT_FALSE(TFreeTypeFont::Load(u"incbin::fonts/text.ttf", 12, 0));
  RegisterResource(u"fonts/empty.ttf", text, 0);
  EXPECT_FALSE(TFreeTypeFont::Load(u"incbin::fonts/empty.ttf", 12, 0));

  // Truncated copies of a real font: none or a font, never a read past the end
  // (the sanitizer build checks the last part).
  const std::vector<uint8_t>& bytes = DejaVuBytes();
  for (size_t length :
       {size_t{12}, size_t{300}, size_t{4096}, bytes.size() / 3, bytes.size() - 1}) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(length));
    Ref<TBlockStream> stream = CreateBlockStream(cut.data(), static_cast<int>(cut.size()), 1, 0);
    Ref<TFontSource> font = LoadFont(Ref<TObject>(stream), 12, 0);
    EXPECT_FALSE(font) << "a stream URL is not a string";
    String name = u"fonts/cut" + FormatInt(static_cast<int64_t>(length));
    static std::deque<std::vector<uint8_t>> kept;  // embedded blocks live forever
    kept.push_back(std::move(cut));
    RegisterResource(name, kept.back().data(), static_cast<int>(kept.back().size()));
    Ref<TFreeTypeFont> loaded = TFreeTypeFont::Load(u"incbin::" + name, 12, 0);
    if (length < 4096) {
      EXPECT_FALSE(loaded) << length;
    }
  }
}

// Declines everything and counts the requests it saw.
class TCountingLoader : public TFontLoader {
 public:
  Ref<TFontSource> LoadFont(const Ref<TObject>&, int32_t, int32_t) override {
    ++calls;
    return nullptr;
  }
  int calls = 0;
};

TEST_F(OutlineFontTest, LoaderListIsAskedNewestFirst) {
  auto counting = MakeRef<TCountingLoader>();
  RegisterFontLoader(counting);
  RegisterFontLoader(counting);  // already linked: not linked again
  EXPECT_TRUE(LoadFont(BoxString(kDejaVu), 10, 0)) << "falls through to FreeType";
  EXPECT_EQ(counting->calls, 1);
  EXPECT_FALSE(LoadFont(BoxString(u""), 10, 0));
  EXPECT_FALSE(LoadFont(nullptr, 10, 0));
  EXPECT_EQ(counting->calls, 3);

  // Registering the oldest loader again must not turn the list into a ring.
  Ref<TFontLoader> oldest = counting;
  while (oldest->next) oldest = oldest->next;
  RegisterFontLoader(oldest);
  EXPECT_FALSE(oldest->next);
  EXPECT_FALSE(LoadFont(BoxString(u"/nonexistent.ttf"), 10, 0));
}

class OutlineTextTest : public PictureWindowTest {};

TEST_F(OutlineTextTest, LoadedFontDrawsAndMeasures) {
  Ref<TImageFont> font = LoadTextFont(kDejaVu, 20, 4);
  ASSERT_TRUE(font);
  EXPECT_EQ(font->Style(), 4);
  EXPECT_EQ(font->FirstChar(), 32);
  EXPECT_EQ(font->CountGlyphs(), 224);
  EXPECT_FALSE(font->Glyph(0)->Picture()) << "space: advance only";
  EXPECT_GT(font->Glyph(0)->Advance(), 0);
  Ref<TPicture> a = font->Glyph('A' - 32)->Picture();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->flags, PICTURE_FILTERED) << "style bit 4 filters the glyphs";
  EXPECT_EQ(LoadTextFont(kDejaVu, 20, 0)->Glyph('A' - 32)->Picture()->flags, 0);
  EXPECT_FALSE(LoadTextFont(u"/nonexistent.ttf", 20, 0));

  SetTextFont(font);
  SetBlendMode(BLEND_ALPHA);
  EXPECT_EQ(StringHeight(), font->Height());
  int32_t width = StringWidth(u"HH");
  EXPECT_EQ(width, static_cast<int32_t>(std::trunc(std::trunc(font->Glyph('H' - 32)->Advance()) +
                                                   font->Glyph('H' - 32)->Advance())));
  DrawString(u"HH", 50, 50);
  Ref<TPixmap> screen = Screen();
  int x0 = kWidth, x1 = -1, y0 = kHeight, y1 = -1;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      if (Rgb(screen, x, y) != 0) {
        x0 = std::min(x0, x), x1 = std::max(x1, x);
        y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  EXPECT_GE(x0, 50);
  EXPECT_LE(x1, 50 + width + 1);
  EXPECT_GE(y0, 50) << "glyph boxes hang from the line's top";
  EXPECT_LE(y1, 50 + font->Height());
  EXPECT_GT(y1 - y0, 10);
}

}  // namespace
}  // namespace kelpora
