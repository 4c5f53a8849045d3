// One mixing pass of 64 voices × 1024 frames, in time per voice-frame: 16-bit
// stereo at unity rate, resampled at rate 1.37, and 8-bit mono; beside SDL's
// SDL_MixAudioFormat mixing the same 16-bit data at the same gain, and beside
// a plain loop that only sums the voices into an accumulator. Then the CPU
// that the output thread takes while 8 voices play through the device, paced
// in real time ("/dev/dsp" when it opens, for instance under the sound
// server's OSS emulation; else a FIFO read at 44100 frames a second).
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/oss_device.h"
#include "audio/software_mixer.h"

using namespace kelpora;

namespace {

constexpr int VOICES = 64;
constexpr int FRAMES = 1024;
constexpr int SAMPLE_FRAMES = 44100;
constexpr int16_t GAIN = 3072;  // 0.75, which SDL writes as 96 of 128

std::vector<int16_t> Noise(int samples, uint32_t seed) {
  std::vector<int16_t> data(static_cast<size_t>(samples));
  for (int16_t& s : data) {
    seed = seed * 1664525 + 1013904223;
    s = static_cast<int16_t>(seed >> 17);  // well below full scale, so sums rarely clip
  }
  return data;
}

struct Voices {
  std::vector<std::vector<int16_t>> data;
  std::vector<std::vector<uint8_t>> bytes;
  Voices() {
    for (int v = 0; v < VOICES; ++v) {
      data.push_back(Noise(2 * SAMPLE_FRAMES, static_cast<uint32_t>(v + 1)));
      std::vector<uint8_t> b(SAMPLE_FRAMES);
      for (int i = 0; i < SAMPLE_FRAMES; ++i) b[i] = static_cast<uint8_t>(data[v][i] >> 8 ^ 0x80);
      bytes.push_back(std::move(b));
    }
  }
};

const Voices& Data() {
  static Voices voices;
  return voices;
}

void ReportPerVoiceFrame(benchmark::State& state) {
  state.counters["voice_frame"] = benchmark::Counter(
      VOICES * FRAMES, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void MixerPass(benchmark::State& state, bool eight, float rate) {
  mixer m(2048);
  m.outputRate = MIX_OUTPUT_RATE;
  std::vector<pcmsample*> samples;
  for (int v = 0; v < VOICES; ++v) {
    pcmsample* pcm = pcmsample_create(SAMPLE_FRAMES, eight ? 8 : 16, eight ? 1 : 2, 44100, 1);
    std::memcpy(pcm->data,
                eight ? static_cast<const void*>(Data().bytes[v].data()) : Data().data[v].data(),
                static_cast<size_t>(pcm->size));
    sound* voice = m.start(pcm, nullptr, VOICE_LOOPED | VOICE_PAUSED);
    voice->setvolume(GAIN);
    voice->setrate(static_cast<int32_t>(rate * 65536));
    voice->pause(false);
    samples.push_back(pcm);
  }
  std::vector<int16_t> out(2048);
  for (auto _ : state) {
    m.mix(out.data());
    benchmark::DoNotOptimize(out.data());
  }
  ReportPerVoiceFrame(state);
  for (pcmsample* pcm : samples) pcmsample_release(pcm);
}

void BM_MixerUnity16Stereo(benchmark::State& state) { MixerPass(state, false, 1.0f); }
void BM_MixerRate137_16Stereo(benchmark::State& state) { MixerPass(state, false, 1.37f); }
void BM_MixerUnity8Mono(benchmark::State& state) { MixerPass(state, true, 1.0f); }

// SDL mixes each voice into the 16-bit output with its own clamping add.
void BM_SdlMixAudioFormat16Stereo(benchmark::State& state) {
  std::vector<int16_t> out(2048);
  int offset = 0;
  for (auto _ : state) {
    std::fill(out.begin(), out.end(), 0);
    for (int v = 0; v < VOICES; ++v)
      SDL_MixAudioFormat(reinterpret_cast<Uint8*>(out.data()),
                         reinterpret_cast<const Uint8*>(Data().data[v].data() + offset),
                         AUDIO_S16LSB, 2 * FRAMES * sizeof(int16_t), SDL_MIX_MAXVOLUME * 3 / 4);
    benchmark::DoNotOptimize(out.data());
    offset = (offset + 2 * FRAMES) % (2 * (SAMPLE_FRAMES - FRAMES));
  }
  ReportPerVoiceFrame(state);
}

// The floor: every voice's samples added into the accumulator, nothing else.
void BM_PlainSum16Stereo(benchmark::State& state) {
  std::vector<int32_t> acc(2048);
  int offset = 0;
  for (auto _ : state) {
    std::fill(acc.begin(), acc.end(), 0);
    for (int v = 0; v < VOICES; ++v) {
      const int16_t* src = Data().data[v].data() + offset;
      for (int i = 0; i < 2 * FRAMES; ++i) acc[i] += src[i];
    }
    benchmark::DoNotOptimize(acc.data());
    offset = (offset + 2 * FRAMES) % (2 * (SAMPLE_FRAMES - FRAMES));
  }
  ReportPerVoiceFrame(state);
}

BENCHMARK(BM_MixerUnity16Stereo);
BENCHMARK(BM_SdlMixAudioFormat16Stereo);
BENCHMARK(BM_PlainSum16Stereo);
BENCHMARK(BM_MixerRate137_16Stereo);
BENCHMARK(BM_MixerUnity8Mono);

// Output-thread CPU as a share of one core while 8 looping voices play for 3 s.
void BM_OutputThreadCpu8Voices(benchmark::State& state) {
  std::string path = "/dev/dsp";
  std::string fifo;
  std::thread reader;
  bool stop = false;
  int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK);
  if (probe >= 0) {
    close(probe);
  } else {
    char dir[] = "/tmp/kelpora-bench-XXXXXX";
    fifo = std::string(mkdtemp(dir)) + "/dsp";
    mkfifo(fifo.c_str(), 0600);
    path = fifo;
    reader = std::thread([&] {
      int fd = open(fifo.c_str(), O_RDONLY);
      char block[linuxaudio::BUFFER_LENGTH];
      auto next = std::chrono::steady_clock::now();
      while (!stop && read(fd, block, sizeof block) > 0) {
        next += std::chrono::microseconds(1024 * 1000000LL / 44100);
        std::this_thread::sleep_until(next);
      }
      while (read(fd, block, sizeof block) > 0) {
      }
      close(fd);
    });
  }
  auto* device = new linuxaudio(path);
  device->open();
  std::vector<pcmsample*> samples;
  for (int v = 0; v < 8; ++v) {
    pcmsample* pcm = pcmsample_create(SAMPLE_FRAMES, 16, 2, 44100, 1);
    std::memcpy(pcm->data, Data().data[v].data(), static_cast<size_t>(pcm->size));
    device->play(pcm, nullptr, 0);
    samples.push_back(pcm);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double share = 0;
  for (auto _ : state) {
    int64_t cpu0 = device->threadcpu();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    int64_t cpu1 = device->threadcpu();
    double wall =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    share = (cpu1 - cpu0) / wall;
    state.SetIterationTime(wall / 1e9);
  }
  state.counters["core_percent"] = 100 * share;
  state.SetLabel(fifo.empty() ? "/dev/dsp" : "FIFO paced at 44100 Hz");
  stop = true;
  device->close();
  device->dispose();
  if (reader.joinable()) reader.join();
  if (!fifo.empty()) {
    unlink(fifo.c_str());
    rmdir(fifo.substr(0, fifo.rfind('/')).c_str());
  }
  for (pcmsample* pcm : samples) pcmsample_release(pcm);
}

BENCHMARK(BM_OutputThreadCpu8Voices)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
