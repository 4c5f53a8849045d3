// Float RGBA canvas and the small set of drawing helpers the painters share.
#pragma once

#include <cstdint>
#include <vector>

namespace kelpora::assetgen {

struct Color {
  float r = 0, g = 0, b = 0;
};

Color Mix(Color a, Color b, float t);
Color Scale(Color c, float k);
Color Rgb(int r, int g, int b);

// Deterministic generator (splitmix64): every picture and piece seeds its own.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  float Uniform();                  // [0, 1)
  float Range(float lo, float hi);  // [lo, hi)
  int Int(int lo, int hi);          // [lo, hi]

 private:
  uint64_t state_;
};

// Value noise whose lattice repeats every `periodX` cells in x, so strips built
// from it tile. Returns values in [0, 1].
float PeriodicNoise(uint32_t seed, float x, float y, int periodX);
// Sum of octaves; `periodX` is the period of the first octave, doubled per octave.
float PeriodicFbm(uint32_t seed, float x, float y, int periodX, int octaves);

// Value noise in space, in [0, 1]: a map sampled on a sphere has no seam and
// no pinching at the poles. The sum of octaves turns between octaves so the
// lattice never lines up.
float Noise3(uint32_t seed, float x, float y, float z);
float Fbm3(uint32_t seed, float x, float y, float z, int octaves);

float SmoothStep(float e0, float e1, float x);
float Clamp01(float v);

// Straight (non-premultiplied) colour with coverage in `a`.
class Canvas {
 public:
  Canvas(int width, int height);

  int width() const { return width_; }
  int height() const { return height_; }
  Color Get(int x, int y) const;
  float Alpha(int x, int y) const;
  void Set(int x, int y, Color c, float alpha = 1.0f);
  // Paints `c` over the pixel with `coverage`; x wraps when the canvas tiles.
  void Blend(int x, int y, Color c, float coverage);
  void SetWrapX(bool wrap) { wrapX_ = wrap; }

  void Fill(Color c, float alpha);
  // Anti-aliased shapes, coverage from the signed distance to the edge.
  void FillCircle(float cx, float cy, float radius, Color c, float opacity = 1.0f);
  void FillCapsule(float x0, float y0, float x1, float y1, float r0, float r1, Color c,
                   float opacity = 1.0f);
  void FillEllipse(float cx, float cy, float rx, float ry, Color c, float opacity = 1.0f);
  // Even-odd polygon fill, 4x4 supersampled.
  void FillPolygon(const std::vector<float>& xy, Color c, float opacity = 1.0f);
  void FillRect(float x0, float y0, float x1, float y1, Color c, float opacity = 1.0f);
  // Copies `src` over this canvas at (dx, dy), blending by the source alpha.
  void Draw(const Canvas& src, int dx, int dy);
  // Box-filtered downscale by an integer factor.
  Canvas Shrink(int factor) const;

  std::vector<uint8_t> ToRgb8() const;
  std::vector<uint8_t> ToRgba8() const;

 private:
  int Index(int x, int y) const { return (y * width_ + x) * 4; }
  int width_, height_;
  bool wrapX_ = false;
  std::vector<float> px_;
};

}  // namespace kelpora::assetgen
