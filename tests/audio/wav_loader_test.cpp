// The WAV loader and LoadSample's handling of the stream around the loaders.
#include "audio/loaders/wav_loader.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

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

// The sample's frames, or "none" when no sample comes out.
std::optional<Bytes> Loaded(const Bytes& file) {
  Ref<TSampleData> sample = LoadFromMemory(file);
  if (!sample) return std::nullopt;
  return SampleBytes(sample);
}

TEST_F(Wav, ChunkLayouts) {
  const Bytes fmt = Fmt(1, 2, 22050, 16);
  const Bytes list = Chunk("LIST", {'I', 'N', 'F', 'O', 'a', 'b'});
  Ref<TSampleData> plain = LoadFromMemory(Riff({fmt, Chunk("data", FRAMES)}));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->format, SAMPLE_STEREO16LE);
  EXPECT_EQ(plain->rate, 22050);
  EXPECT_EQ(SampleBytes(plain), FRAMES);

  Bytes fields18 = FormatFields(1, 2, 22050, 16);
  fields18.insert(fields18.end(), {0, 0});
  struct Case {
    const char* what;
    Bytes file;
    std::optional<Bytes> expect;
  } cases[] = {
      {"other chunks skipped by their exact size, odd ones not padded",
       Riff({fmt, list, Chunk("odd ", {9, 9, 9}), Chunk("data", FRAMES)}), FRAMES},
      {"the format chunk must come first", Riff({list, fmt, Chunk("data", FRAMES)}), {}},
      {"an 18-byte format chunk's 2 extra bytes skipped",
       Riff({Chunk("fmt ", fields18), Chunk("data", FRAMES)}), FRAMES},
      {"a format chunk declaring 14 bytes read as 16, nothing skipped",
       Riff({Chunk("fmt ", FormatFields(1, 1, 8000, 8), 14), Chunk("data", {0, 128, 255})}),
       Bytes{0, 128, 255}},
      // 10 bytes in stereo 16-bit: 2 frames, the 2 bytes after them unused.
      {"whole frames only", Riff({fmt, Chunk("data", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})}), FRAMES},
      // Cut short inside the data: the whole frames present, nothing undefined.
      {"cut short", Riff({fmt, Chunk("data", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 400)}), FRAMES},
      {"cut short, 8-bit", Riff({Fmt(1, 1, 8000, 8), Chunk("data", {7, 7, 7}, 5000)}),
       Bytes{7, 7, 7}},
      // 44-byte files declaring gigabytes: nothing beyond the stream is
      // allocated, and sizes negative as 32-bit numbers are declined.
      {"2 GB declared", Riff({fmt, Chunk("data", {}, 0x7FFFFFFF)}), Bytes{}},
      {"-16 declared", Riff({fmt, Chunk("data", {}, 0xFFFFFFF0u)}), {}},
      {"-2^31 declared", Riff({fmt, Chunk("data", {}, 0x80000000u)}), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Loaded(c.file), c.expect) << c.what;
  // The samples hold no more than their frames.
  for (auto [c, capacity] : {std::pair{5, 8}, std::pair{7, 0}}) {
    Ref<TSampleData> sample = LoadFromMemory(cases[c].file);
    ASSERT_TRUE(sample) << cases[c].what;
    EXPECT_EQ(sample->capacity, capacity) << cases[c].what;
  }
}

// The 2 GB declaration again, in a child whose address space is limited to
// 256 MB: a loader that reserved the declared size, even for a moment,
// fails there. (The sanitizer build maps terabytes of shadow memory, so it
// runs the child without the limit.)
TEST_F(Wav, DeclaredSizesAreNeverReservedAhead) {
  const Bytes file = Riff({Fmt(1, 2, 22050, 16), Chunk("data", FRAMES, 0x7FFFFFF0)});
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__)
    rlimit limit{256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &limit);
#endif
    _exit(Loaded(file) == FRAMES ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(Wav, UnsupportedEncodingsAndBrokenHeadersAreRefused) {
  const Bytes data = Chunk("data", Bytes(24, 0));
  Bytes rifx = Riff({Fmt(1, 1, 44100, 16), data});
  rifx[3] = 'X';
  for (const Bytes& file : {Riff({Fmt(1, 2, 44100, 24), data}), Riff({Fmt(1, 1, 44100, 32), data}),
                            Riff({Fmt(3, 1, 44100, 32), data}),  // IEEE float
                            Riff({Fmt(1, 3, 44100, 16), data}), Riff({Fmt(1, 1, 0, 16), data}),
                            Riff({Fmt(1, 1, 44100, 16)}),  // no data chunk
                            rifx, Bytes{}})
    EXPECT_FALSE(LoadFromMemory(file));
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
