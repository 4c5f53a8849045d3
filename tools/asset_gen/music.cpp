#include "tools/asset_gen/music.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tools/asset_gen/canvas.h"
#include "tools/asset_gen/synth.h"

namespace kelpora::assetgen {

namespace {

enum Part : unsigned {
  kPad = 1,
  kBass = 2,
  kDrumsLight = 4,
  kDrumsFull = 8,
  kArp = 16,
  kMelody = 32,
  kBellArp = 64,
  kCounter = 128,
  kFill = 256,
};

struct Section {
  int bars;
  std::vector<int> chords;  // scale degree of each bar's chord, cycled
  unsigned parts;
  int tune;  // sections with the same tune share their melody
};

struct Note {
  double beat, length;
  int degree;
};

// Scale-degree arithmetic in a minor key rooted at `key` (a MIDI note).
struct Key {
  int key;
  int Midi(int degree) const {
    static const int kMinor[7] = {0, 2, 3, 5, 7, 8, 10};
    int octave = degree >= 0 ? degree / 7 : -((-degree + 6) / 7);
    return key + 12 * octave + kMinor[degree - octave * 7];
  }
};

// Root, third and fifth of the triad built on `chord`.
bool IsChordTone(int degree, int chord) {
  int r = ((degree - chord) % 7 + 7) % 7;
  return r == 0 || r == 2 || r == 4;
}

// A two-bar motif: rhythm from a small book of figures, pitches walking by step
// with chord tones on the strong beats.
std::vector<Note> MakeMotif(Random& rng, const std::vector<int>& chordsPerBar, int startDegree,
                            bool cadence) {
  static const std::vector<std::vector<int>> kRhythms = {
      {2, 1, 1, 2, 2, 3, 1, 4}, {3, 1, 2, 2, 4, -2, 2}, {1, 1, 2, 1, 1, 2, 6, -2},
      {2, 2, 3, 1, 2, 2, 4},    {4, 2, 2, 3, 1, 4},     {-1, 1, 1, 1, 2, 2, 3, 1, 4},
  };
  const std::vector<int>& rhythm = kRhythms[rng.Next() % kRhythms.size()];
  std::vector<Note> notes;
  double beat = 0;
  int degree = startDegree;
  for (size_t i = 0; i < rhythm.size(); ++i) {
    double len = std::abs(rhythm[i]) * 0.5;
    if (rhythm[i] < 0) {
      beat += len;
      continue;
    }
    int chord = chordsPerBar[static_cast<size_t>(beat / 4) % chordsPerBar.size()];
    bool strong = std::fmod(beat, 2.0) == 0.0;
    bool last = i + 1 == rhythm.size();
    if (last && cadence) {
      // End the phrase on the chord's root or third, nearest to where we are.
      int best = degree;
      for (int d = degree - 3; d <= degree + 3; ++d)
        if (((d - chord) % 7 + 7) % 7 == 0 || ((d - chord) % 7 + 7) % 7 == 2) {
          if (std::abs(d - degree) < std::abs(best - degree) || best == degree) best = d;
        }
      degree = best;
    } else if (strong) {
      int best = degree, bestScore = 99;
      for (int d = degree - 3; d <= degree + 3; ++d) {
        if (!IsChordTone(d, chord)) continue;
        int score = std::abs(d - degree) * 2 + static_cast<int>(rng.Next() % 3);
        if (d == degree) score += 2;
        if (score < bestScore) bestScore = score, best = d;
      }
      degree = best;
    } else {
      int step = static_cast<int>(rng.Next() % 5) - 2;
      if (step == 0) step = 1;
      degree += step;
    }
    degree = std::clamp(degree, 4, 13);
    notes.push_back({beat, len, degree});
    beat += len;
  }
  return notes;
}

class Composer {
 public:
  Composer(double seconds, int bars, Key key, uint32_t seed)
      : frames_(static_cast<size_t>(std::llround(seconds * kSampleRate))),
        beat_(seconds / (bars * 4.0)),
        key_(key),
        seed_(seed),
        dry_(frames_),
        delaySend_(frames_),
        reverbSend_(frames_) {}

