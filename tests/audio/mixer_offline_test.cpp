// Mixes rendered offline and compared sample for sample with values worked out
// here from the fixed-point definitions (4.12 volume, 16.16 rate, /16 output).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/audio/mixer_render.h"

namespace kelpora::testing {
namespace {

// A few thousand frames of varied stereo values, full scale included.
std::vector<int16_t> Varied(int frames) {
  std::vector<int16_t> data;
  uint32_t x = 12345;
  for (int i = 0; i < 2 * frames; ++i) {
    x = x * 1103515245 + 12345;
    data.push_back(static_cast<int16_t>(x >> 16));
  }
  data[0] = 32767;
  data[1] = -32768;
  return data;
}

// Starts paused so that settings take effect without a ramp, then resumes.
int StartWith(pcmsample* pcm, float rate, float volume = 1.0f) {
  int h = audio_play(pcm, 1, 0);
  audio_setrate(h, rate);
  audio_setvolume(h, volume);
  audio_pausechannel(h, 0);
  return h;
}

class MixerRender : public OfflineMixer {
 protected:
  void Reopen() {
    audio_close();
    OfflineMixer::SetUp();
  }
};

TEST_F(MixerRender, UnityPassesSamplesThroughUnchanged) {
  std::vector<int16_t> in = Varied(2048);
  audio_play(Sample16(in, 2), 0, 0);
  std::vector<int16_t> a = Pass(), b = Pass();
  a.insert(a.end(), b.begin(), b.end());
  EXPECT_EQ(a, in);
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));

  // 8-bit mono: (byte - 128) × 256 on both sides.
  std::vector<uint8_t> bytes = {0, 1, 127, 128, 129, 255};
  audio_play(Sample8(bytes, 1), 0, 0);
  std::vector<int16_t> out = Pass();
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(out[2 * i], (bytes[i] - 128) * 256);
    EXPECT_EQ(out[2 * i + 1], (bytes[i] - 128) * 256);
  }
}

TEST_F(MixerRender, InPhaseVoicesClipInsteadOfWrapping) {
  std::vector<int16_t> in = {32767, -32768, 20000, -20000, 10000, -1};
  pcmsample* pcm = Sample16(in, 2);
  audio_play(pcm, 0, 0);
  audio_play(pcm, 0, 0);
  std::vector<int16_t> out = Pass();
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 6),
            (std::vector<int16_t>{32767, -32768, 32767, -32768, 20000, -2}));

  // Hundreds of loud voices: the sum clips at any count, and voices that
  // cancel out still cancel exactly however many there are.
  // At volume 8.0 a voice adds 32767 × 32767 / 256 (floored) per side; a
  // cancelling pair leaves -1, and 700 pairs -700 / 16 = -44 after the shift.
  pcmsample* loud = Sample16(Constant(4, 32767, -32767), 2, 1);
  pcmsample* inverse = Sample16(Constant(4, -32767, 32767), 2, 1);
  struct Case {
    int loud, inverse;
    std::vector<int16_t> expect;
  } cases[] = {{600, 0, {32767, -32768}}, {1500, 0, {32767, -32768}}, {700, 700, {-44, -44}}};
  for (const Case& c : cases) {
    std::vector<int> handles;
    for (int i = 0; i < c.loud; ++i) handles.push_back(StartWith(loud, 1.0f, 8.0f));
    for (int i = 0; i < c.inverse; ++i) handles.push_back(StartWith(inverse, 1.0f, 8.0f));
    std::vector<int16_t> pass = Pass();
    EXPECT_EQ(std::vector<int16_t>(pass.begin(), pass.begin() + 2), c.expect) << c.loud;
    for (int h : handles) audio_stopchannel(h);
    Pass();
  }
}

