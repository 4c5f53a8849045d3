// Latency from starting a click to hearing it, through a PulseAudio server:
// our ALSA device (ALSA's pulse plugin, as audio_open() reaches a desktop's
// server) beside SDL2 playing the same click with 1024-frame buffers through
// its default driver on the same server. parec records the sink's monitor with
// a short latency and stamps each chunk on arrival; a click's latency is the
// time its first loud frame was captured minus the time it was started.
// Then the output thread's CPU while 8 looping voices play through ALSA.
// Needs the server of scripts/common.sh start_pulseaudio (KELPORA_PULSE_SINK).
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/alsa_device.h"
#include "audio/software_mixer.h"
#include "tests/audio/pulse_recorder.h"

using namespace kelpora;

namespace {

constexpr int CLICKS = 20;
constexpr int CLICK_FRAMES = 256;
constexpr int16_t CLICK_LEVEL = 20000;

double NowMs() { return audiotest::MonotonicNs() / 1e6; }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Starts CLICKS clicks through `click` (which returns when it was started) and
// reports the latencies' median, spread and range.
void MeasureClicks(benchmark::State& state, const std::function<double()>& click) {
  const char* sink = std::getenv("KELPORA_PULSE_SINK");
  if (!sink) return state.SkipWithError("needs KELPORA_PULSE_SINK (scripts/common.sh)");
  audiotest::PulseRecorder recorder(sink, 2);
  recorder.WaitStarted(5000);
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < CLICKS; ++i) {
      const size_t from = recorder.Frames();
      const double started = click();
      std::optional<size_t> frame;
      for (int wait = 0; wait < 200 && !(frame = recorder.FirstLoudFrame(from, CLICK_LEVEL / 2));
           ++wait)
        SleepMs(5);
      if (frame) ms.push_back(recorder.CapturedNs(*frame) / 1e6 - started);
      SleepMs(150 + 37 * (i % 5));  // clicks fall on different parts of a period
    }
    state.SetIterationTime(1);
  }
  if (ms.size() < CLICKS) return state.SkipWithError("a click was not heard");
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[static_cast<size_t>(q * (ms.size() - 1) + 0.5)]; };
  state.counters["median_ms"] = at(0.5);
  state.counters["p10_ms"] = at(0.1);
  state.counters["p90_ms"] = at(0.9);
  state.counters["min_ms"] = ms.front();
  state.counters["max_ms"] = ms.back();
}

// A private ALSA configuration whose default PCM is the pulse plugin.
std::string PulseAlsaConfig() {
  std::string path = "/tmp/kelpora-bench-alsa-" + std::to_string(getpid()) + ".conf";
  std::ofstream(path) << "</usr/share/alsa/alsa.conf>\npcm.!default { type pulse }\n";
  return path;
}

// A null sink that was idle takes a new stream's first blocks and then nothing
// until its next wake-up, up to 2 s later; clicks start after that.
void WaitForSteadyOutput(const std::function<long()>& blocks) {
  for (int i = 0; i < 1000 && blocks() < 8; ++i) SleepMs(5);
  SleepMs(300);
}

void BM_ClickLatencyKelporaAlsa(benchmark::State& state) {
  const std::string config = PulseAlsaConfig();
  setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
  auto* device = new alsaaudio;
  if (audio_open(std::unique_ptr<audiodevice>(device)) != 0)
    return state.SkipWithError("ALSA's default PCM did not open");
  std::vector<int16_t> data(2 * CLICK_FRAMES, CLICK_LEVEL);
  pcmsample* click = audio_newsample(CLICK_FRAMES, 16, 2, 44100, data.data(), 0);
  WaitForSteadyOutput([&] { return device->blocks(); });
  MeasureClicks(state, [&] {
    double now = NowMs();
    audio_play(click, 0, 0);
    return now;
  });
  state.SetLabel("period " + std::to_string(device->periodframes()) + ", buffer " +
                 std::to_string(device->bufferframes()) + " frames, " +
                 std::to_string(device->recoveries()) + " underruns");
  audio_close();
  audio_releasesample(click);
  unlink(config.c_str());
}

// SDL's callback writes the click at the start of the first buffer it fills
// after the click was asked for, as our mixer takes a voice at its next pass.
std::atomic<bool> sdlClick{false};
std::atomic<long> sdlBuffers{0};

void SdlFill(void*, Uint8* stream, int len) {
  std::memset(stream, 0, static_cast<size_t>(len));
  if (sdlClick.exchange(false)) {
    auto* out = reinterpret_cast<int16_t*>(stream);
    for (int i = 0; i < std::min(2 * CLICK_FRAMES, len / 2); ++i) out[i] = CLICK_LEVEL;
  }
  sdlBuffers.fetch_add(1);
}

void BM_ClickLatencySdl2(benchmark::State& state) {
  if (SDL_Init(SDL_INIT_AUDIO) != 0) return state.SkipWithError(SDL_GetError());
  SDL_AudioSpec want{}, have{};
  want.freq = 44100;
  want.format = AUDIO_S16LSB;
  want.channels = 2;
  want.samples = 1024;
  want.callback = SdlFill;
  SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (dev == 0) return state.SkipWithError(SDL_GetError());
  SDL_PauseAudioDevice(dev, 0);
  WaitForSteadyOutput([] { return sdlBuffers.load(); });
  MeasureClicks(state, [] {
    double now = NowMs();
    sdlClick = true;
    return now;
  });
  state.SetLabel(std::string("driver ") + SDL_GetCurrentAudioDriver() + ", " +
                 std::to_string(have.samples) + "-frame buffers");
  SDL_CloseAudioDevice(dev);
  SDL_Quit();
}

BENCHMARK(BM_ClickLatencyKelporaAlsa)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ClickLatencySdl2)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Output-thread CPU as a share of one core while 8 looping voices play for 3 s
// through ALSA's default PCM (the pulse plugin), paced by the server.
void BM_AlsaOutputThreadCpu8Voices(benchmark::State& state) {
  const std::string config = PulseAlsaConfig();
  setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
  auto* device = new alsaaudio;
  if (device->open() != 0) {
    device->dispose();
    return state.SkipWithError("ALSA's default PCM did not open");
  }
  std::vector<pcmsample*> samples;
  uint32_t seed = 1;
  for (int v = 0; v < 8; ++v) {
    pcmsample* pcm = pcmsample_create(44100, 16, 2, 44100, 1);
    auto* s = reinterpret_cast<int16_t*>(pcm->data);
    for (int i = 0; i < 2 * 44100; ++i)
      s[i] = static_cast<int16_t>((seed = seed * 1664525 + 1013904223) >> 17);
    device->play(pcm, nullptr, 0);
    samples.push_back(pcm);
  }
  WaitForSteadyOutput([&] { return device->blocks(); });
  double share = 0;
  for (auto _ : state) {
    int64_t cpu0 = device->threadcpu();
    double t0 = NowMs();
    SleepMs(3000);
    double wall = NowMs() - t0;
    share = (device->threadcpu() - cpu0) / 1e6 / wall;
    state.SetIterationTime(wall / 1e3);
  }
  state.counters["core_percent"] = 100 * share;
  device->close();
  device->dispose();
  for (pcmsample* pcm : samples) pcmsample_release(pcm);
  unlink(config.c_str());
}

BENCHMARK(BM_AlsaOutputThreadCpu8Voices)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
