// Helpers of the mixer tests: a flat interface opened on an offline device,
// samples made from plain arrays, passes rendered into memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/software_mixer.h"

namespace kelpora::testing {

class OfflineMixer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(audio_open(std::unique_ptr<audiodevice>(new offlineaudio)), 0);
    device = static_cast<offlineaudio*>(audio_device());
  }
  void TearDown() override {
    for (pcmsample* pcm : samples) audio_releasesample(pcm);
    audio_close();
  }
  // A sample from interleaved 16-bit or 8-bit values; released at the end of the test.
  template <typename T>
  pcmsample* Sample(const std::vector<T>& data, int channels, int loop = 0) {
    pcmsample* pcm = audio_newsample(static_cast<int>(data.size()) / channels, 8 * sizeof(T),
                                     channels, 44100, data.data(), loop);
    samples.push_back(pcm);
    return pcm;
  }
  pcmsample* Sample16(const std::vector<int16_t>& data, int channels, int loop = 0) {
    return Sample(data, channels, loop);
  }
  pcmsample* Sample8(const std::vector<uint8_t>& data, int channels, int loop = 0) {
    return Sample(data, channels, loop);
  }
  // One pass of 1024 frames, interleaved left and right.
  std::vector<int16_t> Pass() {
    std::vector<int16_t> out(2048);
    device->render(out.data(), 1024);
    return out;
  }

  offlineaudio* device = nullptr;
  std::vector<pcmsample*> samples;
};

// A stereo sample of `frames` frames holding left = l, right = r throughout.
inline std::vector<int16_t> Constant(int frames, int16_t l, int16_t r) {
  std::vector<int16_t> data;
  for (int i = 0; i < frames; ++i) data.insert(data.end(), {l, r});
  return data;
}

// floor(a / b) for b > 0, independent of the mixer's shifts.
inline int FloorDiv(int64_t a, int64_t b) {
  return static_cast<int>(a >= 0 ? a / b : -((-a + b - 1) / b));
}

}  // namespace kelpora::testing
