#include "tools/asset_gen/synth.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

namespace {

constexpr double kTwoPi = 6.283185307179586;

double MidiToHz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

// Polynomial band-limited step correction for saw and square edges.
double PolyBlep(double t, double dt) {
  if (t < dt) {
    t /= dt;
    return t + t - t * t - 1.0;
  }
  if (t > 1.0 - dt) {
    t = (t - 1.0) / dt;
    return t * t + t + t + 1.0;
  }
  return 0.0;
}

double Oscillator(Wave wave, double phase, double dt) {
  switch (wave) {
    case Wave::kSine:
      return std::sin(kTwoPi * phase);
    case Wave::kTriangle:
      return 1.0 - 4.0 * std::fabs(phase - 0.5);
    case Wave::kSaw:
      return 2.0 * phase - 1.0 - PolyBlep(phase, dt);
    case Wave::kSquare:
    case Wave::kPulse25: {
      double width = wave == Wave::kSquare ? 0.5 : 0.25;
      double v = phase < width ? 1.0 : -1.0;
      v += PolyBlep(phase, dt);
      v -= PolyBlep(std::fmod(phase + 1.0 - width, 1.0), dt);
      return v;
    }
  }
  return 0.0;
}

// Chamberlin state-variable low-pass; the cutoff is capped where it stays stable.
struct LowPass {
  double low = 0, band = 0;
  static double Coefficient(double cutoffHz) {
    return 2.0 * std::sin(3.14159265 * std::min(cutoffHz, 7000.0) / kSampleRate);
  }
  double Process(double in, double f, double resonance) {
    double q = 1.0 - resonance;
    low += f * band;
    double high = in - low - q * band;
    band += f * high;
    return low;
  }
};

float Envelope(const Instrument& ins, double t, double length) {
  auto held = [&](double u) {
    if (u < ins.attack) return u / ins.attack;
    u -= ins.attack;
    if (u < ins.decay) return 1.0 - (1.0 - ins.sustain) * (u / ins.decay);
    return static_cast<double>(ins.sustain);
  };
  if (t < length) return static_cast<float>(held(t));
  double level = held(length);
  double r = (t - length) / ins.release;
  return static_cast<float>(r >= 1 ? 0 : level * (1 - r) * (1 - r));
}

}  // namespace

void LoopBuffer::Mix(const LoopBuffer& other, float gain) {
  for (size_t i = 0; i < left_.size(); ++i) {
    left_[i] += other.left_[i] * gain;
    right_[i] += other.right_[i] * gain;
  }
}

void RenderNote(LoopBuffer& out, const Instrument& ins, double startSec, double lengthSec,
                double midi, float velocity, float pan, LoopBuffer* sends, float sendGain) {
  const double base = MidiToHz(midi);
  const int64_t start = std::llround(startSec * kSampleRate);
  const int64_t total = static_cast<int64_t>((lengthSec + ins.release) * kSampleRate);
  std::vector<double> phases(static_cast<size_t>(ins.unison));
  for (int u = 0; u < ins.unison; ++u) phases[static_cast<size_t>(u)] = std::fmod(0.37 * u, 1.0);
  double subPhase = 0, modPhase = 0, coefficient = 0;
  LowPass filterL, filterR;
  std::vector<double> detune(static_cast<size_t>(ins.unison));
  for (int u = 0; u < ins.unison; ++u) {
    double spread = ins.unison > 1 ? (2.0 * u / (ins.unison - 1) - 1.0) : 0.0;
    detune[static_cast<size_t>(u)] = std::pow(2.0, spread * ins.detuneCents / 1200.0);
  }
  const float panL = std::sqrt(0.5f * (1 - pan)), panR = std::sqrt(0.5f * (1 + pan));
  for (int64_t i = 0; i < total; ++i) {
    double t = static_cast<double>(i) / kSampleRate;
    float env = Envelope(ins, t, lengthSec);
    double vib = 0;
    if (ins.vibratoDepth > 0 && t > ins.vibratoDelay)
      vib = ins.vibratoDepth * std::min(1.0, (t - ins.vibratoDelay) * 2) *
            std::sin(kTwoPi * ins.vibratoRate * t);
    double freq = vib != 0 ? base * std::pow(2.0, vib / 12.0) : base;
    double l = 0, r = 0;
    for (int u = 0; u < ins.unison; ++u) {
      double spread = ins.unison > 1 ? (2.0 * u / (ins.unison - 1) - 1.0) : 0.0;
      double f = freq * detune[static_cast<size_t>(u)];
      double dt = f / kSampleRate;
      double& ph = phases[static_cast<size_t>(u)];
      double v;
      if (ins.fmRatio > 0) {
        double modEnv = ins.fmIndex * std::exp(-t / ins.fmDecay);
        v = std::sin(kTwoPi * ph + modEnv * std::sin(kTwoPi * modPhase));
      } else {
        v = Oscillator(ins.wave, ph, dt);
      }
      ph += dt;
      if (ph >= 1.0) ph -= 1.0;
      double side = spread * ins.stereoWidth;
      l += v * (1.0 - side) / ins.unison;
      r += v * (1.0 + side) / ins.unison;
    }
    if (ins.fmRatio > 0) {
      modPhase += freq * ins.fmRatio / kSampleRate;
      if (modPhase >= 1.0) modPhase -= 1.0;
    }
    if (ins.subLevel > 0) {
      double s = ins.subLevel * std::sin(kTwoPi * subPhase);
      subPhase += freq * 0.5 / kSampleRate;
      if (subPhase >= 1.0) subPhase -= 1.0;
      l += s;
      r += s;
    }
    // The envelope moves slowly enough to update the filter every 8 samples.
    if (i % 8 == 0) coefficient = LowPass::Coefficient(ins.cutoff + ins.envToCutoff * env);
    l = filterL.Process(l, coefficient, ins.resonance);
    r = filterR.Process(r, coefficient, ins.resonance);
    float g = env * velocity * ins.gain;
    float gl = g * panL, gr = g * panR;
    float sl = static_cast<float>(l) * gl, sr = static_cast<float>(r) * gr;
    out.Add(start + i, sl, sr);
    if (sends) sends->Add(start + i, sl * sendGain, sr * sendGain);
  }
}

