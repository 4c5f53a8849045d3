// The WAV loader and LoadSample's handling of the stream around the loaders.
#include "audio/loaders/wav_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio/loaders/ogg_loader.h"
#include "audio_test_support.h"
#include "stream/incbin.h"

namespace kelpora {
namespace {

using namespace audiotest;

class Wav : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitOggLoader();
    InitWavLoader();
  }
};

const Bytes FRAMES = {1, 2, 3, 4, 5, 6, 7, 8};  // two 16-bit stereo frames

Bytes Fmt(int audioFormat, int channels, int rate, int bits) {
  return Chunk("fmt ", FormatFields(audioFormat, channels, rate, bits));
}

TEST_F(Wav, ChunkLayouts) {
  const Bytes fmt = Fmt(1, 2, 22050, 16);
  const Bytes list = Chunk("LIST", {'I', 'N', 'F', 'O', 'a', 'b'});
  Ref<TSampleData> plain = LoadFromMemory(Riff({fmt, Chunk("data", FRAMES)}));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->format, SAMPLE_STEREO16LE);
  EXPECT_EQ(plain->rate, 22050);
  EXPECT_EQ(plain->length, 2);
  EXPECT_EQ(SampleBytes(plain), FRAMES);

  // Other chunks are skipped by their exact size, odd ones not padded.
  Ref<TSampleData> listed =
      LoadFromMemory(Riff({fmt, list, Chunk("odd ", {9, 9, 9}), Chunk("data", FRAMES)}));
  ASSERT_TRUE(listed);
  EXPECT_EQ(SampleBytes(listed), FRAMES);
  // The format chunk must come first.
  EXPECT_FALSE(LoadFromMemory(Riff({list, fmt, Chunk("data", FRAMES)})));

  // An 18-byte format chunk: its 2 extra bytes are skipped.
  Bytes fields18 = FormatFields(1, 2, 22050, 16);
  fields18.insert(fields18.end(), {0, 0});
  Ref<TSampleData> long18 = LoadFromMemory(Riff({Chunk("fmt ", fields18), Chunk("data", FRAMES)}));
  ASSERT_TRUE(long18);
  EXPECT_EQ(SampleBytes(long18), FRAMES);

  // A format chunk declaring 14 bytes is read as 16, and nothing is skipped.
  Ref<TSampleData> short14 = LoadFromMemory(
      Riff({Chunk("fmt ", FormatFields(1, 1, 8000, 8), 14), Chunk("data", {0, 128, 255})}));
  ASSERT_TRUE(short14);
  EXPECT_EQ(short14->format, SAMPLE_MONO8);
  EXPECT_EQ(SampleBytes(short14), (Bytes{0, 128, 255}));
}

TEST_F(Wav, UnsupportedEncodingsAndBrokenHeadersAreRefused) {
  const Bytes data = Chunk("data", Bytes(24, 0));
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(1, 2, 44100, 24), data})));
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(1, 1, 44100, 32), data})));
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(3, 1, 44100, 32), data})));  // IEEE float
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(1, 3, 44100, 16), data})));
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(1, 1, 0, 16), data})));
  EXPECT_FALSE(LoadFromMemory(Riff({Fmt(1, 1, 44100, 16)})));  // no data chunk
  Bytes rifx = Riff({Fmt(1, 1, 44100, 16), data});
  rifx[3] = 'X';
  EXPECT_FALSE(LoadFromMemory(rifx));
  EXPECT_FALSE(LoadFromMemory({}));
}

