// The signal the device tests play: a stereo chirp, different on each side,
// the calls that start it (paused, at volume 0.7, then resumed) and its
// offline rendering, shared by the probe that plays it and the tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "audio/software_mixer.h"

namespace kelpora::testing {

constexpr int CHIRP_FRAMES = 35280;  // 0.8 s

inline std::vector<int16_t> Chirp() {
  std::vector<int16_t> data;
  for (int i = 0; i < CHIRP_FRAMES; ++i) {
    double t = i / 44100.0;
    double phase = 2 * M_PI * (300 * t + 1500 * t * t);  // 300 Hz rising to 2700 Hz
    data.push_back(static_cast<int16_t>(20000 * std::sin(phase)));
    data.push_back(static_cast<int16_t>(15000 * std::sin(1.5 * phase + 0.3)));
  }
  return data;
}

// Starts the chirp on a new channel and returns the handle.
inline int PlayChirp(pcmsample* pcm) {
  int h = audio_play(pcm, 1, 0);
  audio_setvolume(h, 0.7f);
  audio_pausechannel(h, 0);
  return h;
}

// The chirp's first `passes` passes of 1024 frames as a mixer of its own
// renders them, started as PlayChirp starts it.
inline std::vector<int16_t> OfflineChirpPasses(pcmsample* pcm, int passes) {
  mixer reference(2048);
  reference.outputRate = MIX_OUTPUT_RATE;
  sound* voice = reference.start(pcm, nullptr, VOICE_ONCE | VOICE_PAUSED);
  voice->setvolume(static_cast<int16_t>(0.7f * 4096));
  voice->pause(false);
  std::vector<int16_t> out(2048 * passes);
  for (int i = 0; i < passes; ++i) reference.mix(&out[2048 * i]);
  return out;
}

}  // namespace kelpora::testing
