// Replays every WAV and Ogg input the fuzzers ever crashed on (and the files
// of the known faults) through the whole loader chain, from memory and from a
// file. The sanitizer build turns any return of an old fault into a failure.
#include <gtest/gtest.h>

#include <filesystem>

#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio_test_support.h"
#include "runtime/text.h"

namespace kelpora {
namespace {

using namespace audiotest;
namespace fs = std::filesystem;

uint32_t Checksum(const Ref<TSampleData>& sample) {
  uint32_t sum = 0;
  for (uint8_t b : SampleBytes(sample)) sum = sum * 31 + b;
  return sum;
}

TEST(SampleRegressions, EveryKeptInputLoadsSafely) {
  InitOggLoader();
  InitWavLoader();
  int replayed = 0;
  for (const char* folder : {"wav", "ogg"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(KELPORA_FUZZ_REGRESSIONS) / folder)) {
      SCOPED_TRACE(entry.path().string());
      const Bytes bytes = ReadFile(entry.path());
      Ref<TSampleData> fromMemory = LoadFromMemory(bytes);
      Ref<TSampleData> fromFile = LoadSample(FromBytes(entry.path().string()));
      ASSERT_EQ(bool(fromMemory), bool(fromFile));
      if (fromMemory) {
        EXPECT_LE(int64_t(fromMemory->length) * BytesPerFrame(fromMemory->format),
                  fromMemory->capacity);
        EXPECT_EQ(fromMemory->length, fromFile->length);
        EXPECT_EQ(Checksum(fromMemory), Checksum(fromFile));
      }
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace kelpora