  double Sec(double beat) const { return beat * beat_; }
  double BeatLength() const { return beat_; }
  const Key& key() const { return key_; }
  LoopBuffer& dry() { return dry_; }
  LoopBuffer& delaySend() { return delaySend_; }
  LoopBuffer& reverbSend() { return reverbSend_; }

  // The 8-bar melody of a tune over a section's chord cycle (A B A C).
  std::vector<Note> Tune(int tune, const std::vector<int>& chords) {
    Random rng(seed_ * 977u + static_cast<uint32_t>(tune) * 131u);
    std::vector<int> first(chords.begin(), chords.begin() + std::min<size_t>(2, chords.size()));
    std::vector<int> second;
    for (size_t i = 2; i < 4; ++i) second.push_back(chords[i % chords.size()]);
    std::vector<Note> a = MakeMotif(rng, first, 9, false);
    std::vector<Note> b = MakeMotif(rng, second, a.back().degree, false);
    std::vector<Note> c = MakeMotif(rng, second, a.back().degree, true);
    std::vector<Note> out;
    auto put = [&](const std::vector<Note>& m, double offset) {
      for (Note n : m) out.push_back({n.beat + offset, n.length, n.degree});
    };
    put(a, 0);
    put(b, 8);
    put(a, 16);
    put(c, 24);
    return out;
  }

  StereoAudio Finish(float delayBeats, float rmsDb) {
    LoopBuffer mix(frames_);
    mix.Mix(dry_, 1.0f);
    LoopBuffer echoes(frames_);
    PingPongDelay(delaySend_, echoes, Sec(delayBeats), 0.38f, 0.35f);
    mix.Mix(echoes, 0.5f);
    reverbSend_.Mix(echoes, 0.3f);
    Reverb(reverbSend_, mix, 0.84f, 0.3f);
    return Master(mix, rmsDb, 0.8f);
  }