TEST_F(MixerRender, PanAndDepthShapeTheSides) {
  std::vector<int16_t> in = {1000, 1000, -3001, -3001, 32767, 32767, -32768, -32768};
  pcmsample* pcm = Sample16(in, 2);
  struct Case {
    float pan, depth;
    std::vector<int> expect;  // left, right per frame
  } cases[] = {
      {1.0f, 0, {0, 1000, 0, -3001, 0, 32767, 0, -32768}},
      {0.5f, 0, {500, 1000, -1501, -3001, 16383, 32767, -16384, -32768}},
      {-0.5f, 0, {1000, 500, -3001, -1501, 32767, 16383, -32768, -16384}},
      {0, -0.1f, {1000, -1000, -3001, 3001, 32767, -32767, -32768, 32767}},
      {0, -1.0f, {1000, -1000, -3001, 3001, 32767, -32767, -32768, 32767}},
      {0, 0, {1000, 1000, -3001, -3001, 32767, 32767, -32768, -32768}},
      {0, 0.5f, {1000, 1000, -3001, -3001, 32767, 32767, -32768, -32768}},
  };
  for (const Case& c : cases) {
    int h = audio_play(pcm, 0, 0);
    audio_setpan(h, c.pan);
    audio_setdepth(h, c.depth);
    std::vector<int16_t> out = Pass();
    EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 8), c.expect)
        << "pan " << c.pan << " depth " << c.depth;
  }
}

TEST_F(MixerRender, VolumeChangesRampOverOnePass) {
  int h = audio_play(Sample16(Constant(8, 16000, -16000), 2, 1), 0, 0);
  EXPECT_EQ(Pass(), std::vector<int16_t>(Constant(1024, 16000, -16000)));
  audio_setvolume(h, 0);
  std::vector<int16_t> out = Pass();
  for (int k = 0; k < 1024; ++k) {
    ASSERT_EQ(out[2 * k], FloorDiv(16000 * (1024 - k), 1024)) << k;
    ASSERT_EQ(out[2 * k + 1], FloorDiv(-16000 * (1024 - k), 1024)) << k;
  }
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));

  // A paused start set to volume 0 before it resumes is silent from frame one;
  // raised again, it ramps up from 0.
  int q = audio_play(Sample16(Constant(8, 16000, 16000), 2, 1), 1, 0);
  audio_setvolume(q, 0);
  audio_pausechannel(q, 0);
  audio_stopchannel(h);
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));
  audio_setvolume(q, 0.5f);
  out = Pass();
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[2046], FloorDiv(16000LL * 2 * 1023, 1024 * 4));
}

TEST_F(MixerRender, OnceVoiceEndingMidBlockStopsThere) {
  std::vector<int16_t> in = Varied(300);
  int h = audio_play(Sample16(in, 2), 0, 0);
  std::vector<int16_t> out = Pass();
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 600), in);
  EXPECT_TRUE(std::all_of(out.begin() + 600, out.end(), [](int16_t s) { return s == 0; }));
  EXPECT_EQ(audio_channelstate(h) & ~1, 0);  // not playing
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));
}

TEST_F(MixerRender, RatesPickTheFramesTheyReach) {
  std::vector<int16_t> in = Varied(4096);
  auto frame = [&](int f, int side) { return in[2 * f + side]; };

  StartWith(Sample16(in, 2), 2.0f);  // an octave up: every other frame
  std::vector<int16_t> out = Pass();
  for (int k = 0; k < 1024; ++k) ASSERT_EQ(out[2 * k], frame(2 * k, 0)) << k;
  Reopen();

  // 1.37 is 89784 in 16.16; the position counts samples, left rounds down to even.
  StartWith(Sample16(in, 2), 1.37f);
  out = Pass();
  for (int64_t k = 0; k < 1024; ++k) {
    int64_t i = ((k * 2 * 89784) >> 16) & ~int64_t{1};
    ASSERT_EQ(out[2 * k], in[i]) << k;
    ASSERT_EQ(out[2 * k + 1], in[i + 1]) << k;
  }
  Reopen();

  // Rate 0 holds the first frame; a negative rate holds too, never reading
  // before the data.
  for (float rate : {0.0f, -1.0f, -30000.0f}) {
    int h = StartWith(Sample16(in, 2), rate);
    out = Pass();
    EXPECT_EQ(out, Constant(1024, frame(0, 0), frame(0, 1))) << rate;
    audio_stopchannel(h);
    Pass();
  }
}

