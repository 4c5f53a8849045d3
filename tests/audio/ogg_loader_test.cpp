// The Ogg Vorbis loader on files written by oggenc, and on files whose pages
// were altered to lie about their length or to change layout mid-file.
#include "audio/loaders/ogg_loader.h"

#include <gtest/gtest.h>

#include "audio/loaders/wav_loader.h"
#include "audio_test_support.h"
#include "runtime/text.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

using namespace audiotest;

class Ogg : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitOggLoader();
    InitWavLoader();
  }
};

TEST_F(Ogg, IncbinFileIsRefusedByWavThenDecoded) {
  static const Bytes file = ReadFile(ReferenceFile("ogg_stereo_32000.ogg"));
  ASSERT_EQ(RegisterResource(u"sounds/stereo.ogg", file.data(), int(file.size())), 1);
  ASSERT_TRUE(RefCast<TWavSampleLoader>(FirstSampleLoader()));
  EXPECT_FALSE(FirstSampleLoader()->LoadSample(
      Ref<TDataStream>(CreateBlockStream(file.data(), int(file.size()), 1, 0))));
  Ref<TSampleData> sample = LoadSample(u"incbin::sounds/stereo.ogg");
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->format, SAMPLE_STEREO16LE);
  EXPECT_EQ(sample->rate, 32000);
  EXPECT_EQ(SampleBytes(sample), OggdecRaw(ReferenceFile("ogg_stereo_32000.ogg")));
}

// Six channels become stereo: front sides, the centre at 1/sqrt(2) into
// both, the rear sides at 1/sqrt(2) into their side, no LFE, normalised.
TEST_F(Ogg, SixChannelsAreMixedDownToStereo) {
  const std::string path = ReferenceFile("ogg_6ch_48000.ogg");
  Ref<TSampleData> sample = LoadSample(FromBytes(path));
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->format, SAMPLE_STEREO16LE);
  EXPECT_EQ(sample->rate, 48000);
  const Bytes raw = OggdecRaw(path);
  ASSERT_EQ(size_t(sample->length), raw.size() / 12);
  const auto* in = reinterpret_cast<const int16_t*>(raw.data());
  const auto* out = reinterpret_cast<const int16_t*>(sample->data);
  for (int i = 0; i < sample->length; ++i) {
    const int16_t* f = in + 6 * i;
    const int left = (f[0] * 16384 + f[1] * 11585 + f[3] * 11585) / (16384 + 2 * 11585);
    const int right = (f[2] * 16384 + f[1] * 11585 + f[4] * 11585) / (16384 + 2 * 11585);
    ASSERT_EQ(out[2 * i], left) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], right) << "frame " << i;
  }
  // More channels than any defined layout are declined.
  EXPECT_FALSE(LoadSample(FromBytes(ReferenceFile("ogg_9ch_44100.ogg"))));
}

// oggdec's decode of the bytes, written to a file beside the reference sounds.
Bytes OggdecOf(const Bytes& file, const std::string& name) {
  const std::string path = ReferenceFile(name);
  WriteFile(path, file);
  return OggdecRaw(path);
}

TEST_F(Ogg, AStreamShorterThanItsHeaderSaysEndsWhereTheDataEnds) {
  Bytes file = ReadFile(ReferenceFile("ogg_mono_44100.ogg"));
  const OggPage last = OggPages(file).back();
  SetGranule(file, last.offset, last.granule + 44100);
  const Bytes reference = OggdecOf(file, "long_granule.ogg");
  Ref<TSampleData> sample = LoadFromMemory(file);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->format, SAMPLE_MONO16LE);
  EXPECT_EQ(sample->capacity, int(reference.size()));
  EXPECT_EQ(SampleBytes(sample), reference);
}

TEST_F(Ogg, TotalsThatDoNotFitAreDeclined) {
  const Bytes original = ReadFile(ReferenceFile("ogg_stereo_32000.ogg"));
  const OggPage last = OggPages(original).back();
  // Beyond 32 bits of frames; frames whose bytes pass 32 bits; far more
  // frames than the file's bytes could ever hold.
  for (int64_t granule : {int64_t(1) << 40, int64_t(700000000), int64_t(200000000)}) {
    SCOPED_TRACE(granule);
    Bytes file = original;
    SetGranule(file, last.offset, granule);
    EXPECT_FALSE(LoadFromMemory(file));
  }
}

// A chained file whose first link claims more frames than it has: decoding
// runs on into the second link, which is mono at another rate, and must stop
// there instead of mixing layouts.
TEST_F(Ogg, ChainedLinkWithAnotherLayoutEndsTheSample) {
  Bytes file = ReadFile(ReferenceFile("ogg_chained_stereo_mono.ogg"));
  const std::vector<OggPage> pages = OggPages(file);
  const uint32_t firstSerial = pages.front().serial;
  size_t lastOfFirst = 0;
  for (size_t i = 0; i < pages.size(); ++i)
    if (pages[i].serial == firstSerial) lastOfFirst = i;
  ASSERT_LT(lastOfFirst + 1, pages.size());
  SetGranule(file, pages[lastOfFirst].offset, pages[lastOfFirst].granule + 20000);
  const Bytes firstLink = OggdecOf(
      Bytes(file.begin(), file.begin() + long(pages[lastOfFirst + 1].offset)), "first_link.ogg");
  ASSERT_FALSE(firstLink.empty());

  Ref<TSampleData> sample = LoadFromMemory(file);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->format, SAMPLE_STEREO16LE);
  EXPECT_EQ(sample->rate, 32000);
  EXPECT_EQ(SampleBytes(sample), firstLink);
}

TEST_F(Ogg, NotOggAndBrokenPagesGiveNone) {
  Bytes file = ReadFile(ReferenceFile("ogg_mono_44100.ogg"));
  EXPECT_FALSE(LoadFromMemory(Bytes(file.begin(), file.begin() + 40)));
  EXPECT_FALSE(LoadFromMemory(Bytes(300, 'O')));
}

}  // namespace
}  // namespace kelpora