 private:
  size_t frames_;
  double beat_;
  Key key_;
  uint32_t seed_;
  LoopBuffer dry_, delaySend_, reverbSend_;
};

void PlayChord(Composer& c, const Instrument& pad, double beat, double beats, int chord,
               float velocity) {
  const Key& k = c.key();
  int voicing[4] = {chord, chord + 2, chord + 4, chord + 7};
  float pans[4] = {-0.4f, 0.3f, -0.1f, 0.45f};
  for (int v = 0; v < 4; ++v)
    RenderNote(c.dry(), pad, c.Sec(beat), c.Sec(beats) * 0.98, k.Midi(voicing[v]), velocity,
               pans[v], &c.reverbSend(), 0.8f);
}

}  // namespace

StereoAudio ComposeTitleTheme() {
  // 64 bars of 4/4 across 178.9 s: about 86 beats per minute.
  Composer c(178.9, 64, Key{57}, 11);
  const std::vector<int> home = {0, 5, 2, 6};  // i VI III VII
  const std::vector<int> lift = {3, 5, 0, 4};  // iv VI i v
  const std::vector<Section> plan = {
      {8, home, kPad | kBellArp, 0},
      {16, home, kPad | kBass | kDrumsLight | kMelody, 1},
      {16, lift, kPad | kBass | kDrumsLight | kMelody | kBellArp | kFill, 2},
      {16, home, kPad | kBass | kDrumsLight | kMelody | kCounter | kFill, 1},
      {8, home, kPad | kBellArp, 0},
  };
  Instrument pad{Wave::kSaw, 3, 14, 0.9f, 0.5f, 0.8f, 1.6f, 900, 500, 0.1f};
  pad.gain = 0.05f;
  pad.stereoWidth = 0.7f;
  Instrument bell{Wave::kSine, 1, 0, 0.002f, 1.4f, 0.0f, 0.9f, 6000, 0, 0.0f};
  bell.fmRatio = 3.0f;
  bell.fmIndex = 1.6f;
  bell.fmDecay = 0.5f;
  bell.gain = 0.12f;
  Instrument lead{Wave::kTriangle, 2, 7, 0.04f, 0.3f, 0.75f, 0.5f, 2600, 800, 0.1f};
  lead.vibratoDepth = 0.18f;
  lead.vibratoRate = 5.0f;
  lead.gain = 0.23f;
  lead.stereoWidth = 0.3f;
  Instrument counter{Wave::kSquare, 1, 0, 0.01f, 0.4f, 0.4f, 0.4f, 1400, 900, 0.2f};
  counter.gain = 0.07f;
  Instrument bass{Wave::kTriangle, 1, 0, 0.01f, 0.5f, 0.6f, 0.25f, 700, 300, 0.1f};
  bass.subLevel = 0.4f;
  bass.gain = 0.26f;

  const Key& k = c.key();
  int bar = 0;
  uint32_t hit = 1;
  for (const Section& s : plan) {
    std::vector<Note> tune = (s.parts & kMelody) ? c.Tune(s.tune, s.chords) : std::vector<Note>{};
    for (int b = 0; b < s.bars; ++b, ++bar) {
      const double b0 = bar * 4.0;
      const int chord = s.chords[static_cast<size_t>(b) % s.chords.size()];
      const bool sectionEnd = b == s.bars - 1;
      if (s.parts & kPad) PlayChord(c, pad, b0, 4, chord, 0.9f);
      if (s.parts & kBellArp) {
        static const int kArp[8] = {0, 2, 4, 7, 9, 7, 4, 2};
        for (int i = 0; i < 8; ++i)
          RenderNote(c.dry(), bell, c.Sec(b0 + i * 0.5), c.Sec(0.45), k.Midi(chord + kArp[i] + 7),
                     i % 4 == 0 ? 0.9f : 0.65f, i % 2 ? 0.35f : -0.35f, &c.delaySend(), 0.6f);
      }
      if (s.parts & kBass) {
        RenderNote(c.dry(), bass, c.Sec(b0), c.Sec(2.5), k.Midi(chord - 7), 1.0f, 0);
        RenderNote(c.dry(), bass, c.Sec(b0 + 2.5), c.Sec(1.0), k.Midi(chord - 3), 0.8f, 0);
        RenderNote(c.dry(), bass, c.Sec(b0 + 3.5), c.Sec(0.5), k.Midi(chord - 7), 0.7f, 0);
      }
      if (s.parts & kDrumsLight) {
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0), 0.8f, 0, hit++);
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0 + 2.5), 0.55f, 0, hit++);
        RenderDrum(c.dry(), Drum::kSnare, c.Sec(b0 + 2), 0.45f, 0.1f, hit++);
        for (int i = 0; i < 8; ++i)
          RenderDrum(c.dry(), Drum::kShaker, c.Sec(b0 + i * 0.5), i % 2 ? 0.5f : 0.3f, 0.4f, hit++);
        if ((s.parts & kFill) && sectionEnd)
          for (int i = 0; i < 4; ++i)
            RenderDrum(c.dry(), Drum::kTom, c.Sec(b0 + 2 + i * 0.5), 0.7f, 0.5f - i * 0.3f, hit++,
                       52 - i * 3);
      }
      if (s.parts & kCounter) {
        for (int i = 0; i < 4; ++i)
          RenderNote(c.dry(), counter, c.Sec(b0 + i + 0.5), c.Sec(0.4),
                     k.Midi(chord + (i % 2 ? 4 : 2)), 0.6f, -0.5f, &c.delaySend(), 0.4f);
      }
    }
    if (s.parts & kMelody) {
      const double start = (bar - s.bars) * 4.0;
      for (int half = 0; half < s.bars / 8; ++half)
        for (const Note& n : tune) {
          const Instrument& voice = (s.tune == 2 || half == 0) ? lead : bell;
          RenderNote(c.dry(), voice, c.Sec(start + half * 32 + n.beat), c.Sec(n.length * 0.92),
                     k.Midi(n.degree + 7), 0.85f, 0.05f, &c.delaySend(), 0.35f);
        }
    }
  }
  return c.Finish(0.75f, -16.5f);
}

