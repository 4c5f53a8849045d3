// One level frame without pacing, beside the decoding of the files the demo
// loads: the logo (before the first logo frame), the music (decoded whole, or
// only opened for streaming) and the level's pictures (while the loading
// screen shows). Run under an X server.
#include <benchmark/benchmark.h>

#include "audio/clips_channels.h"
#include "audio/loaders/sample_loader.h"
#include "audio/stream_clip.h"
#include "framework/kelpora.h"
#include "game/game_files.h"
#include "game/level_scene.h"
#include "game/parallax_layer.h"
#include "game/run_game.h"
#include "pixmap/loaders/pixmap_loader.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"

using namespace kelpora;
using namespace kelpora::game;

namespace {

const char16_t* const kLevelFiles[] = {
    u"DATAS/herbe0.png",  u"DATAS/herbe1.png",  u"DATAS/herbe2.png",   u"DATAS/herbe3.png",
    u"DATAS/herbe4.png",  u"DATAS/nuages0.png", u"DATAS/nuages1.png",  u"DATAS/nuages2.png",
    u"DATAS/nuages3.png", u"DATAS/nuages4.png", u"DATAS/barriere.png", u"DATAS/montagnes.png",
    u"DATAS/fond.jpg",    u"DATAS/lune.png",    u"DATAS/la-vask.png"};

void DecodeLogo(benchmark::State& state) {
  InitKelpora();
  String url = RegisterGameFile(u"intro/logo-tamo.jpg");
  for (auto _ : state) benchmark::DoNotOptimize(LoadPixmap(url));
}
BENCHMARK(DecodeLogo)->Unit(benchmark::kMillisecond);

void DecodeLevelFiles(benchmark::State& state) {
  InitKelpora();
  for (auto _ : state)
    for (auto name : kLevelFiles) benchmark::DoNotOptimize(LoadPixmap(RegisterGameFile(name)));
}
BENCHMARK(DecodeLevelFiles)->Unit(benchmark::kMillisecond);

// The title music is loaded before the first title frame and the level music
// while the loading screen shows: each load beside the decoding alone, which
// is the least a load can cost.
void DecodeMusic(benchmark::State& state, const char16_t* name) {
  InitKelpora();
  String url = RegisterGameFile(name);
  for (auto _ : state) benchmark::DoNotOptimize(LoadSample(url));
}
BENCHMARK_CAPTURE(DecodeMusic, title, u"intro/intromusic.ogg")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(DecodeMusic, level, u"DATAS/music-level1.ogg")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void LoadMusic(benchmark::State& state, const char16_t* name) {
  InitKelpora();
  String url = RegisterGameFile(name);
  for (auto _ : state) benchmark::DoNotOptimize(LoadClip(url, 1));
}
BENCHMARK_CAPTURE(LoadMusic, title, u"intro/intromusic.ogg")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(LoadMusic, level, u"DATAS/music-level1.ogg")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// What the level loading spends on its music now that it is streamed: the
// file is opened and its headers read. LoadLevel less this is the loading
// without the music.
void OpenStreamedMusic(benchmark::State& state, const char16_t* name) {
  InitKelpora();
  String url = RegisterGameFile(name);
  for (auto _ : state) benchmark::DoNotOptimize(StreamClip(url, 1));
}
BENCHMARK_CAPTURE(OpenStreamedMusic, title, u"intro/intromusic.ogg")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OpenStreamedMusic, level, u"DATAS/music-level1.ogg")
    ->Unit(benchmark::kMillisecond);

void LoadLevel(benchmark::State& state) {
  InitKelpora();
  OpenCanvas(640, 480, 0, 60 | CANVAS_NO_SYNC);
  for (auto _ : state) LoadLevelOne();
  CloseCanvas();
}
BENCHMARK(LoadLevel)->Unit(benchmark::kMillisecond);

void LevelFrame(benchmark::State& state) {
  InitKelpora();
  OpenCanvas(640, 480, 0, 60 | CANVAS_NO_SYNC);
  LoadLevelOne();
  Layers() = MakeRef<TObjectList>();
  CreateLevelLayers();
  for (auto _ : state) {
    DrawLevelFrame();
    PresentFrame();
    ClearScreen();
  }
  CloseCanvas();
}
BENCHMARK(LevelFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
