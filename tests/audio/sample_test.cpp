// Sample formats and conversions.
#include "audio/sample.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audio_test_support.h"
#include "runtime/errors.h"

namespace kelpora {
namespace {

using audiotest::SampleBytes;
using Bytes = audiotest::Bytes;

std::vector<int16_t> Frames16(const Ref<TSampleData>& s) {
  Bytes b = SampleBytes(s);
  std::vector<int16_t> out(b.size() / 2);
  std::memcpy(out.data(), b.data(), b.size());
  return out;
}

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const TRuntimeError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST(SampleConvert, EightBitEndsWidenAndNarrowExactly) {
  uint8_t mono[] = {0, 128, 255};
  Ref<TSampleData> wide = TSampleData::CreateStatic(mono, 3, 8000, SAMPLE_MONO8)->Convert(5);
  EXPECT_EQ(Frames16(wide), (std::vector<int16_t>{-32768, -32768, 128, 128, 32767, 32767}));
  // Every byte survives the way to 16 bits and back.
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  Ref<TSampleData> there = TSampleData::CreateStatic(all.data(), 256, 8000, 1)->Convert(6);
  EXPECT_EQ(SampleBytes(there->Convert(1)), all);
  Ref<TSampleData> stereo = TSampleData::CreateStatic(all.data(), 128, 8000, 4)->Convert(5);
  EXPECT_EQ(SampleBytes(stereo->Convert(4)), all);
}

TEST(SampleConvert, MonoMixTruncatesTowardZero) {
  int16_t lr[] = {1000, -1001, -3, 0, 32767, 32767, -32768, -32768};
  Ref<TSampleData> stereo = TSampleData::CreateStatic(lr, 4, 44100, SAMPLE_STEREO16LE);
  EXPECT_EQ(Frames16(stereo->Convert(SAMPLE_MONO16LE)),
            (std::vector<int16_t>{0, -1, 32767, -32768}));
  EXPECT_EQ(SampleBytes(stereo->Convert(SAMPLE_MONO8)), (Bytes{127, 127, 255, 0}));
}

TEST(SampleConvert, LittleToBigEndianSwapsEachSample) {
  uint8_t le[] = {0x34, 0x12, 0xFE, 0xFF};
  Ref<TSampleData> big = TSampleData::CreateStatic(le, 2, 22050, 2)->Convert(3);
  EXPECT_EQ(SampleBytes(big), (Bytes{0x12, 0x34, 0xFF, 0xFE}));
  EXPECT_EQ(big->rate, 22050);
}

// The direct routes and the one through the pivot buffer, which works in
// slices, give the same bytes as two explicit steps through format 6.
TEST(SampleConvert, EveryPairMatchesTwoStepsThroughTheStereoBigEndianPivot) {
  const int frames = 2500;  // more than one slice of the pivot buffer
  Bytes noise(frames * 4);
  uint32_t seed = 12345;
  for (auto& b : noise) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
  for (int from = 1; from <= 6; ++from) {
    Bytes pivot(frames * 4);
    ConvertPcm(noise.data(), from, pivot.data(), 6, frames);
    for (int to = 1; to <= 6; ++to) {
      SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
      Bytes direct(frames * 4 + 16, 0xAB), twoSteps(frames * 4 + 16, 0xAB);
      ConvertPcm(noise.data(), from, direct.data(), to, frames);
      if (from == to)
        std::memcpy(twoSteps.data(), noise.data(), size_t(frames) * BytesPerFrame(to));
      else
        ConvertPcm(pivot.data(), 6, twoSteps.data(), to, frames);
      EXPECT_EQ(direct, twoSteps);
      // Nothing written past the frames.
      EXPECT_EQ(direct[size_t(frames) * BytesPerFrame(to)], 0xAB);
    }
  }
}

TEST(SampleObject, ConvertAndCopyMakeNewSamplesAndStaticMemoryIsLeftAlone) {
  std::vector<int16_t> memory = {1, 2, 3, 4};
  {
    Ref<TSampleData> view = TSampleData::CreateStatic(memory.data(), 2, 44100, 5);
    EXPECT_EQ(view->capacity, -1);
    Ref<TSampleData> same = view->Convert(5);
    EXPECT_NE(same.get(), view.get());
    EXPECT_NE(same->data, view->data);
    EXPECT_EQ(same->capacity, 8);
    EXPECT_EQ(Frames16(same), memory);
    Ref<TSampleData> copy = view->Copy();
    EXPECT_NE(copy->data, view->data);
    EXPECT_EQ(Frames16(copy), memory);
  }
  // Destroying the view neither freed nor touched the vector's memory.
  EXPECT_EQ(memory, (std::vector<int16_t>{1, 2, 3, 4}));
}

TEST(SampleObject, UnknownFormatCodesRaiseOrGiveNoneWithoutReadingOutsideTheTable) {
  const std::string unimplemented = "Unimplemented sample format conversion";
  int16_t frames[4] = {};
  Ref<TSampleData> stereo = TSampleData::CreateStatic(frames, 2, 44100, 5);
  for (int bad : {0, 7, -1, 1000, INT32_MIN}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ErrorText([&] { stereo->Convert(bad); }), unimplemented);
    uint8_t out[16];
    EXPECT_EQ(ErrorText([&] { ConvertPcm(frames, 5, out, bad, 2); }), unimplemented);
    EXPECT_EQ(ErrorText([&] { ConvertPcm(frames, bad, out, 5, 2); }), unimplemented);
    if (bad != 0) {
      EXPECT_EQ(BytesPerFrame(bad), 0);
      EXPECT_FALSE(TSampleData::Create(10, 44100, bad));
      EXPECT_FALSE(TSampleData::CreateStatic(frames, 2, 44100, bad));
      EXPECT_EQ(ErrorText([&] { ConvertPcm(frames, bad, out, bad, 2); }), unimplemented);
    }
  }
  // Format 0 to itself is an empty copy.
  Ref<TSampleData> none = TSampleData::Create(5, 44100, 0);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->capacity, 0);
  EXPECT_TRUE(none->Convert(0));
}

TEST(SampleObject, SizesThatDoNotFitAreRefusedAndNegativeLengthsAreEmpty) {
  Ref<TSampleData> empty = TSampleData::Create(-5, 44100, 5);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->length, 0);
  EXPECT_EQ(empty->capacity, 0);
  EXPECT_FALSE(TSampleData::Create(INT32_MAX, 44100, 5));
  EXPECT_FALSE(TSampleData::Create(INT32_MAX / 4 + 1, 44100, 6));
  // A mono sample whose stereo form would not fit 32 bits gives none.
  Ref<TSampleData> view = TSampleData::CreateStatic(nullptr, INT32_MAX / 2, 44100, 1);
  EXPECT_FALSE(view->Convert(5));
}

}  // namespace
}  // namespace kelpora
