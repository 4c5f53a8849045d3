// Moving alpha-blended sprites in an 800 × 600 window, unpaced: our
// DrawPicture beside SDL's testsprite2 (OpenGL renderer, batching on) on the
// same X server with the same sprite, and beside the same quads drawn with one
// glDrawArrays per frame. Every figure is milliseconds per frame.
#include <GL/gl.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/gl_driver.h"
#include "pixmap/pixmap.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/picture.h"

namespace kelpora {
namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 600;
constexpr int kFrames = 200;
constexpr char kTestSprite[] = "/usr/libexec/installed-tests/SDL2/testsprite2";

// A disc: opaque inside, see-through outside. testsprite2 keys out the
// top-left colour, so a 2 × 2 sprite keeps that one pixel see-through.
bool Inside(int size, int x, int y) {
  if (size <= 2) return x != 0 || y != 0;
  float r = static_cast<float>(size) / 2, dx = static_cast<float>(x) + 0.5f - r,
        dy = static_cast<float>(y) + 0.5f - r;
  return dx * dx + dy * dy < r * r;
}

constexpr uint32_t kColour = 0x28C8FF;  // RGB

Ref<TPixmap> SpritePixmap(int size) {
  Ref<TPixmap> p = MakePixmap(size, size, PIXFMT_RGBA32, 4);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x)
      p->SetPixelAt(x, y, Inside(size, x, y) ? 0xFF000000u | kColour : 0);
  return p;
}

// The same sprite for testsprite2, which keys out its top-left colour (black).
std::string SpriteBmp(int size) {
  std::string path =
      "/tmp/kelpora-sprite-" + std::to_string(size) + "-" + std::to_string(::getpid()) + ".bmp";
  int row = (size * 3 + 3) & ~3;
  std::vector<uint8_t> out(54 + static_cast<size_t>(row) * size, 0);
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&out[at], &v, 4); };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, static_cast<uint32_t>(out.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(size));
  put32(22, static_cast<uint32_t>(size));
  out[26] = 1;
  out[28] = 24;
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      if (!Inside(size, x, size - 1 - y)) continue;
      uint8_t* px = &out[54 + static_cast<size_t>(y) * row + x * 3];
      px[0] = kColour & 0xFF;
      px[1] = (kColour >> 8) & 0xFF;
      px[2] = (kColour >> 16) & 0xFF;
    }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return {};
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  return path;
}

// Sprites bounce inside the window with random speeds of up to 1 pixel per frame.
struct Sprites {
  std::vector<float> x, y, vx, vy;
  Sprites(int count, int size) {
    uint32_t seed = 1;
    auto next = [&] {
      seed = seed * 1664525u + 1013904223u;
      return static_cast<float>(seed >> 8) / static_cast<float>(1u << 24);
    };
    for (int i = 0; i < count; ++i) {
      x.push_back(next() * static_cast<float>(kWidth - size));
      y.push_back(next() * static_cast<float>(kHeight - size));
      vx.push_back(next() * 2 - 1);
      vy.push_back(next() * 2 - 1);
    }
    limitX = static_cast<float>(kWidth - size);
    limitY = static_cast<float>(kHeight - size);
  }
  void Move() {
    for (size_t i = 0; i < x.size(); ++i) {
      x[i] += vx[i];
      if (x[i] < 0 || x[i] > limitX) vx[i] = -vx[i], x[i] += 2 * vx[i];
      y[i] += vy[i];
      if (y[i] < 0 || y[i] > limitY) vy[i] = -vy[i], y[i] += 2 * vy[i];
    }
  }
  float limitX = 0, limitY = 0;
};

bool OpenWindow(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("needs an X server (DISPLAY)");
    return false;
  }
  InitGLDriverModule();
  OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  return true;
}

void Report(benchmark::State& state, double seconds) {
  state.SetIterationTime(seconds / kFrames);
  state.counters["ms_per_frame"] = seconds * 1000 / kFrames;
}

