// Streamed clips against loaded ones: the same file played both ways through
// an offline device must give the same frames, whatever the channel does
// meanwhile; a starved decoder gives counted silence, never other frames.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>

#include "audio/clips_channels.h"
#include "audio/loaders/ogg_loader.h"
#include "audio/mixer_backend.h"
#include "audio/software_mixer.h"
#include "audio/stream_clip.h"
#include "audio_test_support.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "stream/stream.h"

using namespace kelpora;
using namespace kelpora::audiotest;

namespace {

// Bytes in memory as a stream. It may have no position (a pipe), and reads
// from `gateAt` on wait until the gate opens (a decoder starved on purpose).
class TMemoryStream : public TDataStream {
 public:
  TMemoryStream(Bytes bytes, bool positioned) : bytes_(std::move(bytes)), positioned_(positioned) {}
  int Pos() override { return positioned_ ? pos_ : -1; }
  int Size() override { return positioned_ ? int(bytes_.size()) : 0; }
  int Eof() override { return pos_ == int(bytes_.size()); }
  int Seek(int pos) override {
    if (!positioned_ || pos < 0 || pos > int(bytes_.size())) return -1;
    pos_ = pos;
    return pos;
  }
  int Read(void* buf, int count) override {
    if (pos_ >= gateAt) {
      std::unique_lock<std::mutex> guard(mutex_);
      opened_.wait(guard, [&] { return open_; });
    }
    const int n = std::min(count, int(bytes_.size()) - pos_);
    std::copy_n(bytes_.begin() + pos_, n, static_cast<uint8_t*>(buf));
    pos_ += n;
    return n;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    opened_.notify_all();
  }

  std::atomic<int> gateAt{INT32_MAX};

 private:
  Bytes bytes_;
  bool positioned_;
  int pos_ = 0;
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

std::string tempDir;

// An Ogg file made by sox and oggenc: `seconds` of two tones per channel.
Bytes MakeOgg(const std::string& name, double seconds, int channels) {
  const std::string wav = tempDir + "/" + name + ".wav", ogg = tempDir + "/" + name + ".ogg";
  RunTool("sox", {"-n", "-r", "44100", "-c", std::to_string(channels), "-b", "16", wav, "synth",
                  std::to_string(seconds), "sine", "440-880", "sine", "660", "gain", "-3"});
  RunTool("oggenc", {"-Q", "-q", "2", "-o", ogg, wav});
  return ReadFile(ogg);
}

// What a test does to the channel before a stretch of frames is rendered.
struct Step {
  int frames;
  std::function<void(const Ref<TPlayChannel>&)> act;
};

class StreamClipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/kelpora-stream-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tempDir = dir;
    InitStreamModule();
    InitOggLoader();
    InitAudioModule();
    ASSERT_EQ(audio_open(std::make_unique<offlineaudio>()), 0);
    InstallAudioBackend(MakeRef<TMixerBackend>());
    stereo = new Bytes(MakeOgg("stereo", 3.0, 2));
    mono = new Bytes(MakeOgg("mono", 1.2, 1));
    tiny = new Bytes(MakeOgg("tiny", 0.04, 2));
  }
  static void TearDownTestSuite() {
    audio_close();
    RunTool("rm", {"-rf", tempDir});
  }

  static Ref<TDataStream> Stream(const Bytes& bytes, bool positioned = true) {
    return MakeRef<TMemoryStream>(bytes, positioned);
  }

  // One pass of at most 1024 frames at a time, as the output thread would.
  static void Render(std::vector<int16_t>& out, int frames, bool waitForDecoder = true) {
    for (int done = 0; done < frames; done += 1024) {
      if (waitForDecoder) {
        EXPECT_TRUE(WaitForStreamRefill(20000));
      }
      const size_t at = out.size();
      const int n = std::min(1024, frames - done);
      out.resize(at + 2 * size_t(n));
      static_cast<offlineaudio*>(audio_device())->render(out.data() + at, n);
    }
  }

  // Starts the clip and renders the steps; the channel is halted after them.
  static std::vector<int16_t> Play(const Ref<TSoundClip>& clip, const std::vector<Step>& steps) {
    std::vector<int16_t> out;
    Ref<TPlayChannel> channel = StartClip(clip, nullptr);
    EXPECT_TRUE(channel);
    if (!channel) return out;
    for (const Step& step : steps) {
      if (step.act) step.act(channel);
      Render(out, step.frames);
    }
    ChannelHalt(channel);
    std::vector<int16_t> flush;
    Render(flush, 1024);
    return out;
  }

