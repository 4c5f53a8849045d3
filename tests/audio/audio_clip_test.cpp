// Clips and channels: the null backend, the module functions, and the mixer
// backend checked on what the mixer renders (an offline device runs the
// output thread's passes here, so every frame can be compared).
#include <gtest/gtest.h>

#include <functional>

#include "audio/clips_channels.h"
#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/sample_loader.h"
#include "audio/mixer_backend.h"
#include "audio/sample.h"
#include "audio/software_mixer.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include "stream/stream.h"

using namespace kelpora;

namespace {

// Counts the URLs that reach the protocols, and opens none of them.
class TCountingProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>&, const String&, const String&, int,
                                int) override {
    ++opens;
    return nullptr;
  }
  int opens = 0;
};

// A stereo 16-bit sample whose frames all differ: left 100, 120, ..., right
// the negated left, small enough that two of them add without clipping.
Ref<TSampleData> StereoSample(int frames) {
  Ref<TSampleData> sample = TSampleData::Create(frames, 44100, SAMPLE_STEREO16LE);
  auto* pcm = reinterpret_cast<int16_t*>(sample->data);
  for (int i = 0; i < frames; ++i) {
    pcm[2 * i] = static_cast<int16_t>(100 + (i % 500) * 20);
    pcm[2 * i + 1] = static_cast<int16_t>(-pcm[2 * i]);
  }
  return sample;
}

int16_t Left(const Ref<TSampleData>& sample, int frame) {
  return reinterpret_cast<const int16_t*>(sample->data)[2 * frame];
}

// The left side of `out` is the 300-frame sample's from its start, looping, shifted right.
void ExpectLeft(const std::vector<int16_t>& out, const Ref<TSampleData>& sample, int shift = 0) {
  for (size_t k = 0; k < out.size() / 2; ++k)
    ASSERT_EQ(out[2 * k], Left(sample, int(k % 300)) >> shift) << "frame " << k;
}

class MixerClipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitStreamModule();
    InitAudioModule();
    ASSERT_EQ(audio_open(std::make_unique<offlineaudio>()), 0);
  }
  static void TearDownTestSuite() { audio_close(); }

  void SetUp() override {
    InstallAudioBackend(MakeRef<TMixerBackend>());
    sample = StereoSample(300);
    clip = LoadClip(sample, 1);
    ASSERT_TRUE(RefCast<TMixerClip>(clip));
  }
  void TearDown() override {
    for (auto& channel : started) ChannelHalt(channel);
    Render(1024);  // the halted voices go back to the pool
  }

  // The next `frames` frames of the mix, left and right interleaved.
  std::vector<int16_t> Render(int frames) {
    std::vector<int16_t> out(static_cast<size_t>(frames) * 2);
    for (int done = 0; done < frames; done += 1024)
      static_cast<offlineaudio*>(audio_device())
          ->render(out.data() + done * 2, std::min(1024, frames - done));
    return out;
  }

  Ref<TPlayChannel> Started(Ref<TPlayChannel> channel) {
    started.push_back(channel);
    return channel;
  }

  Ref<TSampleData> sample;
  Ref<TSoundClip> clip;
  std::vector<Ref<TPlayChannel>> started;
};

TEST(SoundInterfaceTest, NoneClipOrChannelRaisesTheNullObjectError) {
  InitAudioModule();
  Ref<TSoundClip> noClip;
  Ref<TPlayChannel> noChannel;
  const std::function<void()> calls[] = {
      [&] { StartClip(noClip, noChannel); },     [&] { QueueClip(noClip, noChannel); },
      [&] { ChannelHalt(noChannel); },           [&] { ChannelIsPlaying(noChannel); },
      [&] { ChannelSetVolume(noChannel, 1); },   [&] { ChannelSetPan(noChannel, 0); },
      [&] { ChannelSetDepth(noChannel, 0); },    [&] { ChannelSetRate(noChannel, 1); },
      [&] { ChannelPause(noChannel); },          [&] { ChannelResume(noChannel); }};
  for (const auto& call : calls) EXPECT_THROW(call(), TNullObjectError);
}

TEST_F(MixerClipTest, SampleIsTakenAsItIsWithoutAStreamAndNotKept) {
  Ref<TCountingProtocol> counter = MakeRef<TCountingProtocol>();
  Ref<TSampleData> mono = TSampleData::Create(3, 44100, SAMPLE_MONO8);
  mono->data[0] = 0;
  mono->data[1] = 128;
  mono->data[2] = 255;
  Ref<TSoundClip> widened = LoadClip(mono, 0);
  EXPECT_EQ(counter->opens, 0);
  EXPECT_EQ(mono->RefCount(), 1) << "the mixer holds the only copy of the frames";
  EXPECT_FALSE(LoadClip(u"nothing::here", 1));
  EXPECT_EQ(counter->opens, 1);

  Started(StartClip(widened, nullptr));
  EXPECT_EQ(Render(4), (std::vector<int16_t>{-32768, -32768, 128, 128, 32767, 32767, 0, 0}));
}

