// Replays every input the fuzzers ever crashed on, through the whole loader
// chain, from memory and from a file. The sanitizer build turns any return of
// the old fault into a failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "pixmap/loaders/pixmap_loader.h"
#include "runtime/text.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;

// Reads every byte of a decoded pixmap, so the sanitizer sees any bad memory.
uint32_t Checksum(const Ref<TPixmap>& p) {
  uint32_t sum = 0;
  for (int32_t y = 0; y < p->height; ++y) {
    const uint8_t* row = p->PixelPtr(0, y);
    for (int32_t i = 0; i < p->width * BytesPerPixel(p->format); ++i) sum = sum * 31 + row[i];
  }
  return sum;
}

TEST(LoaderRegressions, EveryKeptInputLoadsSafely) {
  InitPixmapLoaders();
  int replayed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(KELPORA_FUZZ_REGRESSIONS)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    Ref<TPixmap> fromMemory =
        LoadPixmap(Ref<TObject>(CreateBlockStream(bytes.data(), int(bytes.size()), 1, 0)));
    Ref<TPixmap> fromFile = LoadPixmap(FromBytes(entry.path().string()));
    // Both roads see the same bytes, so they must agree.
    ASSERT_EQ(bool(fromMemory), bool(fromFile));
    if (fromMemory) {
      EXPECT_GT(fromMemory->width, 0);
      EXPECT_GE(fromMemory->pitch, fromMemory->width * BytesPerPixel(fromMemory->format));
      EXPECT_EQ(Checksum(fromMemory), Checksum(fromFile));
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace kelpora
