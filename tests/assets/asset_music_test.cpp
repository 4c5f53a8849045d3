// The music decoded by vorbisfile: length, loudness, headroom and a loop point
// that does not click.
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>

#include "asset_support.h"

namespace kelpora::assettest {
namespace {

struct Pcm {
  int channels = 0;
  long rate = 0;
  std::vector<float> samples;  // interleaved
};

Pcm Decode(const std::string& path) {
  OggVorbis_File vf;
  Pcm pcm;
  if (ov_fopen(path.c_str(), &vf) != 0) return pcm;
  vorbis_info* vi = ov_info(&vf, -1);
  pcm.channels = vi->channels;
  pcm.rate = vi->rate;
  pcm.samples.reserve(static_cast<size_t>(ov_pcm_total(&vf, -1)) * vi->channels);
  int section = 0;
  for (;;) {
    float** data = nullptr;
    long n = ov_read_float(&vf, &data, 4096, &section);
    if (n <= 0) break;
    for (long i = 0; i < n; ++i)
      for (int c = 0; c < pcm.channels; ++c) pcm.samples.push_back(data[c][i]);
  }
  ov_clear(&vf);
  return pcm;
}

class Music : public ::testing::TestWithParam<const char*> {};

TEST_P(Music, LoudEnoughWithHeadroomAndLoopsWithoutAClick) {
  const Expected& e = Find(GetParam());
  Pcm pcm = Decode(AssetPath(e.name));
  ASSERT_EQ(pcm.channels, 2);
  ASSERT_EQ(pcm.rate, 44100);
  const size_t frames = pcm.samples.size() / 2;
  EXPECT_NEAR(frames / 44100.0, e.seconds, 0.05);

  double sumSq = 0, peak = 0;
  for (float s : pcm.samples) {
    sumSq += double(s) * s;
    peak = std::max(peak, double(std::fabs(s)));
  }
  double rmsDb = 10 * std::log10(sumSq / pcm.samples.size());
  EXPECT_GE(rmsDb, -20.0);
  EXPECT_LE(rmsDb, -14.0);
  EXPECT_LT(peak, 0.99) << "peaks below full scale";

  // Stereo: the two channels differ.
  double sideSq = 0;
  for (size_t i = 0; i < frames; ++i) {
    double side = pcm.samples[i * 2] - pcm.samples[i * 2 + 1];
    sideSq += side * side;
  }
  EXPECT_GT(sideSq / sumSq, 0.01);

  // The step from the last frame to the first is an ordinary step of the music.
  std::vector<float> steps;
  for (size_t i = 1; i < frames; i += 7)
    for (int c = 0; c < 2; ++c)
      steps.push_back(std::fabs(pcm.samples[i * 2 + c] - pcm.samples[(i - 1) * 2 + c]));
  std::nth_element(steps.begin(), steps.begin() + static_cast<long>(steps.size() * 999 / 1000),
                   steps.end());
  float typical = steps[steps.size() * 999 / 1000];
  for (int c = 0; c < 2; ++c)
    EXPECT_LE(std::fabs(pcm.samples[c] - pcm.samples[(frames - 1) * 2 + c]), typical)
        << "channel " << c;
  // And the music plays on through the loop point instead of fading out.
  auto rmsAt = [&](size_t from, size_t count) {
    double s = 0;
    for (size_t i = from; i < from + count; ++i)
      s += double(pcm.samples[i * 2]) * pcm.samples[i * 2];
    return std::sqrt(s / count);
  };
  const size_t window = 44100 / 4;
  double overall = std::sqrt(sumSq / pcm.samples.size());
  EXPECT_GT(rmsAt(frames - window, window), overall * 0.2);
  EXPECT_GT(rmsAt(0, window), overall * 0.2);
}

INSTANTIATE_TEST_SUITE_P(Pieces, Music,
                         ::testing::Values("intro/intromusic.ogg", "DATAS/music-level1.ogg"));

}  // namespace
}  // namespace kelpora::assettest
