#include "vex2d/outline_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H

#include <algorithm>
#include <cstring>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/incbin.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

constexpr int32_t kFirstCode = 32;
constexpr int32_t kLastCode = 255;

Ref<TFontLoader>& LoaderHead() {
  static auto* head = new Ref<TFontLoader>();
  return *head;
}

// FreeType reads the face through our stream. Requests outside the stream's
// size are refused rather than passed on, and no stream error may unwind
// through FreeType's C frames.
struct TFaceStream {
  FT_StreamRec rec{};
  Ref<TDataStream> stream;
};

unsigned long ReadHook(FT_Stream rec, unsigned long offset, unsigned char* buffer,
                       unsigned long count) {
  auto* self = static_cast<TFaceStream*>(rec->descriptor.pointer);
  bool seekOnly = count == 0;
  // A failed seek is reported by a nonzero answer, a failed read by 0 bytes.
  if (!self->stream || offset > rec->size) return seekOnly ? 1 : 0;
  unsigned long room = rec->size - offset;
  if (count > room) count = room;
  try {
    if (self->stream->Seek(static_cast<int>(offset)) != static_cast<int>(offset)) {
      return seekOnly ? 1 : 0;
    }
    if (seekOnly) return 0;
    unsigned long done = 0;
    while (done < count) {
      int got = self->stream->Read(buffer + done, static_cast<int>(count - done));
      if (got <= 0) break;
      done += static_cast<unsigned long>(got);
    }
    return done;
  } catch (...) {
    return seekOnly ? 1 : 0;
  }
}

void CloseHook(FT_Stream rec) {
  auto* self = static_cast<TFaceStream*>(rec->descriptor.pointer);
  if (!self->stream) return;
  try {
    self->stream->Close();
  } catch (...) {
  }
  self->stream = nullptr;
}

// Releases the face and the library on every way out of a load.
struct TFreeTypeSession {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  ~TFreeTypeSession() {
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
  }
};

const uint8_t* BitmapRow(const FT_Bitmap& bitmap, unsigned row) {
  // A negative pitch stores the bottom row first.
  if (bitmap.pitch >= 0) return bitmap.buffer + static_cast<size_t>(row) * bitmap.pitch;
  return bitmap.buffer +
         static_cast<size_t>(bitmap.rows - 1 - row) * static_cast<size_t>(-bitmap.pitch);
}

// The rendered bitmap as an 8-bit alpha pixmap; none for an empty bitmap or a
// pixel layout that carries no coverage.
Ref<TPixmap> AlphaPixmap(FT_Library library, const FT_Bitmap& source) {
  if (source.width == 0 || source.rows == 0 || !source.buffer) return nullptr;
  auto width = static_cast<int32_t>(source.width), rows = static_cast<int32_t>(source.rows);
  Ref<TPixmap> pixmap = MakePixmap(width, rows, PIXFMT_ALPHA8, 4);
  switch (source.pixel_mode) {
    case FT_PIXEL_MODE_GRAY:
      for (int32_t y = 0; y < rows; ++y) {
        std::memcpy(pixmap->PixelPtr(0, y), BitmapRow(source, static_cast<unsigned>(y)),
                    static_cast<size_t>(width));
      }
      break;
    case FT_PIXEL_MODE_MONO:
      for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = BitmapRow(source, static_cast<unsigned>(y));
        uint8_t* out = pixmap->PixelPtr(0, y);
        for (int32_t x = 0; x < width; ++x) out[x] = (in[x / 8] & (0x80 >> (x % 8))) ? 255 : 0;
      }
      break;
    case FT_PIXEL_MODE_GRAY2:
    case FT_PIXEL_MODE_GRAY4: {
      // Packed levels: unpack to a byte per pixel, then stretch to 0..255.
      FT_Bitmap unpacked;
      FT_Bitmap_Init(&unpacked);
      bool ok = FT_Bitmap_Convert(library, &source, &unpacked, 1) == 0 && unpacked.num_grays > 1 &&
                unpacked.width == source.width && unpacked.rows == source.rows;
      if (ok) {
        int32_t top = unpacked.num_grays - 1;
        for (int32_t y = 0; y < rows; ++y) {
          const uint8_t* in = BitmapRow(unpacked, static_cast<unsigned>(y));
          uint8_t* out = pixmap->PixelPtr(0, y);
          for (int32_t x = 0; x < width; ++x)
            out[x] = static_cast<uint8_t>(std::min(in[x] * 255 / top, 255));
        }
      }
      FT_Bitmap_Done(library, &unpacked);
      if (!ok) return nullptr;
      break;
    }
    case FT_PIXEL_MODE_BGRA:
      for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = BitmapRow(source, static_cast<unsigned>(y));
        uint8_t* out = pixmap->PixelPtr(0, y);
        for (int32_t x = 0; x < width; ++x) out[x] = in[4 * x + 3];
      }
      break;
    default:
      return nullptr;
  }
  return pixmap;
}

}  // namespace

Ref<TPixmap> TFreeTypeGlyph::Pixmap() { return pixmap; }
float TFreeTypeGlyph::Advance() { return advance; }