void RenderDrum(LoopBuffer& out, Drum drum, double startSec, float velocity, float pan,
                uint32_t seed, double tomMidi) {
  Random rng(seed);
  const int64_t start = std::llround(startSec * kSampleRate);
  double length = 0.3;
  switch (drum) {
    case Drum::kKick:
      length = 0.45;
      break;
    case Drum::kSnare:
      length = 0.3;
      break;
    case Drum::kClosedHat:
      length = 0.06;
      break;
    case Drum::kOpenHat:
      length = 0.35;
      break;
    case Drum::kClap:
      length = 0.25;
      break;
    case Drum::kShaker:
      length = 0.09;
      break;
    case Drum::kTom:
      length = 0.4;
      break;
  }
  const int64_t total = static_cast<int64_t>(length * kSampleRate);
  double phase = 0, hp = 0, prev = 0, bp1 = 0, bp2 = 0;
  float gl = std::sqrt(0.5f * (1 - pan)), gr = std::sqrt(0.5f * (1 + pan));
  for (int64_t i = 0; i < total; ++i) {
    double t = static_cast<double>(i) / kSampleRate;
    double noise = rng.Uniform() * 2.0 - 1.0;
    double v = 0;
    double fade = 1.0 - SmoothStep(static_cast<float>(length * 0.8), static_cast<float>(length),
                                   static_cast<float>(t));
    switch (drum) {
      case Drum::kKick: {
        double f = 45 + 110 * std::exp(-t * 28);
        phase += f / kSampleRate;
        v = std::sin(kTwoPi * phase) * std::exp(-t * 7) + noise * 0.08 * std::exp(-t * 200);
        v *= 0.9;
        break;
      }
      case Drum::kTom: {
        double f = MidiToHz(tomMidi) * (1 + 0.5 * std::exp(-t * 20));
        phase += f / kSampleRate;
        v = std::sin(kTwoPi * phase) * std::exp(-t * 9) * 0.7;
        break;
      }
      case Drum::kSnare: {
        phase += 185 / kSampleRate;
        bp1 += 0.35 * (noise - bp1);
        v = 0.45 * std::sin(kTwoPi * phase) * std::exp(-t * 25) + 0.55 * bp1 * std::exp(-t * 14);
        break;
      }
      case Drum::kClap: {
        double bursts = 0;
        for (int k = 0; k < 3; ++k) {
          double tk = t - 0.011 * k;
          if (tk >= 0) bursts += std::exp(-tk * (k < 2 ? 180 : 18));
        }
        bp1 += 0.5 * (noise - bp1);
        bp2 += 0.5 * (bp1 - bp2);
        v = (bp1 - bp2) * bursts * 0.9;
        break;
      }
      case Drum::kClosedHat:
      case Drum::kOpenHat:
      case Drum::kShaker: {
        hp = noise - prev;
        prev = noise;
        double decay = drum == Drum::kClosedHat ? 60 : drum == Drum::kOpenHat ? 9 : 30;
        double attack = drum == Drum::kShaker ? std::min(1.0, t / 0.015) : 1.0;
        v = hp * std::exp(-t * decay) * attack * 0.5;
        break;
      }
    }
    float s = static_cast<float>(v * fade) * velocity;
    out.Add(start + i, s * gl, s * gr);
  }
}

void PingPongDelay(const LoopBuffer& in, LoopBuffer& out, double delaySec, float feedback,
                   float damping) {
  const size_t n = in.Frames();
  const size_t d = static_cast<size_t>(delaySec * kSampleRate);
  std::vector<float> lineL(d, 0), lineR(d, 0);
  float lpL = 0, lpR = 0;
  auto& src = const_cast<LoopBuffer&>(in);
  for (size_t pass = 0; pass < 2; ++pass)
    for (size_t i = 0; i < n; ++i) {
      size_t k = i % d;
      float dl = lineL[k], dr = lineR[k];
      lpL += (1 - damping) * (dl - lpL);
      lpR += (1 - damping) * (dr - lpR);
      // Input enters on the left and bounces across.
      lineL[k] = (src.L(i) + src.R(i)) * 0.5f + lpR * feedback;
      lineR[k] = lpL * feedback;
      if (pass == 1) {
        out.L(i) += dl;
        out.R(i) += dr;
      }
    }
}

