// The whole road of a sound: the probe plays the chirp into the null sink that
// the test run started, through PulseAudio's OSS emulation ("/dev/dsp") or
// through ALSA's pulse plugin (the device audio_open() chooses), and parec
// records the sink's monitor. The recording must hold the offline mix.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "tests/audio/alsa_config.h"
#include "tests/audio/mixer_render.h"
#include "tests/audio/test_signal.h"

namespace kelpora::testing {
namespace {

constexpr char PULSE_DSP[] = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";

long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// parec on the monitor, raw 16-bit stereo on a pipe; each chunk read is
// stamped with the time it arrived.
class Recorder {
 public:
  explicit Recorder(const std::string& sink) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      std::string device = sink + ".monitor";
      execlp("parec", "parec", "-d", device.c_str(), "--raw", "--format=s16le", "--rate=44100",
             "--channels=2", "--latency-msec=5", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    thread_ = std::thread([this] { Run(); });
  }
  ~Recorder() { Stop(); }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Started() const { return started_; }
  // Interleaved samples recorded so far.
  std::vector<int16_t> Samples() const {
    return std::vector<int16_t>(
        reinterpret_cast<const int16_t*>(bytes_.data()),
        reinterpret_cast<const int16_t*>(bytes_.data()) + bytes_.size() / 2);
  }
  // When the byte at `offset` arrived.
  long long ArrivalNs(size_t offset) const {
    for (const auto& [end, at] : arrivals_)
      if (end > offset) return at;
    return -1;
  }

 private:
  void Run() {
    char chunk[65536];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      ssize_t got = read(fd_, chunk, sizeof chunk);
      if (got <= 0) return;
      long long now = NowNs();
      bytes_.insert(bytes_.end(), chunk, chunk + got);
      arrivals_.emplace_back(bytes_.size(), now);
      started_ = true;
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread thread_;
  std::vector<char> bytes_;  // read only once the thread has ended
  std::atomic<bool> started_{false};
  std::vector<std::pair<size_t, long long>> arrivals_;
};

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

// Plays the chirp with the probe in `mode` under `env`, which must first print
// `says`; returns the delay from audio_play to the chirp's first frame
// reaching the recorder, in ms.
double ExpectChirpRecorded(const char* mode, const std::vector<std::string>& env,
                           const std::string& says = "") {
  const char* sink = std::getenv("KELPORA_PULSE_SINK");
  EXPECT_NE(sink, nullptr) << "needs the PulseAudio server that scripts/run-tests starts "
                              "(scripts/common.sh: start_pulseaudio)";
  if (!sink) return -1;
  std::vector<int16_t> expected = OfflineChirp();

  Recorder recorder(sink);
  for (int i = 0; i < 500 && !recorder.Started(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(recorder.Started()) << "parec records nothing";
  if (!recorder.Started()) return -1;

  ChildProcess probe(AUDIO_PROBE, {mode}, env);
  ProcessResult r = probe.Wait(30000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.Stop();
  EXPECT_TRUE(r.exited && r.status == 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("linuxaudio failed"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind(says, 0), 0u) << r.out;
  if (r.out.find("played ") == std::string::npos) return -1;
  long long played = std::atoll(r.out.c_str() + r.out.find("played ") + 7);

  // Align on the first loud sample, then take the best lag around it.
  std::vector<int16_t> recorded = recorder.Samples();
  size_t onset = FirstLoud(recorded), reference = FirstLoud(expected);
  EXPECT_LT(onset, recorded.size()) << "nothing audible was recorded";
  EXPECT_GE(onset, reference);
  if (onset >= recorded.size() || onset < reference) return -1;
  std::vector<size_t> origin;
  const size_t start = onset - reference >= 64 ? onset - reference - 64 : 0;
  std::vector<int16_t> heard = WithoutGaps(recorded, start, origin);
  EXPECT_GT(heard.size(), 256u);
  if (heard.size() <= 256) return -1;
  size_t best = 0;
  double correlation = -1;
  for (size_t from = 0; from <= onset - reference + 64 - start; from += 2) {
    double c = Correlation(heard, from, expected);
    if (c > correlation) correlation = c, best = from;
  }
  EXPECT_GE(correlation, 0.99);

  // From audio_play to the chirp's first frame reaching the recorder.
  double delayMs = (recorder.ArrivalNs(2 * origin[best]) - played) / 1e6;
  std::printf("%s: correlation %.5f, delay %.1f ms, %s", mode, correlation, delayMs,
              r.out.substr(r.out.find("closed")).c_str());
  EXPECT_GT(delayMs, 0);
  return delayMs;
}

TEST(PulseAudioEndToEnd, TheRecordedSinkHoldsTheMixSoonAfterTheStart) {
  ASSERT_EQ(access(PULSE_DSP, R_OK), 0) << PULSE_DSP;
  // The sanitizer build's runtime must come first; the preload goes before it.
  double delayMs = ExpectChirpRecorded(
      "play", {std::string("LD_PRELOAD=") + PULSE_DSP, "ASAN_OPTIONS=verify_asan_link_order=0"});
  // The device's queue and the server's: only a bound that a stuck queue
  // breaks (the latency itself is measured in bench/).
  EXPECT_LE(delayMs, 2000);
}

// ALSA's default PCM as the pulse plugin, chosen by audio_open() with no preload.
TEST(PulseAudioEndToEnd, TheChirpPlayedThroughAlsaIsRecordedWhole) {
  AlsaConfig config("{ type pulse }");
  ExpectChirpRecorded("playchosen", {config.Environment()}, "device alsa\n");
}

}  // namespace
}  // namespace kelpora::testing
