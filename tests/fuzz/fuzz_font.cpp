// Font files from memory through the FreeType stream hooks: the first byte
// picks the pixel size (so bitmap strikes get stepped down), the rest is the file.
#include <cstddef>
#include <cstdint>

#include "stream/incbin.h"
#include "vex2d/outline_font.h"

namespace {

const uint8_t* input = nullptr;
int inputSize = 0;

// "fuzz::" opens the current input.
class TFuzzProtocol : public kelpora::TStreamProtocol {
 public:
  kelpora::Ref<kelpora::TDataStream> CreateStream(const kelpora::Ref<kelpora::TObject>&,
                                                  const kelpora::String& protocol,
                                                  const kelpora::String&, int readable,
                                                  int) override {
    if (protocol != u"fuzz") return nullptr;
    return kelpora::CreateBlockStream(input, inputSize, readable, 0);
  }
};

bool Init() {
  kelpora::InitOutlineFontModule();
  kelpora::MakeRef<TFuzzProtocol>();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Init();
  (void)ready;
  if (size < 1 || size > (1u << 20)) return 0;
  input = data + 1;
  inputSize = static_cast<int>(size - 1);
  using namespace kelpora;
  Ref<TFreeTypeFont> font = TFreeTypeFont::Load(u"fuzz::font", data[0] % 48, 0);
  if (font) {
    // Touch every byte handed out so the sanitizer checks it.
    uint32_t sum = 0;
    for (int32_t i = 0; i < font->CountGlyphs(); ++i) {
      Ref<TPixmap> pixmap = (*font->glyphs)[static_cast<size_t>(i)]->pixmap;
      if (!pixmap) continue;
      for (int32_t y = 0; y < pixmap->height; ++y) {
        const uint8_t* row = pixmap->PixelPtr(0, y);
        for (int32_t x = 0; x < pixmap->width; ++x) sum += row[x];
      }
    }
    [[maybe_unused]] static volatile uint32_t sink;
    sink = sum;
  }
  return 0;
}
