#include "vex2d/image_font.h"

#include <cmath>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/incbin.h"
#include "vex2d/outline_font.h"

extern "C" {
extern const unsigned char kelpora_kelpfont[];
extern const unsigned char kelpora_kelpfont_end[];
}

namespace kelpora {

namespace {

constexpr int32_t kBuiltInGlyphs = 96;
constexpr int32_t kBuiltInHeight = 16;

Ref<TImageFont>& BuiltInSlot() {
  static auto* font = new Ref<TImageFont>();
  return *font;
}

Ref<TImageFont> MakeFont(int32_t style, int32_t height, int32_t firstChar, int32_t count) {
  auto font = MakeRef<TImageFont>();
  font->style = style;
  font->height = height;
  font->firstChar = firstChar;
  font->glyphs = MakeArray<Ref<TImageGlyph>>(static_cast<size_t>(count));
  return font;
}

Ref<TImageFont> CurrentFont() { return RefCast<TImageFont>(drawState.font); }

}  // namespace

Ref<TPicture> TImageGlyph::Picture() { return picture; }
float TImageGlyph::Advance() { return advance; }

void TImageGlyph::GetRect(int32_t& outX, int32_t& outY, int32_t& outW, int32_t& outH) {
  outX = x;
  outY = y;
  outW = w;
  outH = h;
}

int32_t TImageFont::Style() { return style; }
int32_t TImageFont::Height() { return height; }
int32_t TImageFont::FirstChar() { return firstChar; }
int32_t TImageFont::CountGlyphs() { return static_cast<int32_t>(glyphs->Length()); }

Ref<TImageGlyph> TImageFont::Glyph(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= glyphs->Length()) return nullptr;
  return (*glyphs)[static_cast<size_t>(index)];
}

void TImageFont::Draw(std::u16string_view text, float x, float y, float ix, float iy, float jx,
                      float jy) {
  for (char16_t c : text) {
    Ref<TImageGlyph> glyph = Glyph(static_cast<int32_t>(c) - firstChar);
    if (!glyph) continue;
    auto fx = static_cast<float>(glyph->x), fy = static_cast<float>(glyph->y);
    auto gx = static_cast<float>(std::trunc(fx * ix + fy * iy));
    auto gy = static_cast<float>(std::trunc(fx * jx + fy * jy));
    if (const Ref<TPicture>& picture = glyph->picture) {
      picture->Frame(0)->Draw(0, 0, static_cast<float>(picture->width),
                              static_cast<float>(picture->height), x + gx, y + gy);
    }
    x += ix * glyph->advance;
    y += jx * glyph->advance;
  }
}

Ref<TImageFont> TImageFont::Load(const Ref<TObject>& source, int32_t size, int32_t style) {
  Ref<TFontSource> from = LoadFont(source, size, style);
  if (!from) return nullptr;
  int32_t count = std::max(from->CountGlyphs(), 0);
  Ref<TImageFont> font = MakeFont(from->Style(), from->Height(), from->FirstChar(), count);
  int32_t pictureFlags = (style & 4) ? PICTURE_FILTERED : 0;
  for (int32_t i = 0; i < count; ++i) {
    Ref<TFontGlyph> source = from->Glyph(i);
    auto glyph = MakeRef<TImageGlyph>();
    if (source) {
      glyph->advance = source->Advance();
      source->GetRect(glyph->x, glyph->y, glyph->w, glyph->h);
      if (Ref<TPixmap> pixmap = source->Pixmap()) {
        glyph->picture = TPicture::Load(pixmap->Duplicate(), pictureFlags, 0, 0, 0);
      }
    }
    (*font->glyphs)[static_cast<size_t>(i)] = glyph;
  }
  return font;
}

Ref<TImageFont> TImageFont::CreateBuiltIn() {
  InitImageFontModule();  // registers the bitmap
  const uint8_t* bits = FindResourceData(u"kelpfont.bin");
  // A program that registered a shorter block under the name first must not
  // make us read past it.
  if (FindResourceSize(u"kelpfont.bin") < kBuiltInGlyphs * kBuiltInHeight) bits = kelpora_kelpfont;
  Ref<TImageFont> font = MakeFont(0, kBuiltInHeight, 32, kBuiltInGlyphs);
  Ref<TPixmap> sheet = MakePixmap(8 * kBuiltInGlyphs, kBuiltInHeight, PIXFMT_RGBA32, 4);
  for (int32_t row = 0; row < kBuiltInHeight; ++row) {
    auto* out = reinterpret_cast<uint32_t*>(sheet->PixelPtr(0, row));
    for (int32_t j = 0; j < kBuiltInGlyphs; ++j) {
      uint8_t byte = bits[row * kBuiltInGlyphs + j];
      for (int32_t k = 0; k < 8; ++k) out[8 * j + k] = (byte >> k) & 1 ? 0xFFFFFFFFu : 0u;
    }
  }
  for (int32_t i = 0; i < kBuiltInGlyphs; ++i) {
    auto glyph = MakeRef<TImageGlyph>();
    glyph->advance = 8.0f;
    glyph->w = 8;
    glyph->h = kBuiltInHeight;
    glyph->picture =
        TPicture::Load(sheet->SubRegion(8 * i, 0, 8, kBuiltInHeight)->Duplicate(), 0, 0, 0, 0);
    (*font->glyphs)[static_cast<size_t>(i)] = glyph;
  }
  return font;
}

void DrawString(std::u16string_view text, float x, float y) {
  const TDrawState& s = drawState;
  CurrentFont()->Draw(text, x + s.originX + s.handleX * s.ix + s.handleY * s.iy,
                      y + s.originY + s.handleX * s.jx + s.handleY * s.jy, s.ix, s.iy, s.jx, s.jy);
}

int32_t StringWidth(std::u16string_view text) {
  Ref<TImageFont> font = CurrentFont();
  float width = 0;
  for (char16_t c : text) {
    Ref<TImageGlyph> glyph = font->Glyph(static_cast<int32_t>(c) - font->firstChar);
    if (glyph) width = std::trunc(width + glyph->advance);
  }
  return static_cast<int32_t>(width);
}

int32_t StringHeight() { return CurrentFont()->Height(); }

void SetTextFont(const Ref<TImageFont>& font) {
  drawState.font = font ? Ref<TObject>(font) : Ref<TObject>(BuiltInFont());
}

Ref<TImageFont> GetTextFont() { return CurrentFont(); }

Ref<TImageFont> LoadTextFont(const Ref<TObject>& source, int32_t size, int32_t style) {
  TLoadAttempt attempt(u"LoadTextFont", SourceName(source));
  return attempt.Finish(TImageFont::Load(source, size, style));
}

Ref<TImageFont> LoadTextFont(std::u16string_view url, int32_t size, int32_t style) {
  return LoadTextFont(BoxString(String(url)), size, style);
}

Ref<TImageFont> BuiltInFont() {
  Ref<TImageFont>& font = BuiltInSlot();
  if (!font) font = TImageFont::CreateBuiltIn();
  return font;
}

void InitImageFontModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitIncbinModule();
  InitOutlineFontModule();
  RegisterResource(u"kelpfont.bin", kelpora_kelpfont,
                   static_cast<int>(kelpora_kelpfont_end - kelpora_kelpfont));
  SetBuiltInFontMaker([]() -> Ref<TObject> { return BuiltInFont(); });
}

}  // namespace kelpora