  static inline Bytes* stereo;
  static inline Bytes* mono;
  static inline Bytes* tiny;
};

auto Rate(float r) {
  return [r](const Ref<TPlayChannel>& c) { ChannelSetRate(c, r); };
}
auto Volume(float v) {
  return [v](const Ref<TPlayChannel>& c) { ChannelSetVolume(c, v); };
}
void Pause(const Ref<TPlayChannel>& c) { ChannelPause(c); }
void Resume(const Ref<TPlayChannel>& c) { ChannelResume(c); }
void Halt(const Ref<TPlayChannel>& c) { ChannelHalt(c); }

TEST_F(StreamClipTest, StreamedFramesEqualTheLoadedClipsWhateverTheChannelDoes) {
  struct Case {
    const char* name;
    const Bytes* file;
    int flags;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      // 2.5 times through a 3 s file: two loop points and many ring wraps.
      {"loops", stereo, 1, {{330000, {}}}},
      {"rates across the loop point",
       stereo,
       1,
       {{50000, Rate(1.37f)}, {70000, Rate(0.61f)}, {60000, Rate(2.0f)}, {90000, Rate(1.0f)}}},
      {"pause, resume, volume, halt",
       stereo,
       1,
       {{30000, {}},
        {10000, Pause},
        {5000, Volume(0.5f)},
        {40000, Resume},
        {20000, Volume(0.0f)},
        {20000, Volume(1.0f)},
        {20000, Halt}}},
      {"plays once past its end", stereo, 0, {{150000, Rate(1.1f)}}},
      {"mono, looped, paused on a loop point", mono, 1, {{52920, {}}, {3000, Pause}, {60000, Resume}}},
      {"ends during the first refill", tiny, 0, {{4096, {}}}},
      {"ends during the first refill, looped", tiny, 1, {{20000, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t silence = StreamedSilenceFrames();
    Ref<TSoundClip> loaded = LoadClip(Stream(*c.file), c.flags);
    Ref<TSoundClip> streamed = StreamClip(Stream(*c.file), c.flags);
    ASSERT_TRUE(RefCast<TMixerClip>(loaded));
    ASSERT_TRUE(RefCast<TStreamClip>(streamed));
    const std::vector<int16_t> want = Play(loaded, c.steps);
    const std::vector<int16_t> got = Play(streamed, c.steps);
    ASSERT_EQ(got.size(), want.size());
    size_t first = 0;
    while (first < got.size() && got[first] == want[first]) ++first;
    EXPECT_EQ(first, got.size()) << "first differing frame " << first / 2;
    EXPECT_NE(std::count(want.begin(), want.end(), int16_t{0}), long(want.size()));
    EXPECT_EQ(StreamedSilenceFrames(), silence) << "the decoder fell behind";
  }
}

TEST_F(StreamClipTest, StartsOfOneClipOnAURLOverlapAndOnAStreamTakeOver) {
  const std::string path = tempDir + "/stereo.ogg";
  Ref<TSoundClip> byUrl = StreamClip(FromBytes(path), 0);
  Ref<TSoundClip> loaded = LoadClip(FromBytes(path), 0);
  ASSERT_TRUE(byUrl);
  std::vector<int16_t> twice, loadedTwice, once;
  for (auto [clip, out] : {std::pair{byUrl, &twice}, std::pair{loaded, &loadedTwice}}) {
    Ref<TPlayChannel> a = StartClip(clip, nullptr);
    Ref<TPlayChannel> b = StartClip(clip, nullptr);
    Render(*out, 2048);
    ChannelHalt(a);
    ChannelHalt(b);
  }
  EXPECT_EQ(twice, loadedTwice);
  Ref<TPlayChannel> c = StartClip(loaded, nullptr);
  Render(once, 2048);
  ChannelHalt(c);

  // One stream: the second start takes the decoder and plays from the start.
  Ref<TSoundClip> byStream = StreamClip(Stream(*stereo), 0);
  Ref<TPlayChannel> first = StartClip(byStream, nullptr);
  std::vector<int16_t> skip, again;
  Render(skip, 3000);
  Ref<TPlayChannel> second = StartClip(byStream, first);
  EXPECT_EQ(second.get(), first.get());
  Render(again, 2048);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), once.begin()));
  ChannelHalt(second);
  Render(skip, 1024);
}