TEST_F(MixerClipTest, AnyNonzeroFlagsLoopAndZeroPlaysOnce) {
  for (int flags : {0, 1, 2}) {
    Ref<TPlayChannel> channel = Started(StartClip(LoadClip(sample, flags), nullptr));
    std::vector<int16_t> out = Render(1024);
    for (int k = 0; k < 1024; ++k) {
      int16_t expected = flags == 0 && k >= 300 ? 0 : Left(sample, k % 300);
      ASSERT_EQ(out[2 * k], expected) << "flags " << flags << ", frame " << k;
      ASSERT_EQ(out[2 * k + 1], -expected) << "flags " << flags << ", frame " << k;
    }
    EXPECT_EQ(ChannelIsPlaying(channel), flags == 0 ? 0 : 1) << "flags " << flags;
    ChannelHalt(channel);
  }
}

TEST_F(MixerClipTest, TwoStartsOnNoChannelPlayTogetherOnTheirOwnChannels) {
  Ref<TPlayChannel> first = Started(StartClip(clip, nullptr));
  Ref<TPlayChannel> second = Started(StartClip(clip, nullptr));
  ASSERT_TRUE(first && second);
  EXPECT_NE(RefCast<TMixerChannel>(first)->handle, RefCast<TMixerChannel>(second)->handle);
  std::vector<int16_t> out = Render(600);
  for (int k = 0; k < 600; ++k) ASSERT_EQ(out[2 * k], 2 * Left(sample, k % 300)) << k;

  ChannelHalt(first);
  ExpectLeft(Render(300), sample);  // only the second
  EXPECT_EQ(ChannelIsPlaying(first), 0);
  EXPECT_EQ(ChannelIsPlaying(second), 1);
}

TEST_F(MixerClipTest, RestartOnItsChannelKeepsTheObjectAndSettingsAndStartsOver) {
  Ref<TPlayChannel> channel = Started(StartClip(clip, nullptr));
  ChannelSetVolume(channel, 0.5f);
  Render(1024 + 77);  // ramps to half volume, then stops at frame 77 of the loop

  EXPECT_EQ(StartClip(clip, channel).get(), channel.get());
  ExpectLeft(Render(600), sample, 1);
  EXPECT_EQ(ChannelIsPlaying(channel), 1);

  // The channel steers the newest voice: halting it silences the restart.
  ChannelHalt(channel);
  EXPECT_EQ(ChannelIsPlaying(channel), 0);
  EXPECT_EQ(Render(2048), std::vector<int16_t>(4096, 0));
}

TEST_F(MixerClipTest, QueuedClipResumedAtHalfVolumeStartsAtHalfFromItsFirstFrame) {
  Ref<TPlayChannel> channel = Started(QueueClip(clip, nullptr));
  ASSERT_TRUE(channel);
  EXPECT_EQ(ChannelIsPlaying(channel), 1) << "paused counts as playing";
  EXPECT_EQ(Render(1024), std::vector<int16_t>(2048, 0));
  ChannelSetVolume(channel, 0.5f);
  ChannelResume(channel);
  ExpectLeft(Render(300), sample, 1);
}

TEST_F(MixerClipTest, PausedIsPlayingHaltedIsNotAndASecondHaltReachesNothingElse) {
  Ref<TPlayChannel> channel = Started(StartClip(clip, nullptr));
  Render(100);
  ChannelPause(channel);
  EXPECT_EQ(ChannelIsPlaying(channel), 1);
  EXPECT_EQ(Render(1024), std::vector<int16_t>(2048, 0));
  ChannelResume(channel);
  EXPECT_EQ(Render(10)[0], Left(sample, 100)) << "resumes where it paused";

  ChannelHalt(channel);
  EXPECT_EQ(ChannelIsPlaying(channel), 0);
  Render(2048);  // the voice and its channel go back to the pools
  Ref<TPlayChannel> other = Started(StartClip(clip, nullptr));
  ChannelHalt(channel);
  EXPECT_EQ(ChannelIsPlaying(channel), 0);
  EXPECT_EQ(ChannelIsPlaying(other), 1);
  ExpectLeft(Render(300), sample);
}

TEST_F(MixerClipTest, ChannelsOfAnotherBackendAreRefusedReservedOnesAreUsed) {
  Ref<TPlayChannel> foreign = MakeRef<TPlayChannel>();
  EXPECT_FALSE(StartClip(clip, foreign));
  EXPECT_FALSE(QueueClip(clip, foreign));
  EXPECT_EQ(Render(300), std::vector<int16_t>(600, 0));

  Ref<TPlayChannel> reserved = ReserveChannel();
  ASSERT_TRUE(RefCast<TMixerChannel>(reserved));
  EXPECT_EQ(ChannelIsPlaying(reserved), 0);
  ChannelSetVolume(reserved, 0.5f);
  EXPECT_EQ(Started(StartClip(clip, reserved)).get(), reserved.get());
  ExpectLeft(Render(300), sample, 1);
}

}  // namespace