TEST_F(MixerRender, LoopShorterThanOneAdvanceWrapsInsideTheData) {
  std::vector<uint8_t> bytes = {10, 128, 250};
  StartWith(Sample8(bytes, 1, 1), 5.0f);  // 5 samples a frame over 3
  std::vector<int16_t> out = Pass();
  for (int k = 0; k < 1024; ++k) ASSERT_EQ(out[2 * k], (bytes[(5 * k) % 3] - 128) * 256) << k;
}

TEST_F(MixerRender, SettingsBeyondTheirFieldsAreHeldAtTheLimit) {
  // Each held at the edge of its 16-bit field instead of wrapping into an
  // inverted or opposite setting.
  struct Case {
    float volume, pan;
    int left, right;
  } cases[] = {
      {8.0f, 0, FloorDiv(1000 * 32767, 4096), FloorDiv(1000 * 32767, 4096)},
      {-9.0f, 0, -8000, -8000},
      {1.0f, 9.0f, FloorDiv(1000 * -28671, 4096), 1000},
  };
  for (const Case& c : cases) {
    int h = StartWith(Sample16(Constant(4, 1000, 1000), 2, 1), 1.0f, c.volume);
    audio_setpan(h, c.pan);
    std::vector<int16_t> out = Pass();
    EXPECT_EQ(out[0], c.left) << c.volume << " " << c.pan;
    EXPECT_EQ(out[1], c.right) << c.volume << " " << c.pan;
    audio_stopchannel(h);
    Pass();
  }
}

TEST_F(MixerRender, ShortPassesAndEmptySamples) {
  // A ramp pending over a pass of a single sample waits for the next pass.
  int h = audio_play(Sample16(Constant(4, 8000, 8000), 2, 1), 0, 0);
  Pass();
  audio_setvolume(h, 0);
  int16_t one[2] = {1, 1};
  device->engine->mix(one, 1);
  EXPECT_EQ(one[0], 0);
  EXPECT_EQ(Pass()[0], 8000);  // the ramp starts from full volume

  // Zero frames: refused at start, looping or not.
  pcmsample* empty = Sample16({}, 2, 1);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(audio_play(empty, 0, 0), 0);
  EXPECT_EQ(audio_play(Sample16({}, 2, 0), 0, 0), 0);
}

TEST_F(MixerRender, SampleShapes) {
  // Any width but 8 is stored and read as 16-bit.
  for (int bits : {9, 12, 15, 16, 24, 0}) {
    pcmsample* pcm = audio_newsample(10, bits, 2, 44100, nullptr, 0);
    ASSERT_NE(pcm, nullptr) << bits;
    EXPECT_EQ(pcm->size, 40) << bits;
    audio_releasesample(pcm);
  }
  EXPECT_EQ(audio_newsample(-1, 16, 2, 44100, nullptr, 0), nullptr);
  for (int channels : {0, -1, 3})
    EXPECT_EQ(audio_newsample(10, 16, channels, 44100, nullptr, 0), nullptr) << channels;
  EXPECT_EQ(audio_newsample(1 << 30, 16, 2, 44100, nullptr, 0), nullptr);

  // Unwritten frames are silent; writes stop at the length.
  pcmsample* pcm = audio_newsample(16, 16, 2, 44100, nullptr, 0);
  samples.push_back(pcm);
  std::vector<int16_t> data = Constant(10, 500, -500);
  EXPECT_EQ(audio_writesample(pcm, data.data(), 10), 10);
  EXPECT_EQ(audio_writesample(pcm, data.data(), 10), 6);
  EXPECT_EQ(audio_writesample(pcm, data.data(), 10), 0);
  pcmsample* blank = audio_newsample(16, 16, 2, 44100, nullptr, 0);
  samples.push_back(blank);
  audio_play(blank, 0, 0);
  EXPECT_EQ(Pass(), std::vector<int16_t>(2048, 0));
}

}  // namespace
}  // namespace kelpora::testing
