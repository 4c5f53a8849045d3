// Fonts as font loaders deliver them, the process-wide loader list, and the
// FreeType loader that rasterises outline and bitmap font files read through
// the stream layer.
#pragma once

#include <cstdint>
#include <string_view>

#include "pixmap/pixmap.h"
#include "runtime/array.h"
#include "runtime/object.h"

namespace kelpora {

// One character of a font source. The pixmap (PIXFMT_ALPHA8, or none for an
// empty glyph) sits at (x, y) from the character origin on the line's top;
// the advance is in pixels.
class TFontGlyph : public TObject {
 public:
  virtual Ref<TPixmap> Pixmap() = 0;
  virtual float Advance() = 0;
  virtual void GetRect(int32_t& x, int32_t& y, int32_t& w, int32_t& h) = 0;
};

// A complete font: every glyph is ready, nothing is read from the file after
// the loader returns. Glyph i is character code FirstChar() + i.
class TFontSource : public TObject {
 public:
  virtual int32_t Style() = 0;
  virtual int32_t Height() = 0;
  virtual int32_t FirstChar() = 0;
  virtual int32_t CountGlyphs() = 0;
  virtual Ref<TFontGlyph> Glyph(int32_t index) = 0;
};

// Turns a URL into a font source at a pixel size, or none when it declines.
// Loaders form a list through `next`, newest first.
class TFontLoader : public TObject {
 public:
  virtual Ref<TFontSource> LoadFont(const Ref<TObject>& url, int32_t size, int32_t style) = 0;

  Ref<TFontLoader> next;
};

// Puts the loader at the head of the list; a loader already linked stays where it is.
void RegisterFontLoader(const Ref<TFontLoader>& loader);
// The first font any loader makes of the URL, newest loader first; none when all decline.
Ref<TFontSource> LoadFont(const Ref<TObject>& url, int32_t size, int32_t style);

class TFreeTypeGlyph : public TFontGlyph {
 public:
  Ref<TPixmap> Pixmap() override;
  float Advance() override;
  void GetRect(int32_t& x, int32_t& y, int32_t& w, int32_t& h) override;

  Ref<TPixmap> pixmap;
  float advance = 0;
  int32_t x = 0, y = 0;
  int32_t w = 0, h = 0;
};

using TFreeTypeGlyphArray = TArray<Ref<TFreeTypeGlyph>>;

// Character codes 32 to 255 rasterised once at load. Heights are whole pixels.
class TFreeTypeFont : public TFontSource {
 public:
  int32_t Style() override;
  int32_t Height() override;
  int32_t FirstChar() override;
  int32_t CountGlyphs() override;
  Ref<TFontGlyph> Glyph(int32_t index) override;

  // The face is read through OpenForReading, so "incbin::" names work. A
  // size the face refuses is stepped down a pixel at a time; below 1 no size
  // is set. None when the file does not open or is not a font FreeType takes.
  static Ref<TFreeTypeFont> Load(std::u16string_view url, int32_t size, int32_t style);

  int32_t style = 0;
  int32_t height = 0;
  int32_t ascender = 0;
  int32_t descender = 0;
  int32_t firstChar = 32;
  Ref<TFreeTypeGlyphArray> glyphs;
};

// Accepts string URLs; anything else counts as the empty URL, which gives none.
class TFreeTypeFontLoader : public TFontLoader {
 public:
  Ref<TFontSource> LoadFont(const Ref<TObject>& url, int32_t size, int32_t style) override;
};

// Registers the FreeType loader (runs once).
void InitOutlineFontModule();

}  // namespace kelpora