TEST_F(StreamClipTest, AStarvedDecoderGivesCountedSilenceThenResumesWhereItStopped) {
  Ref<TSoundClip> loaded = LoadClip(Stream(*stereo), 0);
  const std::vector<int16_t> want = Play(loaded, {{140000, {}}});

  auto gated = MakeRef<TMemoryStream>(*stereo, true);
  Ref<TSoundClip> streamed = StreamClip(gated, 0);
  gated->gateAt = int(stereo->size() / 3);  // past what the first refill reads
  Ref<TPlayChannel> channel = StartClip(streamed, nullptr);
  std::vector<int16_t> got;
  int silentPasses = 0;
  const int64_t before = StreamedSilenceFrames();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (silentPasses < 5 && std::chrono::steady_clock::now() < deadline) {
    const int64_t s = StreamedSilenceFrames();
    std::vector<int16_t> pass;
    Render(pass, 1024, false);
    if (StreamedSilenceFrames() != s) {
      ++silentPasses;
      EXPECT_EQ(std::count(pass.begin(), pass.end(), int16_t{0}), long(pass.size()));
    } else {
      got.insert(got.end(), pass.begin(), pass.end());
    }
  }
  ASSERT_EQ(silentPasses, 5);
  EXPECT_EQ(StreamedSilenceFrames() - before, 5 * 1024);
  gated->OpenGate();
  while (ChannelIsPlaying(channel) && got.size() < want.size()) Render(got, 1024);
  ChannelHalt(channel);
  got.resize(want.size());
  size_t first = 0;
  while (first < got.size() && got[first] == want[first]) ++first;
  EXPECT_EQ(first, got.size()) << "first differing frame " << first / 2;
}

TEST_F(StreamClipTest, DamagedAndUnusualSourcesPlayAsTheLoaderReadsThem) {
  // A page in the middle with a broken checksum: that stretch is skipped.
  Bytes holed = *stereo;
  const std::vector<OggPage> pages = OggPages(holed);
  ASSERT_GE(pages.size(), 5u);
  holed[pages[pages.size() - 2].offset + 40] ^= 0x5a;
  Bytes cut(stereo->begin(), stereo->begin() + long(stereo->size() * 3 / 5));

  struct Case {
    const char* name;
    Bytes bytes;
  };
  for (const Case& c : std::vector<Case>{{"corrupt page", holed}, {"cut short", cut}}) {
    SCOPED_TRACE(c.name);
    Ref<TSampleData> sample = LoadSample(Stream(c.bytes));
    ASSERT_TRUE(sample);
    EXPECT_GT(sample->length, 44100);
    EXPECT_LT(sample->length, 3 * 44100);
    const std::vector<int16_t> want = Play(LoadClip(sample, 0), {{140000, {}}});
    const std::vector<int16_t> got = Play(StreamClip(Stream(c.bytes), 0), {{140000, {}}});
    EXPECT_EQ(got, want);
  }

  // A stream without a position plays once, and refuses to loop up front.
  const std::vector<int16_t> want = Play(LoadClip(Stream(*stereo), 0), {{140000, {}}});
  EXPECT_EQ(Play(StreamClip(Stream(*stereo, false), 0), {{140000, {}}}), want);
  try {
    StreamClip(Stream(*stereo, false), 1);
    ADD_FAILURE() << "looping a stream without a position was accepted";
  } catch (const TRuntimeError& error) {
    EXPECT_EQ(error.ToString(), u"Streamed clip cannot loop: the stream is not seekable");
  }
  EXPECT_FALSE(StreamClip(Stream(Bytes(100, 7)), 0));
}

TEST_F(StreamClipTest, AThousandStartsAndHaltsLeaveNoFeedOrDescriptorBehind) {
  auto descriptors = [] {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
  };
  const std::string path = tempDir + "/mono.ogg";
  Ref<TSoundClip> clip = StreamClip(FromBytes(path), 1);
  std::vector<int16_t> out;
  Render(out, 1024);
  const int before = descriptors();
  for (int i = 0; i < 1000; ++i) {
    Ref<TPlayChannel> channel = StartClip(clip, nullptr);
    ASSERT_TRUE(channel);
    out.clear();
    Render(out, 64, false);
    ChannelHalt(channel);
  }
  out.clear();
  Render(out, 2048);
  EXPECT_TRUE(WaitForStreamRefill(20000));
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
