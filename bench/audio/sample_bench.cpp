// Loading the level music from its embedded block, as a sample and as a clip,
// beside a plain vorbisfile ov_read loop over the same bytes; streaming it
// (the decoder thread's CPU) beside an ov_read loop into a small buffer, and
// the decoder thread's share of a core while it plays in real time;
// conversions beside a memcpy of the bytes
// they write; and the peak memory of loading the level music against the
// size of its PCM.
#include <benchmark/benchmark.h>
#include <vorbis/vorbisfile.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/clips_channels.h"
#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/wav_loader.h"
#include "audio/mixer_backend.h"
#include "audio/software_mixer.h"
#include "audio/stream_clip.h"
#include "game/game_files.h"
#include "stream/incbin.h"

using namespace kelpora;

namespace {

constexpr char16_t LEVEL_MUSIC[] = u"DATAS/music-level1.ogg";

String LevelMusicUrl() {
  InitOggLoader();
  InitWavLoader();
  return game::RegisterGameFile(LEVEL_MUSIC);
}

void LoadSampleLevelMusic(benchmark::State& state) {
  const String url = LevelMusicUrl();
  for (auto _ : state) {
    Ref<TSampleData> sample = LoadSample(url);
    if (!sample) state.SkipWithError("not decoded");
    benchmark::DoNotOptimize(sample->data);
  }
}

// A clip is the decode plus the hand-over of its frames to the mixer: set
// beside LoadSampleLevelMusic, what the hand-over costs.
void LoadClipLevelMusic(benchmark::State& state) {
  const String url = LevelMusicUrl();
  InitAudioModule();
  if (audio_open(std::make_unique<offlineaudio>()) != 0) state.SkipWithError("no mixer");
  InstallAudioBackend(MakeRef<TMixerBackend>());
  for (auto _ : state) {
    Ref<TSoundClip> clip = LoadClip(url, 1);
    if (!clip) state.SkipWithError("not loaded");
    benchmark::DoNotOptimize(clip.get());
  }
  audio_close();
}

// The peer: vorbisfile reading from memory, into a buffer of the announced size.
struct Memory {
  const uint8_t* data;
  long size, pos;
};

size_t MemoryRead(void* out, size_t size, size_t count, void* source) {
  auto* m = static_cast<Memory*>(source);
  size_t bytes = std::min(size * count, size_t(m->size - m->pos));
  std::memcpy(out, m->data + m->pos, bytes);
  m->pos += long(bytes);
  return bytes / size;
}

int MemorySeek(void* source, ogg_int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(source);
  const long base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->size;
  if (base + offset < 0 || base + offset > m->size) return -1;
  m->pos = long(base + offset);
  return 0;
}

long MemoryTell(void* source) { return static_cast<Memory*>(source)->pos; }

void VorbisfileLevelMusic(benchmark::State& state) {
  LevelMusicUrl();
  Memory memory{FindResourceData(LEVEL_MUSIC), FindResourceSize(LEVEL_MUSIC), 0};
  for (auto _ : state) {
    memory.pos = 0;
    OggVorbis_File vf;
    if (ov_open_callbacks(&memory, &vf, nullptr, 0, {MemoryRead, MemorySeek, nullptr, MemoryTell}))
      state.SkipWithError("not opened");
    const int64_t bytes = ov_pcm_total(&vf, 0) * 2 * ov_info(&vf, -1)->channels;
    std::unique_ptr<char[]> pcm(new char[size_t(bytes)]);
    int64_t done = 0;
    int link = 0;
    while (done < bytes) {
      const long n = ov_read(&vf, pcm.get() + done, int(std::min<int64_t>(bytes - done, 1 << 30)),
                             0, 2, 1, &link);
      if (n <= 0) break;
      done += n;
    }
    ov_clear(&vf);
    benchmark::DoNotOptimize(pcm.get());
  }
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void OpenOfflineMixer() {
  InitAudioModule();
  if (!audio_device()) audio_open(std::make_unique<offlineaudio>());
  InstallAudioBackend(MakeRef<TMixerBackend>());
}

// The whole track streamed: the time is the decoder thread's CPU time (the
// output passes run here, between refills, and are not counted).
void StreamLevelMusic(benchmark::State& state) {
  const String url = LevelMusicUrl();
  OpenOfflineMixer();
  auto* device = static_cast<offlineaudio*>(audio_device());
  int64_t frames = 0;
  for (auto _ : state) {
    const int64_t before = StreamDecoderCpuTime();
    Ref<TSoundClip> clip = StreamClip(url, 0);
    Ref<TPlayChannel> channel = StartClip(clip, nullptr);
    WaitForStreamRefill(10000);
    while (ChannelIsPlaying(channel)) {
      for (int pass = 0; pass < 48; ++pass) device->render(nullptr, 1024);
      frames += 48 * 1024;
      WaitForStreamRefill(10000);
    }
    state.SetIterationTime(double(StreamDecoderCpuTime() - before) / 1e9);
  }
  state.counters["frames"] = double(frames) / double(state.iterations());
}

// The peer: ov_read from memory into one small buffer used again and again;
// the time is this thread's CPU time.
void VorbisfileLoopLevelMusic(benchmark::State& state) {
  LevelMusicUrl();
  Memory memory{FindResourceData(LEVEL_MUSIC), FindResourceSize(LEVEL_MUSIC), 0};
  std::vector<char> pcm(65536);
  for (auto _ : state) {
    const int64_t before = ThreadCpuNs();
    memory.pos = 0;
    OggVorbis_File vf;
    if (ov_open_callbacks(&memory, &vf, nullptr, 0, {MemoryRead, MemorySeek, nullptr, MemoryTell}))
      state.SkipWithError("not opened");
    int link = 0;
    while (ov_read(&vf, pcm.data(), int(pcm.size()), 0, 2, 1, &link) > 0) {
    }
    ov_clear(&vf);
    benchmark::DoNotOptimize(pcm.data());
    state.SetIterationTime(double(ThreadCpuNs() - before) / 1e9);
  }
}

// The level music looping at the output's own pace for 5 s: the decoder
// thread's CPU time over the wall time.
void StreamDecoderShareOfACore(benchmark::State& state) {
  const String url = LevelMusicUrl();
  OpenOfflineMixer();
  auto* device = static_cast<offlineaudio*>(audio_device());
  double share = 0;
  for (auto _ : state) {
    Ref<TPlayChannel> channel = StartClip(StreamClip(url, 1), nullptr);
    const int64_t before = StreamDecoderCpuTime();
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (int pass = 0; pass < 5 * 44100 / 1024; ++pass) {
      device->render(nullptr, 1024);
      next += std::chrono::microseconds(1024 * 1000000LL / 44100);
      std::this_thread::sleep_until(next);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    share = double(StreamDecoderCpuTime() - before) / 1e9 / wall;
    ChannelHalt(channel);
  }
  state.counters["decoder_core_percent"] = 100 * share;
  state.counters["silent_frames"] = double(StreamedSilenceFrames());
}

constexpr int FRAMES = 10'000'000;

void Convert(benchmark::State& state, int from, int to) {
  std::vector<uint8_t> in(size_t(FRAMES) * BytesPerFrame(from));
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 2654435761u >> 13);
  std::vector<uint8_t> out(size_t(FRAMES) * BytesPerFrame(to));
  for (auto _ : state) {
    ConvertPcm(in.data(), from, out.data(), to, FRAMES);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void Memcpy(benchmark::State& state, int to) {
  std::vector<uint8_t> in(size_t(FRAMES) * BytesPerFrame(to), 1);
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

// Resident memory gained at the peak of LoadSample, over the bytes of the
// PCM it returns: the high-water mark is reset first (clear_refs 5).
void PeakMemoryLevelMusic(benchmark::State& state) {
  const String url = LevelMusicUrl();
  double ratio = 0;
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKb("VmRSS:");
    Ref<TSampleData> sample = LoadSample(url);
    const long peak = StatusKb("VmHWM:");
    ratio = double(peak - before) * 1024 / sample->capacity;
    state.counters["pcm_MB"] = sample->capacity / 1e6;
    state.counters["peak_gain_MB"] = double(peak - before) * 1024 / 1e6;
  }
  state.counters["peak_over_pcm"] = ratio;
}

}  // namespace

BENCHMARK(LoadSampleLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(LoadClipLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(VorbisfileLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(StreamLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(VorbisfileLoopLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(StreamDecoderShareOfACore)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Convert, mono16_to_stereo16, SAMPLE_MONO16LE, SAMPLE_STEREO16LE)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Memcpy, stereo16_bytes, SAMPLE_STEREO16LE)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, stereo8_to_stereo16be, SAMPLE_STEREO8, SAMPLE_STEREO16BE)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Memcpy, stereo16be_bytes, SAMPLE_STEREO16BE)->Unit(benchmark::kMillisecond);
BENCHMARK(PeakMemoryLevelMusic)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
