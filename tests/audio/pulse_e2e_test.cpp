// The whole road of a sound: the probe plays the chirp into the null sink that
// the test run started, through PulseAudio's OSS emulation ("/dev/dsp") or
// through ALSA's pulse plugin (the device audio_open() chooses), and parec
// records the sink's monitor. The recording must hold the offline mix.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "tests/audio/alsa_config.h"
#include "tests/audio/mixer_render.h"
#include "tests/audio/pulse_recorder.h"
#include "tests/audio/test_signal.h"

namespace kelpora::testing {
namespace {

constexpr char PULSE_DSP[] = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";

// The chirp's start rendered offline, exactly as the probe starts it.
std::vector<int16_t> OfflineChirp() {
  EXPECT_EQ(audio_open(std::unique_ptr<audiodevice>(new offlineaudio)), 0);
  std::vector<int16_t> chirp = Chirp();
  pcmsample* pcm = audio_newsample(CHIRP_FRAMES, 16, 2, 44100, chirp.data(), 0);
  PlayChirp(pcm);
  std::vector<int16_t> out(2 * (CHIRP_FRAMES / 1024 + 1) * 1024);
  for (size_t i = 0; i < out.size(); i += 2048)
    static_cast<offlineaudio*>(audio_device())->render(&out[i], 1024);
  audio_close();
  audio_releasesample(pcm);
  out.resize(2 * CHIRP_FRAMES);
  return out;
}

double Correlation(const std::vector<int16_t>& a, size_t from, const std::vector<int16_t>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < b.size() && from + i < a.size(); ++i) {
    ab += double(a[from + i]) * b[i];
    aa += double(a[from + i]) * a[from + i];
    bb += double(b[i]) * b[i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

size_t FirstLoud(const std::vector<int16_t>& s, size_t from = 0) {
  for (size_t i = from; i < s.size(); i += 2)
    if (std::abs(s[i]) > 2000) return i;
  return s.size();
}

// The recording from sample `from` on, with every run of 5 ms or more of
// silence cut out: on a loaded machine the server's stream can run dry, play
// silence for a moment and go on where it was. `origin` gives each kept
// sample's place in `recorded`.
std::vector<int16_t> WithoutGaps(const std::vector<int16_t>& recorded, size_t from,
                                 std::vector<size_t>& origin) {
  constexpr size_t kGapFrames = 220;
  std::vector<int16_t> kept;
  origin.clear();
  size_t quietFrom = from;
  for (size_t i = from; i + 1 < recorded.size(); i += 2) {
    const bool quiet = std::abs(recorded[i]) <= 4 && std::abs(recorded[i + 1]) <= 4;
    const bool runEnds = !quiet || i + 3 >= recorded.size();
    if (runEnds && (i - quietFrom) / 2 < kGapFrames) {
      for (size_t j = quietFrom; j < i; ++j) kept.push_back(recorded[j]), origin.push_back(j);
    }
    if (quiet) continue;
    kept.insert(kept.end(), {recorded[i], recorded[i + 1]});
    origin.insert(origin.end(), {i, i + 1});
    quietFrom = i + 2;
  }
  return kept;
}

// A null sink of this test's own on the shared server: other tests play into
// the server's default sink at the same time, and their sound must not mix
// into this recording.
class PrivateSink {
 public:
  PrivateSink() {
    static int count = 0;
    name_ = "chirp_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    module_ = Pactl("load-module module-null-sink sink_name=" + name_);
  }
  ~PrivateSink() {
    if (!module_.empty()) Pactl("unload-module " + module_);
  }
  bool made() const { return !module_.empty(); }
  const std::string& name() const { return name_; }

 private:
  static std::string Pactl(const std::string& arguments) {
    std::string out;
    if (FILE* p = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, p)) out += line;
      if (pclose(p) != 0) out.clear();
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  }
  std::string name_, module_;
};

// Plays the chirp with the probe in `mode` under `env`, which must first print
// `says`, and expects the recording to hold it whole after audio_play. The
// delay is printed (it is measured in bench/).
void ExpectChirpRecorded(const char* mode, const std::vector<std::string>& env,
                         const std::string& says = "") {
  const char* sink = std::getenv("KELPORA_PULSE_SINK");
  EXPECT_NE(sink, nullptr) << "needs the PulseAudio server that scripts/run-tests starts "
                              "(scripts/common.sh: start_pulseaudio)";
  if (!sink) return;
  PrivateSink own;
  ASSERT_TRUE(own.made()) << "pactl could not add a null sink";
  std::vector<std::string> environment = env;
  environment.push_back("PULSE_SINK=" + own.name());
  std::vector<int16_t> expected = OfflineChirp();

  audiotest::PulseRecorder recorder(own.name(), 5);
  const bool started = recorder.WaitStarted(5000);
  EXPECT_TRUE(started) << "parec records nothing";
  if (!started) return;

  ChildProcess probe(AUDIO_PROBE, {mode}, environment);
  ProcessResult r = probe.Wait(30000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.Stop();
  EXPECT_TRUE(r.exited && r.status == 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("linuxaudio failed"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind(says, 0), 0u) << r.out;
  if (r.out.find("played ") == std::string::npos) return;
  long long played = std::atoll(r.out.c_str() + r.out.find("played ") + 7);

  // Align on the first loud sample, then take the best lag around it.
  std::vector<int16_t> recorded = recorder.Samples();
  size_t onset = FirstLoud(recorded), reference = FirstLoud(expected);
  EXPECT_LT(onset, recorded.size()) << "nothing audible was recorded";
  EXPECT_GE(onset, reference);
  if (onset >= recorded.size() || onset < reference) return;
  std::vector<size_t> origin;
  const size_t start = onset - reference >= 64 ? onset - reference - 64 : 0;
  std::vector<int16_t> heard = WithoutGaps(recorded, start, origin);
  EXPECT_GT(heard.size(), 256u);
  if (heard.size() <= 256) return;
  size_t best = 0;
  double correlation = -1;
  for (size_t from = 0; from <= onset - reference + 64 - start; from += 2) {
    double c = Correlation(heard, from, expected);
    if (c > correlation) correlation = c, best = from;
  }
  EXPECT_GE(correlation, 0.99);

  // From audio_play to the chirp's first frame reaching the recorder.
  double delayMs = (recorder.ArrivalNs(origin[best] / 2) - played) / 1e6;
  std::printf("%s: correlation %.5f, delay %.1f ms, %s", mode, correlation, delayMs,
              r.out.substr(r.out.find("closed")).c_str());
  EXPECT_GT(delayMs, 0);
}

TEST(PulseAudioEndToEnd, TheRecordedSinkHoldsTheMixAfterTheStart) {
  ASSERT_EQ(access(PULSE_DSP, R_OK), 0) << PULSE_DSP;
  // The sanitizer build's runtime must come first; the preload goes before it.
  ExpectChirpRecorded(
      "play", {std::string("LD_PRELOAD=") + PULSE_DSP, "ASAN_OPTIONS=verify_asan_link_order=0"});
}

// ALSA's default PCM as the pulse plugin, chosen by audio_open() with no preload.
TEST(PulseAudioEndToEnd, TheChirpPlayedThroughAlsaIsRecordedWhole) {
  AlsaConfig config("{ type pulse }");
  ExpectChirpRecorded("playchosen", {config.Environment()}, "device alsa\n");
}

}  // namespace
}  // namespace kelpora::testing