void BM_Kelpora(benchmark::State& state) {
  int count = static_cast<int>(state.range(0)), size = static_cast<int>(state.range(1));
  if (!OpenWindow(state)) return;
  Ref<TPicture> sprite = LoadPicture(Ref<TObject>(SpritePixmap(size)), 0);
  SetBlendMode(BLEND_ALPHA);
  for (auto _ : state) {
    Sprites sprites(count, size);
    auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < kFrames; ++frame) {
      ClearScreen();
      sprites.Move();
      for (int i = 0; i < count; ++i) DrawPicture(sprite, sprites.x[i], sprites.y[i], 0);
      PresentFrame();
    }
    Report(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  CloseCanvas();
}

// The floor for fixed-function OpenGL: all quads of a frame in one call.
void BM_GLDrawArrays(benchmark::State& state) {
  int count = static_cast<int>(state.range(0)), size = static_cast<int>(state.range(1));
  if (!OpenWindow(state)) return;
  Ref<TPixmap> pixels = SpritePixmap(size);
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, size, size, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels->pixels);
  glEnable(GL_TEXTURE_2D);
  glEnable(GL_BLEND);
  glDisable(GL_ALPHA_TEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glColor4f(1, 1, 1, 1);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  std::vector<float> vertices(static_cast<size_t>(count) * 8),
      coords(static_cast<size_t>(count) * 8);
  const float unit[8] = {0, 0, 1, 0, 1, 1, 0, 1};
  for (int i = 0; i < count; ++i)
    std::memcpy(&coords[static_cast<size_t>(i) * 8], unit, sizeof unit);
  glVertexPointer(2, GL_FLOAT, 0, vertices.data());
  glTexCoordPointer(2, GL_FLOAT, 0, coords.data());
  auto s = static_cast<float>(size);
  for (auto _ : state) {
    Sprites sprites(count, size);
    auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < kFrames; ++frame) {
      glClear(GL_COLOR_BUFFER_BIT);
      sprites.Move();
      for (int i = 0; i < count; ++i) {
        float x = sprites.x[i], y = sprites.y[i];
        float* v = &vertices[static_cast<size_t>(i) * 8];
        v[0] = x, v[1] = y, v[2] = x + s, v[3] = y, v[4] = x + s, v[5] = y + s, v[6] = x,
        v[7] = y + s;
      }
      glDrawArrays(GL_QUADS, 0, count * 4);
      PresentFrame();
    }
    Report(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  glDisableClientState(GL_VERTEX_ARRAY);
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glDeleteTextures(1, &texture);
  CloseCanvas();
}

// testsprite2 runs until stopped and logs its frame rate every 5 seconds; the
// second report covers 5 seconds of steady drawing after start-up.
void BM_SDLTestSprite2(benchmark::State& state) {
  int count = static_cast<int>(state.range(0)), size = static_cast<int>(state.range(1));
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("needs an X server (DISPLAY)");
    return;
  }
  std::string bmp = SpriteBmp(size);
  for (auto _ : state) {
    std::string command = "SDL_RENDER_DRIVER=opengl SDL_RENDER_BATCHING=1 timeout -s TERM 11 " +
                          std::string(kTestSprite) + " --geometry 800x600 --blend blend " +
                          std::to_string(count) + " " + bmp + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    double fps = 0;
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
      double value = 0;
      if (std::sscanf(line, "INFO: %lf frames per second", &value) == 1) fps = value;
    }
    if (pipe) ::pclose(pipe);
    if (fps <= 0) {
      state.SkipWithError("testsprite2 (libsdl2-tests) did not report a frame rate");
      break;
    }
    state.SetIterationTime(1.0 / fps);
    state.counters["ms_per_frame"] = 1000.0 / fps;
  }
  std::remove(bmp.c_str());
}

void Cases(benchmark::internal::Benchmark* b) {
  b->Args({1000, 32})->Args({10000, 32})->Args({1000, 2})->Args({10000, 2});
  b->ArgNames({"sprites", "size"})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Kelpora)->Apply(Cases);
BENCHMARK(BM_SDLTestSprite2)->Apply(Cases);
BENCHMARK(BM_GLDrawArrays)->Apply(Cases);

}  // namespace
}  // namespace kelpora

BENCHMARK_MAIN();