TEST_F(Wav, DataChunksHoldOnlyWholeFramesTheFileReallyHas) {
  // 10 bytes in stereo 16-bit: 2 frames, the 2 bytes after them unused.
  Bytes ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Ref<TSampleData> two = LoadFromMemory(Riff({Fmt(1, 2, 44100, 16), Chunk("data", ten)}));
  ASSERT_TRUE(two);
  EXPECT_EQ(two->length, 2);
  EXPECT_EQ(two->capacity, 8);
  EXPECT_EQ(SampleBytes(two), FRAMES);

  // Cut short: 400 bytes declared, 10 present -> the 2 whole frames present.
  Ref<TSampleData> cut = LoadFromMemory(Riff({Fmt(1, 2, 44100, 16), Chunk("data", ten, 400)}));
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->length, 2);
  EXPECT_EQ(cut->capacity, 8);
  EXPECT_EQ(SampleBytes(cut), FRAMES);
  Ref<TSampleData> cut8 =
      LoadFromMemory(Riff({Fmt(1, 1, 8000, 8), Chunk("data", {7, 7, 7}, 5000)}));
  ASSERT_TRUE(cut8);
  EXPECT_EQ(SampleBytes(cut8), (Bytes{7, 7, 7}));

  // 44-byte files declaring gigabytes: nothing beyond the stream is
  // allocated, and sizes negative as 32-bit numbers are declined.
  const Bytes header = Fmt(1, 2, 44100, 16);
  Ref<TSampleData> huge = LoadFromMemory(Riff({header, Chunk("data", {}, 0x7FFFFFFF)}));
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->length, 0);
  EXPECT_EQ(huge->capacity, 0);
  EXPECT_FALSE(LoadFromMemory(Riff({header, Chunk("data", {}, 0xFFFFFFF0u)})));
  EXPECT_FALSE(LoadFromMemory(Riff({header, Chunk("data", {}, 0x80000000u)})));
}

// A seekable stream over bytes that can be made to fail or to lose its position.
class TScriptedStream : public TDataStream {
 public:
  explicit TScriptedStream(Bytes bytes) : bytes_(std::move(bytes)) {}
  int Pos() override { return seekable ? pos_ : -1; }
  int Size() override { return int(bytes_.size()); }
  int Seek(int pos) override { return pos_ = std::clamp(pos, 0, Size()); }
  int Read(void* buf, int count) override {
    ++reads;
    if (failReads) return 0;
    const int n = std::min(count, Size() - pos_);
    std::memcpy(buf, bytes_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
  }
  bool seekable = true;
  bool failReads = false;
  int reads = 0;

 private:
  Bytes bytes_;
  int pos_ = 0;
};

TEST_F(Wav, LoadSampleStartsEachLoaderAtTheStreamsPosition) {
  // Loaders are asked WAV first, then Ogg.
  ASSERT_TRUE(RefCast<TWavSampleLoader>(FirstSampleLoader()));
  ASSERT_TRUE(RefCast<TOggSampleLoader>(FirstSampleLoader()->next));

  Bytes file = Concat({Bytes(100, 'x'), Riff({Fmt(1, 2, 44100, 16), Chunk("data", FRAMES)})});
  auto stream = MakeRef<TScriptedStream>(file);
  stream->Seek(100);
  Ref<TSampleData> sample = LoadSample(Ref<TObject>(stream));
  ASSERT_TRUE(sample);
  EXPECT_EQ(SampleBytes(sample), FRAMES);

  // A read failure inside a loader counts as no sample, not as an error.
  auto failing = MakeRef<TScriptedStream>(file);
  failing->failReads = true;
  EXPECT_FALSE(LoadSample(Ref<TObject>(failing)));
  EXPECT_GT(failing->reads, 0);

  // Without a position, nothing is read: the error comes before any loader.
  auto unseekable = MakeRef<TScriptedStream>(file);
  unseekable->seekable = false;
  try {
    LoadSample(Ref<TObject>(unseekable));
    ADD_FAILURE() << "no error raised";
  } catch (const TRuntimeError& e) {
    EXPECT_STREQ(e.what(), "Stream is not seekable");
  }
  EXPECT_EQ(unseekable->reads, 0);

  EXPECT_FALSE(LoadSample(u"incbin::no such sound"));
  EXPECT_FALSE(LoadSample(u"/nonexistent/sound.wav"));
}

}  // namespace
}  // namespace kelpora
