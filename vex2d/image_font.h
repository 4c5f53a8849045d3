// Image fonts: one small picture per character, drawn one after another
// along the transformed x axis; and the built-in 8×16 font.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/array.h"
#include "runtime/object.h"
#include "vex2d/picture.h"

namespace kelpora {

// One character: its picture (none for an empty glyph), the distance to the
// next character's origin in unscaled pixels, and the image's box relative to
// the character origin on the line's top.
class TImageGlyph : public TObject {
 public:
  virtual Ref<TPicture> Picture();
  virtual float Advance();
  virtual void GetRect(int32_t& x, int32_t& y, int32_t& w, int32_t& h);

  Ref<TPicture> picture;
  float advance = 0;
  int32_t x = 0, y = 0;
  int32_t w = 0, h = 0;
};

using TImageGlyphArray = TArray<Ref<TImageGlyph>>;

class TImageFont : public TObject {
 public:
  virtual int32_t Style();
  virtual int32_t Height();
  virtual int32_t FirstChar();
  virtual int32_t CountGlyphs();
  // None for an index outside the font.
  virtual Ref<TImageGlyph> Glyph(int32_t index);
  // Draws the text from (x, y) along the axes (ix, jx) and (iy, jy) under the
  // current drawing state; characters outside the font are skipped without
  // advancing.
  virtual void Draw(std::u16string_view text, float x, float y, float ix, float iy, float jx,
                    float jy);

  // A font from the font loaders; none when no loader accepts the source.
  // Glyph pictures are filtered when style has bit 4.
  static Ref<TImageFont> Load(const Ref<TObject>& source, int32_t size, int32_t style);
  // The 8×16 font of codes 32 to 127 from the embedded "kelpfont.bin".
  static Ref<TImageFont> CreateBuiltIn();

  int32_t style = 0;
  int32_t height = 0;
  int32_t firstChar = 0;
  Ref<TImageGlyphArray> glyphs;
};

// With the current font, the drawing handle rotated and scaled with the text
// and the origin added after.
void DrawString(std::u16string_view text, float x, float y);
// Unscaled width: the sum of the advances, truncated after every character.
int32_t StringWidth(std::u16string_view text);
int32_t StringHeight();
// None selects the built-in font.
void SetTextFont(const Ref<TImageFont>& font);
Ref<TImageFont> GetTextFont();
Ref<TImageFont> LoadTextFont(const Ref<TObject>& source, int32_t size, int32_t style);
Ref<TImageFont> LoadTextFont(std::u16string_view url, int32_t size, int32_t style);

// The built-in font, made on first use and kept for the run.
Ref<TImageFont> BuiltInFont();

// Registers "kelpfont.bin" and hands the built-in font to the drawing state,
// which makes it current at every MakeCurrent (runs once).
void InitImageFontModule();

}  // namespace kelpora