StereoAudio ComposeLevelTheme() {
  // 192 bars of 4/4 across 372.0 s: about 124 beats per minute.
  Composer c(372.0, 192, Key{50}, 29);
  const std::vector<int> run = {0, 5, 6, 0};    // i VI VII i
  const std::vector<int> climb = {5, 6, 4, 0};  // VI VII v i
  const std::vector<int> night = {0, 3, 6, 2};  // i iv VII III
  const unsigned groove = kBass | kDrumsFull | kArp;
  const std::vector<Section> plan = {
      {8, run, kBass | kDrumsFull, 0},
      {16, run, groove | kMelody | kFill, 1},
      {16, run, groove | kPad | kMelody | kFill, 1},
      {16, climb, groove | kPad | kMelody | kCounter | kFill, 2},
      {8, night, kPad | kArp | kDrumsLight, 0},
      {16, night, groove | kMelody | kFill, 3},
      {16, night, groove | kPad | kMelody | kCounter | kFill, 3},
      {16, run, groove | kPad | kMelody | kFill, 1},
      {16, climb, groove | kMelody | kFill, 2},
      {16, climb, kBass | kPad | kArp | kDrumsLight, 4},
      {16, run, groove | kPad | kMelody | kCounter | kFill, 1},
      {16, climb, groove | kPad | kMelody | kFill, 2},
      {16, run, kBass | kDrumsFull | kPad | kFill, 0},
  };
  Instrument bass{Wave::kSaw, 1, 0, 0.004f, 0.16f, 0.35f, 0.08f, 260, 1400, 0.35f};
  bass.subLevel = 0.45f;
  bass.gain = 0.22f;
  Instrument lead{Wave::kSquare, 2, 9, 0.01f, 0.25f, 0.6f, 0.18f, 1800, 2200, 0.25f};
  lead.vibratoDepth = 0.2f;
  lead.vibratoRate = 6.0f;
  lead.vibratoDelay = 0.2f;
  lead.gain = 0.13f;
  lead.stereoWidth = 0.4f;
  Instrument arp{Wave::kPulse25, 1, 0, 0.002f, 0.13f, 0.0f, 0.06f, 900, 3200, 0.3f};
  arp.gain = 0.08f;
  Instrument pad{Wave::kSaw, 3, 12, 0.5f, 0.6f, 0.7f, 0.8f, 1000, 400, 0.1f};
  pad.gain = 0.04f;
  pad.stereoWidth = 0.7f;
  Instrument counter{Wave::kTriangle, 1, 0, 0.01f, 0.3f, 0.5f, 0.2f, 3000, 0, 0.1f};
  counter.gain = 0.16f;

  const Key& k = c.key();
  int bar = 0;
  uint32_t hit = 7;
  for (const Section& s : plan) {
    std::vector<Note> tune = (s.parts & kMelody) ? c.Tune(s.tune, s.chords) : std::vector<Note>{};
    for (int b = 0; b < s.bars; ++b, ++bar) {
      const double b0 = bar * 4.0;
      const int chord = s.chords[static_cast<size_t>(b) % s.chords.size()];
      const bool phraseEnd = b % 8 == 7;
      if (s.parts & kPad) PlayChord(c, pad, b0, 4, chord, 0.85f);
      if (s.parts & kBass) {
        static const int kLine[8] = {0, 0, 7, 0, 0, 7, 0, 4};
        for (int i = 0; i < 8; ++i)
          RenderNote(c.dry(), bass, c.Sec(b0 + i * 0.5), c.Sec(0.4), k.Midi(chord - 7 + kLine[i]),
                     i % 2 ? 0.75f : 1.0f, 0);
      }
      if (s.parts & kArp) {
        static const int kUp[16] = {0, 2, 4, 7, 9, 11, 14, 11, 9, 7, 4, 2, 0, 2, 4, 7};
        for (int i = 0; i < 16; ++i)
          RenderNote(c.dry(), arp, c.Sec(b0 + i * 0.25), c.Sec(0.2), k.Midi(chord + kUp[i]),
                     i % 4 == 0 ? 0.9f : 0.6f, i % 2 ? 0.45f : -0.45f, &c.delaySend(), 0.3f);
      }
      if (s.parts & kDrumsFull) {
        bool fill = (s.parts & kFill) && phraseEnd;
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0), 0.85f, 0, hit++);
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0 + 1.5), 0.6f, 0, hit++);
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0 + 2), 0.8f, 0, hit++);
        RenderDrum(c.dry(), Drum::kSnare, c.Sec(b0 + 1), 0.8f, 0.05f, hit++);
        RenderDrum(c.dry(), Drum::kClap, c.Sec(b0 + 1), 0.35f, -0.1f, hit++);
        if (!fill) {
          RenderDrum(c.dry(), Drum::kSnare, c.Sec(b0 + 3), 0.8f, 0.05f, hit++);
          RenderDrum(c.dry(), Drum::kClap, c.Sec(b0 + 3), 0.35f, -0.1f, hit++);
        }
        for (int i = 0; i < 8; ++i) {
          if (fill && i >= 6) break;
          Drum hat = i == 7 ? Drum::kOpenHat : Drum::kClosedHat;
          RenderDrum(c.dry(), hat, c.Sec(b0 + i * 0.5), i % 2 ? 0.55f : 0.8f, 0.35f, hit++);
        }
        if (fill)
          for (int i = 0; i < 4; ++i)
            RenderDrum(c.dry(), i == 3 ? Drum::kSnare : Drum::kTom, c.Sec(b0 + 3 + i * 0.25), 0.8f,
                       0.5f - i * 0.3f, hit++, 50 - i * 4);
      }
      if (s.parts & kDrumsLight) {
        RenderDrum(c.dry(), Drum::kKick, c.Sec(b0), 0.7f, 0, hit++);
        for (int i = 0; i < 8; ++i)
          RenderDrum(c.dry(), Drum::kShaker, c.Sec(b0 + i * 0.5), i % 2 ? 0.5f : 0.3f, 0.3f, hit++);
      }
      if (s.parts & kCounter) {
        static const int kFigure[4] = {4, 2, 7, 4};
        for (int i = 0; i < 4; ++i)
          RenderNote(c.dry(), counter, c.Sec(b0 + i + 0.5), c.Sec(0.35),
                     k.Midi(chord + kFigure[i] + 7), 0.6f, 0.55f, &c.delaySend(), 0.4f);
      }
    }
    if (s.parts & kMelody) {
      const double start = (bar - s.bars) * 4.0;
      for (int half = 0; half < s.bars / 8; ++half)
        for (const Note& n : tune) {
          RenderNote(c.dry(), lead, c.Sec(start + half * 32 + n.beat), c.Sec(n.length * 0.9),
                     k.Midi(n.degree + 7), 0.9f, -0.05f, &c.delaySend(), 0.3f);
          // The repeat is doubled an octave below.
          if (half == 1)
            RenderNote(c.dry(), counter, c.Sec(start + half * 32 + n.beat), c.Sec(n.length * 0.9),
                       k.Midi(n.degree), 0.7f, 0.3f, &c.reverbSend(), 0.3f);
        }
    }
  }
  return c.Finish(0.75f, -16.0f);
}

}  // namespace kelpora::assetgen