void TFreeTypeGlyph::GetRect(int32_t& outX, int32_t& outY, int32_t& outW, int32_t& outH) {
  outX = x;
  outY = y;
  outW = w;
  outH = h;
}

int32_t TFreeTypeFont::Style() { return style; }
int32_t TFreeTypeFont::Height() { return height; }
int32_t TFreeTypeFont::FirstChar() { return firstChar; }
int32_t TFreeTypeFont::CountGlyphs() { return glyphs ? static_cast<int32_t>(glyphs->Length()) : 0; }

Ref<TFontGlyph> TFreeTypeFont::Glyph(int32_t index) {
  if (!glyphs || index < 0 || static_cast<size_t>(index) >= glyphs->Length()) return nullptr;
  return (*glyphs)[static_cast<size_t>(index)];
}

Ref<TFreeTypeFont> TFreeTypeFont::Load(std::u16string_view url, int32_t size, int32_t style) {
  // FreeType closes the stream when the face goes, so the stream outlives the session.
  TFaceStream faceStream;
  TFreeTypeSession ft;
  if (FT_Init_FreeType(&ft.library) != 0) {
    ft.library = nullptr;
    return nullptr;
  }
  faceStream.stream = OpenForReading(url);
  if (!faceStream.stream) return nullptr;
  int streamSize = faceStream.stream->Size();
  if (streamSize <= 0) {
    NoteLoadReason(u"the data is empty or its size is unknown");
    return nullptr;
  }
  faceStream.rec.size = static_cast<unsigned long>(streamSize);
  faceStream.rec.descriptor.pointer = &faceStream;
  faceStream.rec.read = ReadHook;
  faceStream.rec.close = CloseHook;
  FT_Open_Args args{};
  args.flags = FT_OPEN_STREAM;
  args.stream = &faceStream.rec;
  if (const FT_Error error = FT_Open_Face(ft.library, &args, 0, &ft.face)) {
    ft.face = nullptr;
    NoteLoadReason(u"FreeType does not read it as a font (error " + FormatInt(error) + u")");
    return nullptr;
  }
  FT_Face face = ft.face;
  if (size >= 1) {
    int32_t pixels = size;
    while (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixels)) != 0) {
      if (--pixels < 1) return nullptr;
    }
  }

  auto font = MakeRef<TFreeTypeFont>();
  font->style = style;
  if (face->size) {
    font->height = static_cast<int32_t>(face->size->metrics.height >> 6);
    font->ascender = static_cast<int32_t>(face->size->metrics.ascender >> 6);
    font->descender = static_cast<int32_t>(face->size->metrics.descender >> 6);
  }
  font->firstChar = kFirstCode;
  font->glyphs = MakeArray<Ref<TFreeTypeGlyph>>(kLastCode - kFirstCode + 1);
  for (int32_t code = kFirstCode; code <= kLastCode; ++code) {
    auto glyph = MakeRef<TFreeTypeGlyph>();
    (*font->glyphs)[static_cast<size_t>(code - kFirstCode)] = glyph;
    FT_UInt index = FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0) continue;
    FT_GlyphSlot slot = face->glyph;
    glyph->advance = static_cast<float>(slot->advance.x / 64.0);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) continue;
    const FT_Bitmap& bitmap = slot->bitmap;
    glyph->x = slot->bitmap_left;
    glyph->y = font->ascender - slot->bitmap_top;
    glyph->w = static_cast<int32_t>(bitmap.width);
    glyph->h = static_cast<int32_t>(bitmap.rows);
    if (bitmap.width != 0) glyph->pixmap = AlphaPixmap(ft.library, bitmap);
  }
  return font;
}

Ref<TFontSource> TFreeTypeFontLoader::LoadFont(const Ref<TObject>& url, int32_t size,
                                               int32_t style) {
  auto text = RefCast<TStringObject>(url);
  if (!text || text->value.empty()) return nullptr;
  return TFreeTypeFont::Load(text->value, size, style);
}

void RegisterFontLoader(const Ref<TFontLoader>& loader) {
  if (!loader) return;
  // The oldest loader's `next` is none too, so look through the whole list:
  // linking a listed loader again would close the list into a ring.
  for (Ref<TFontLoader> it = LoaderHead(); it; it = it->next) {
    if (it.get() == loader.get()) return;
  }
  if (loader->next) return;
  loader->next = LoaderHead();
  LoaderHead() = loader;
}

Ref<TFontSource> LoadFont(const Ref<TObject>& url, int32_t size, int32_t style) {
  TLoadAttempt attempt(u"LoadFont", SourceName(url));
  if (!LoaderHead()) {
    NoteLoadReason(u"no font loader is registered (call InitOutlineFontModule or InitKelpora)");
  }
  for (Ref<TFontLoader> it = LoaderHead(); it; it = it->next) {
    if (Ref<TFontSource> font = it->LoadFont(url, size, style)) return font;
  }
  attempt.Failed();
  return nullptr;
}

void InitOutlineFontModule() {
  static bool done = false;
  if (done) return;
  done = true;
  InitPixmapModule();
  InitStreamModule();
  RegisterFontLoader(MakeRef<TFreeTypeFontLoader>());
  NoteLoaderReady(u"TrueType");
}

}  // namespace kelpora