void Reverb(const LoopBuffer& in, LoopBuffer& out, float roomSize, float damping) {
  static const int kCombs[4] = {1557, 1617, 1491, 1422};
  static const int kAllpasses[2] = {556, 441};
  const size_t n = in.Frames();
  auto& src = const_cast<LoopBuffer&>(in);
  for (int ch = 0; ch < 2; ++ch) {
    const int spread = ch * 23;
    std::vector<std::vector<float>> combs, allpasses;
    std::vector<size_t> combPos(4, 0), apPos(2, 0);
    std::vector<float> combLp(4, 0);
    for (int c : kCombs) combs.emplace_back(static_cast<size_t>(c + spread), 0.0f);
    for (int a : kAllpasses) allpasses.emplace_back(static_cast<size_t>(a + spread), 0.0f);
    for (size_t pass = 0; pass < 2; ++pass)
      for (size_t i = 0; i < n; ++i) {
        float x = (src.L(i) + src.R(i)) * 0.015f;
        float y = 0;
        for (size_t c = 0; c < 4; ++c) {
          float& cell = combs[c][combPos[c]];
          float o = cell;
          combLp[c] = o * (1 - damping) + combLp[c] * damping;
          cell = x + combLp[c] * roomSize;
          combPos[c] = (combPos[c] + 1) % combs[c].size();
          y += o;
        }
        for (size_t a = 0; a < 2; ++a) {
          float& cell = allpasses[a][apPos[a]];
          float b = cell;
          cell = y + b * 0.5f;
          y = b - y;
          apPos[a] = (apPos[a] + 1) % allpasses[a].size();
        }
        if (pass == 1) (ch == 0 ? out.L(i) : out.R(i)) += y;
      }
  }
}

StereoAudio Master(LoopBuffer& mix, float targetRmsDb, float ceiling) {
  const size_t n = mix.Frames();
  // Remove any DC so the loop point and the limiter stay centred.
  double meanL = 0, meanR = 0;
  for (size_t i = 0; i < n; ++i) meanL += mix.L(i), meanR += mix.R(i);
  meanL /= static_cast<double>(n);
  meanR /= static_cast<double>(n);
  double sumSq = 0;
  for (size_t i = 0; i < n; ++i) {
    mix.L(i) -= static_cast<float>(meanL);
    mix.R(i) -= static_cast<float>(meanR);
    sumSq += double(mix.L(i)) * mix.L(i) + double(mix.R(i)) * mix.R(i);
  }
  double rms = std::sqrt(sumSq / (2.0 * static_cast<double>(n)));
  float gain = static_cast<float>(std::pow(10.0, targetRmsDb / 20.0) / std::max(rms, 1e-9));
  // Look-ahead limiter: a smooth gain that dips around each peak instead of
  // clipping it. Clipped tops would come back from the lossy encoder with
  // overshoot; a gain change adds almost no new harmonics.
  const size_t window = 1024;  // about 23 ms each way
  std::vector<float> need(n);
  for (size_t i = 0; i < n; ++i) {
    float peak = std::max(std::fabs(mix.L(i)), std::fabs(mix.R(i))) * gain;
    need[i] = peak > ceiling ? ceiling / peak : 1.0f;
  }
  // Windowed minimum (the loop wraps), then a box average of the same width:
  // each average only mixes minima whose windows include the sample itself.
  auto at = [&](int64_t i) {
    int64_t m = static_cast<int64_t>(n);
    return need[static_cast<size_t>(((i % m) + m) % m)];
  };
  std::vector<float> low(n);
  std::deque<int64_t> queue;  // indices whose values rise from front to back
  const int64_t half = static_cast<int64_t>(window);
  for (int64_t i = -2 * half; i < static_cast<int64_t>(n) + half; ++i) {
    while (!queue.empty() && at(queue.back()) >= at(i)) queue.pop_back();
    queue.push_back(i);
    int64_t centre = i - half;
    while (queue.front() < centre - half) queue.pop_front();
    if (centre >= 0) low[static_cast<size_t>(centre)] = at(queue.front());
  }
  // prefix[k] sums low over frames (k - window - 1) and before, wrapping.
  const size_t span = n + 2 * window;
  std::vector<double> prefix(span + 1, 0.0);
  for (size_t k = 0; k < span; ++k) prefix[k + 1] = prefix[k] + low[(k + n - window) % n];
  StereoAudio audio;
  audio.samples.resize(n * 2);
  for (size_t i = 0; i < n; ++i) {
    size_t from = i, to = i + 2 * window + 1;
    float g =
        gain * static_cast<float>((prefix[to] - prefix[from]) / static_cast<double>(to - from));
    audio.samples[i * 2] = mix.L(i) * g;
    audio.samples[i * 2 + 1] = mix.R(i) * g;
  }
  return audio;
}

}  // namespace kelpora::assetgen
