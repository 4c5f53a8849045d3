// The mixing pass, run by the output thread: drain the pending ring, mix every
// active voice into the accumulator, recycle finished voices through the free
// ring, convert to 16-bit. Integer only, no allocation.
//
// Each voice is mixed by one of eight loops, chosen once per pass by sample
// layout (8 or 16 bits, mono or stereo) and by whether volume or rate ramps.
// Inside a loop the end of the data is found ahead of time, so the per-frame
// work has no tests; a voice that reads its data frame after frame at its own
// rate takes a straight loop the compiler can vectorise. Streamed voices go
// through the same loops over the frames their ring holds for the pass.
#include <algorithm>
#include <cstdint>

#include "audio/software_mixer.h"

namespace kelpora {
namespace {

constexpr uint64_t FRACTION = uint64_t{1} << 32;
// Steps above 32768 source frames per output frame are held there, so that no
// product of the position arithmetic can overflow.
constexpr int64_t MAX_STEP = int64_t{1} << 31;

// One voice adds at most 2^22 in magnitude to an accumulator sample (a
// full-scale sample times the largest gain, less 8 fraction bits), so 511
// voices fit in 32 bits; past that the sums are carried on in 64 bits.
constexpr int VOICES_PER_SPILL = 511;

inline int Saturate16(int v) { return std::clamp(v, -32768, 32767); }

struct Gains {
  int left, right;
};

// Left and right gains of volume `g` at pan `p`; a negative depth inverts the
// right side.
inline Gains GainsOf(int g, int p, int d) {
  Gains out{g, g};
  if (p > 0) out.left = Saturate16(((4096 - p) * g) >> 12);
  if (p < 0) out.right = Saturate16(((4096 + p) * g) >> 12);
  if (d < 0) out.right = Saturate16(-out.right);
  return out;
}

// A 16.16 step for `rate` at the sample's own rate. Negative rates hold the
// position (a voice never plays backwards or before its data).
inline int64_t StepOf(int32_t rate, int sampleRate, int outputRate) {
  int64_t step = static_cast<int64_t>(rate) * sampleRate / outputRate;
  return std::clamp<int64_t>(step, 0, MAX_STEP);
}

template <bool Eight>
inline int Fetch(const uint8_t* data, uint64_t i, int gain) {
  if constexpr (Eight) {
    return (static_cast<int>(data[i]) - 128) * gain;
  } else {
    return (static_cast<int>(reinterpret_cast<const int16_t*>(data)[i]) * gain) >> 8;
  }
}

// Frames of `frames` that can be mixed from `pos` before the position reaches
// `end`.
inline int FramesBeforeEnd(uint64_t pos, uint64_t advance, uint64_t end, int frames) {
  if (advance == 0) return frames;
  uint64_t need = (end - pos + advance - 1) / advance;
  return need < static_cast<uint64_t>(frames) ? static_cast<int>(need) : frames;
}

// The plain loops: constant gains and advance. Returns true when a voice that
// plays once reached its end.
template <bool Eight, bool Stereo>
bool MixPlain(const uint8_t* data, int32_t* acc, int frames, uint64_t& pos, uint64_t advance,
              uint64_t end, bool loop, Gains g) {
  constexpr uint64_t UNIT = (Stereo ? 2 : 1) * FRACTION;
  const int gl = g.left, gr = g.right;
  int k = 0;
  while (k < frames) {
    int m = FramesBeforeEnd(pos, advance, end, frames - k);
    int32_t* a = acc + 2 * k;
    if (advance == UNIT && (pos & (FRACTION - 1)) == 0) {
      uint64_t base = pos >> 32;
      if constexpr (Stereo) {
        base &= ~uint64_t{1};
        for (int j = 0; j < m; ++j) {
          a[2 * j] += Fetch<Eight>(data, base + 2 * j, gl);
          a[2 * j + 1] += Fetch<Eight>(data, base + 2 * j + 1, gr);
        }
      } else {
        for (int j = 0; j < m; ++j) {
          a[2 * j] += Fetch<Eight>(data, base + j, gl);
          a[2 * j + 1] += Fetch<Eight>(data, base + j, gr);
        }
      }
      pos += m * advance;
    } else {
      uint64_t p = pos;
      for (int j = 0; j < m; ++j) {
        uint64_t i = p >> 32;
        if constexpr (Stereo) {
          i &= ~uint64_t{1};
          a[2 * j] += Fetch<Eight>(data, i, gl);
          a[2 * j + 1] += Fetch<Eight>(data, i + 1, gr);
        } else {
          a[2 * j] += Fetch<Eight>(data, i, gl);
          a[2 * j + 1] += Fetch<Eight>(data, i, gr);
        }
        p += advance;
      }
      pos = p;
    }
    k += m;
    if (pos >= end) {
      if (!loop) return true;
      pos %= end;
    }
  }
  return false;
}

// The ramping loops: volume carried with 8 extra fraction bits and the
// advance both move linearly over the frames of the pass.
template <bool Eight, bool Stereo>
bool MixRamp(const uint8_t* data, int32_t* acc, int frames, uint64_t& pos, uint64_t advance,
             uint64_t targetAdvance, uint64_t end, bool loop, int v, int w, int p, int d) {
  int32_t volume = v * 256;
  const int32_t volumeStep = ((w - v) * 256) / frames;
  int64_t adv = static_cast<int64_t>(advance);
  const int64_t advStep =
      (static_cast<int64_t>(targetAdvance) - static_cast<int64_t>(advance)) / frames;
  for (int k = 0; k < frames; ++k) {
    Gains g = GainsOf(static_cast<int16_t>(volume >> 8), p, d);
    uint64_t i = pos >> 32;
    if constexpr (Stereo) {
      i &= ~uint64_t{1};
      acc[2 * k] += Fetch<Eight>(data, i, g.left);
      acc[2 * k + 1] += Fetch<Eight>(data, i + 1, g.right);
    } else {
      acc[2 * k] += Fetch<Eight>(data, i, g.left);
      acc[2 * k + 1] += Fetch<Eight>(data, i, g.right);
    }
    pos += static_cast<uint64_t>(adv);
    adv += advStep;
    volume += volumeStep;
    if (pos >= end) {
      if (!loop) return true;
      pos %= end;
    }
  }
  return false;
}

using PlainLoop = bool (*)(const uint8_t*, int32_t*, int, uint64_t&, uint64_t, uint64_t, bool,
                           Gains);
using RampLoop = bool (*)(const uint8_t*, int32_t*, int, uint64_t&, uint64_t, uint64_t, uint64_t,
                          bool, int, int, int, int);

constexpr PlainLoop PLAIN_LOOPS[2][2] = {{MixPlain<false, false>, MixPlain<false, true>},
                                         {MixPlain<true, false>, MixPlain<true, true>}};
constexpr RampLoop RAMP_LOOPS[2][2] = {{MixRamp<false, false>, MixRamp<false, true>},
                                       {MixRamp<true, false>, MixRamp<true, true>}};

}  // namespace

// 1 stopped or ended (the pass then marks it free), -1 free (recycle),
// -2 paused, 0 mixed and still playing.
int mixer::mixvoice(sound* voice, int n) {
  const int state = voice->state.load(std::memory_order_acquire);
  const int base = state & ~VOICE_PAUSED;
  if (base == VOICE_STOPPED) return 1;
  if (base == VOICE_FREE) return -1;
  if (state & VOICE_PAUSED) return -2;
  const int frames = n / 2;
  if (frames == 0) return 0;  // nothing to mix: any ramp waits for the next pass

  const pcmsample* pcm = voice->pcm;
  if (pcm->ring) return mixstream(voice, frames);
  const bool stereo = pcm->channels != 1;
  const bool eight = pcm->bits == 8;
  const uint64_t channels = stereo ? 2 : 1;
  const bool loop = base == VOICE_LOOPED;

  int32_t rate = voice->rate.load(std::memory_order_relaxed);
  const int32_t targetRate = voice->targetRate.load(std::memory_order_relaxed);
  const uint64_t advance = static_cast<uint64_t>(StepOf(rate, pcm->rate, outputRate)) * channels
                           << 16;
  const uint64_t targetAdvance =
      static_cast<uint64_t>(StepOf(targetRate, pcm->rate, outputRate)) * channels << 16;
  int16_t v = voice->volume.load(std::memory_order_relaxed);
  const int16_t w = voice->targetVolume.load(std::memory_order_relaxed);
  const int p = voice->targetPan.load(std::memory_order_relaxed);
  const int d = voice->targetDepth.load(std::memory_order_relaxed);
  const uint64_t end = (channels * static_cast<uint64_t>(pcm->length)) << 32;
  uint64_t pos = voice->position;
  bool ended;

  if (v == w && advance == targetAdvance) {
    if (w == 0) {
      pos += frames * advance;
      ended = pos >= end && !loop;
      if (pos >= end) pos %= end;
    } else {
      ended = PLAIN_LOOPS[eight][stereo](pcm->data, accumulator_.data(), frames, pos, advance, end,
                                         loop, GainsOf(w, p, d));
    }
  } else {
    // The current values become the targets now; a setting written meanwhile
    // by a paused voice's owner is kept.
    voice->volume.compare_exchange_strong(v, w, std::memory_order_relaxed);
    voice->rate.compare_exchange_strong(rate, targetRate, std::memory_order_relaxed);
    ended = RAMP_LOOPS[eight][stereo](pcm->data, accumulator_.data(), frames, pos, advance,
                                      targetAdvance, end, loop, v, w, p, d);
  }
  voice->position = pos;
  return ended ? 1 : 0;
}

// A streamed voice plays its ring as if the ring's frames were a sample that
// starts at the read position: the same loops, so it sounds exactly as the
// loaded sound would. Its position counts from the read position, and the
// frames it moved past are handed back to the decoder after the pass. A loop
// is the decoder's business (it writes the start again after the end), so
// here the voice only ends once the ring is finished and played out. A pass
// the ring cannot cover is silence: the position stays, so the voice resumes
// where it stopped once the decoder catches up.
int mixer::mixstream(sound* voice, int frames) {
  streamring* ring = voice->pcm->ring;
  const int rateOfSound = voice->pcm->rate;
  int32_t rate = voice->rate.load(std::memory_order_relaxed);
  const int32_t targetRate = voice->targetRate.load(std::memory_order_relaxed);
  // One pass never needs more frames than the ring holds.
  const int most = std::min(ring->capacity(), STREAM_RING_FRAMES) - 2;
  const uint64_t limit = (static_cast<uint64_t>(most) << 33) / static_cast<uint64_t>(frames);
  const uint64_t advance =
      std::min(static_cast<uint64_t>(StepOf(rate, rateOfSound, outputRate)) << 17, limit);
  const uint64_t targetAdvance =
      std::min(static_cast<uint64_t>(StepOf(targetRate, rateOfSound, outputRate)) << 17, limit);
  int16_t v = voice->volume.load(std::memory_order_relaxed);
  const int16_t w = voice->targetVolume.load(std::memory_order_relaxed);
  const int p = voice->targetPan.load(std::memory_order_relaxed);
  const int d = voice->targetDepth.load(std::memory_order_relaxed);

  const bool finished = ring->finished();
  const int ready = ring->readable();
  uint64_t pos = voice->position;
  const uint64_t widest = std::max(advance, targetAdvance);
  const int64_t needed = static_cast<int64_t>((pos + (frames - 1) * widest) >> 33) + 1;
  if (!finished && needed > ready) {
    streamSilence_.fetch_add(frames, std::memory_order_relaxed);
    return 0;
  }
  const int copied = static_cast<int>(std::min<int64_t>(needed, ready));
  ring->copy(streamFrames_.data(), 0, copied);
  const auto* data = reinterpret_cast<const uint8_t*>(streamFrames_.data());
  const uint64_t end = finished ? static_cast<uint64_t>(ready) << 33 : uint64_t{1} << 62;
  bool ended;
  if (pos >= end) {
    ended = true;
  } else if (v == w && advance == targetAdvance) {
    if (w == 0) {
      pos += frames * advance;
      ended = pos >= end;
    } else {
      ended = PLAIN_LOOPS[0][1](data, accumulator_.data(), frames, pos, advance, end, false,
                                GainsOf(w, p, d));
    }
  } else {
    voice->volume.compare_exchange_strong(v, w, std::memory_order_relaxed);
    voice->rate.compare_exchange_strong(rate, targetRate, std::memory_order_relaxed);
    ended = RAMP_LOOPS[0][1](data, accumulator_.data(), frames, pos, advance, targetAdvance, end,
                             false, v, w, p, d);
  }
  const int passed = static_cast<int>(std::min<uint64_t>(pos >> 33, static_cast<uint64_t>(ready)));
  ring->consume(passed);
  voice->position = pos - (static_cast<uint64_t>(passed) << 33);
  return ended ? 1 : 0;
}

bool mixer::recycle(sound* voice) {
  const int w = freeWrite_.load(std::memory_order_relaxed);
  const int next = (w + 1) & (MIX_RING_SLOTS - 1);
  // The data goes at once; the voice itself waits linked while the ring is full.
  pcmsample_release(voice->pcm);
  voice->pcm = nullptr;
  if (next == freeRead_.load(std::memory_order_acquire)) return false;
  free_[w] = voice;
  freeWrite_.store(next, std::memory_order_release);
  return true;
}

void mixer::mix(int16_t* out, int n) {
  if (n == -1) n = count;
  n = std::clamp(n, 0, count);

  int r = pendingRead_.load(std::memory_order_relaxed);
  const int w = pendingWrite_.load(std::memory_order_acquire);
  while (r != w) {
    sound* voice = pending_[r];
    r = (r + 1) & (MIX_RING_SLOTS - 1);
    voice->next = active_;
    active_ = voice;
  }
  pendingRead_.store(r, std::memory_order_release);

  int32_t* acc = accumulator_.data();
  int64_t* spill = spill_.data();
  int sinceSpill = 0;
  bool spilled = false;
  sound** link = &active_;
  while (sound* voice = *link) {
    sound* next = voice->next;
    if (++sinceSpill > VOICES_PER_SPILL) {
      for (int i = 0; i < n; ++i) spill[i] += acc[i];
      std::fill(acc, acc + n, 0);
      sinceSpill = 1;
      spilled = true;
    }
    int result = mixvoice(voice, n);
    if (result == -1) {
      if (recycle(voice)) {
        *link = next;
        continue;
      }
    } else if (result == 1) {
      // Finished: recycled by the next pass, with or without a channel.
      voice->state.store(VOICE_FREE, std::memory_order_release);
    }
    link = &voice->next;
  }

  if (spilled) {
    for (int i = 0; i < n; ++i) {
      const int64_t sum = spill[i] + acc[i];
      if (out) out[i] = static_cast<int16_t>(std::clamp<int64_t>(sum >> 4, -32768, 32767));
    }
    std::fill(spill, spill + n, 0);
  } else if (out) {
    for (int i = 0; i < n; ++i)
      out[i] = static_cast<int16_t>(std::clamp(acc[i] >> 4, -32768, 32767));
  }
  std::fill(acc, acc + n, 0);
}

}  // namespace kelpora
