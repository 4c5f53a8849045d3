// A small synthesiser that renders notes into a looping stereo buffer: whatever
// rings past the end continues at the start, so the piece loops without a seam.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/asset_gen/ogg_writer.h"

namespace kelpora::assetgen {

constexpr double kSampleRate = 44100.0;

class LoopBuffer {
 public:
  explicit LoopBuffer(size_t frames) : left_(frames), right_(frames) {}
  size_t Frames() const { return left_.size(); }
  void Add(int64_t frame, float l, float r) {
    int64_t n = static_cast<int64_t>(left_.size());
    size_t i = static_cast<size_t>(((frame % n) + n) % n);
    left_[i] += l;
    right_[i] += r;
  }
  float& L(size_t i) { return left_[i]; }
  float& R(size_t i) { return right_[i]; }
  void Mix(const LoopBuffer& other, float gain);

 private:
  std::vector<float> left_, right_;
};

enum class Wave { kSine, kTriangle, kSaw, kSquare, kPulse25 };

struct Instrument {
  Wave wave = Wave::kSaw;
  int unison = 1;  // detuned copies
  float detuneCents = 0;
  float attack = 0.005f, decay = 0.2f, sustain = 0.7f, release = 0.2f;  // seconds, level
  float cutoff = 2000;                                                  // low-pass cutoff in Hz
  float envToCutoff = 0;                        // extra cutoff at the envelope's peak, Hz
  float resonance = 0.2f;                       // 0..0.9
  float vibratoDepth = 0;                       // semitones
  float vibratoRate = 5.5f;                     // Hz
  float vibratoDelay = 0.3f;                    // seconds
  float subLevel = 0;                           // sine an octave below
  float fmRatio = 0, fmIndex = 0, fmDecay = 1;  // bell-like FM when fmRatio > 0
  float gain = 0.2f;
  float stereoWidth = 0;  // unison voices spread across the field
};

// Renders one note; `midi` may be fractional. Pan -1 (left) .. 1 (right).
// `sends` receives the same signal scaled by `sendGain` (effects buses).
void RenderNote(LoopBuffer& out, const Instrument& ins, double startSec, double lengthSec,
                double midi, float velocity, float pan, LoopBuffer* sends = nullptr,
                float sendGain = 0);

enum class Drum { kKick, kSnare, kClosedHat, kOpenHat, kClap, kShaker, kTom };
void RenderDrum(LoopBuffer& out, Drum drum, double startSec, float velocity, float pan,
                uint32_t seed, double tomMidi = 45);

// Circular effects: run over the loop twice so the tail of the end feeds the start.
void PingPongDelay(const LoopBuffer& in, LoopBuffer& out, double delaySec, float feedback,
                   float damping);
void Reverb(const LoopBuffer& in, LoopBuffer& out, float roomSize, float damping);

// Scales to `targetRmsDb` (dBFS) and limits peaks to `ceiling` with a smooth gain.
StereoAudio Master(LoopBuffer& mix, float targetRmsDb, float ceiling);

}  // namespace kelpora::assetgen
