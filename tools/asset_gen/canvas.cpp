#include "tools/asset_gen/canvas.h"

#include <algorithm>
#include <cmath>

namespace kelpora::assetgen {

Color Mix(Color a, Color b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
Color Scale(Color c, float k) { return {c.r * k, c.g * k, c.b * k}; }
Color Rgb(int r, int g, int b) { return {r / 255.0f, g / 255.0f, b / 255.0f}; }

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
float Random::Uniform() { return static_cast<float>(Next() >> 40) / 16777216.0f; }
float Random::Range(float lo, float hi) { return lo + (hi - lo) * Uniform(); }
int Random::Int(int lo, int hi) {
  return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1));
}

namespace {
float Lattice(uint32_t seed, int x, int y, int z = 0) {
  uint32_t h = seed * 0x27d4eb2du ^ static_cast<uint32_t>(x) * 0x85ebca6bu ^
               static_cast<uint32_t>(y) * 0xc2b2ae35u ^ static_cast<uint32_t>(z) * 0x165667b1u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  h ^= h >> 15;
  return static_cast<float>(h & 0xffffff) / 16777215.0f;
}
int Wrap(int v, int period) { return ((v % period) + period) % period; }
}  // namespace

float SmoothStep(float e0, float e1, float x) {
  float t = Clamp01((x - e0) / (e1 - e0));
  return t * t * (3 - 2 * t);
}
float Clamp01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

float PeriodicNoise(uint32_t seed, float x, float y, int periodX) {
  float fx = std::floor(x), fy = std::floor(y);
  int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
  float tx = x - fx, ty = y - fy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  int x0 = Wrap(ix, periodX), x1 = Wrap(ix + 1, periodX);
  float a = Lattice(seed, x0, iy), b = Lattice(seed, x1, iy);
  float c = Lattice(seed, x0, iy + 1), d = Lattice(seed, x1, iy + 1);
  return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

float PeriodicFbm(uint32_t seed, float x, float y, int periodX, int octaves) {
  float sum = 0, amp = 0.5f, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * PeriodicNoise(seed + o * 101u, x, y, periodX);
    norm += amp;
    amp *= 0.5f;
    x *= 2;
    y *= 2;
    periodX *= 2;
  }
  return sum / norm;
}

float Noise3(uint32_t seed, float x, float y, float z) {
  float fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
  int ix = static_cast<int>(fx), iy = static_cast<int>(fy), iz = static_cast<int>(fz);
  auto ease = [](float t) { return t * t * t * (t * (t * 6 - 15) + 10); };
  float tx = ease(x - fx), ty = ease(y - fy), tz = ease(z - fz);
  float v[2][2];
  for (int j = 0; j < 2; ++j)
    for (int k = 0; k < 2; ++k) {
      float a = Lattice(seed, ix, iy + j, iz + k), b = Lattice(seed, ix + 1, iy + j, iz + k);
      v[j][k] = a + (b - a) * tx;
    }
  float near = v[0][0] + (v[1][0] - v[0][0]) * ty, far = v[0][1] + (v[1][1] - v[0][1]) * ty;
  return near + (far - near) * tz;
}

float Fbm3(uint32_t seed, float x, float y, float z, int octaves) {
  float sum = 0, amp = 0.5f, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * Noise3(seed + o * 131u, x, y, z);
    norm += amp;
    amp *= 0.5f;
    // Rotate a little between octaves so the lattice never lines up.
    float nx = 1.7f * x + 1.1f * z, nz = 1.7f * z - 1.1f * x;
    x = nx + 7.3f;
    y = 2.03f * y + 3.1f;
    z = nz + 1.9f;
  }
  return sum / norm;
}

Canvas::Canvas(int width, int height)
    : width_(width), height_(height), px_(static_cast<size_t>(width) * height * 4, 0.0f) {}

Color Canvas::Get(int x, int y) const {
  const float* p = &px_[Index(x, y)];
  return {p[0], p[1], p[2]};
}
float Canvas::Alpha(int x, int y) const { return px_[Index(x, y) + 3]; }

void Canvas::Set(int x, int y, Color c, float alpha) {
  float* p = &px_[Index(x, y)];
  p[0] = c.r;
  p[1] = c.g;
  p[2] = c.b;
  p[3] = alpha;
}

void Canvas::Blend(int x, int y, Color c, float coverage) {
  if (wrapX_) x = Wrap(x, width_);
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || coverage <= 0) return;
  coverage = std::min(coverage, 1.0f);
  float* p = &px_[Index(x, y)];
  float a = p[3];
  float outA = coverage + a * (1 - coverage);
  if (outA <= 0) return;
  p[0] = (c.r * coverage + p[0] * a * (1 - coverage)) / outA;
  p[1] = (c.g * coverage + p[1] * a * (1 - coverage)) / outA;
  p[2] = (c.b * coverage + p[2] * a * (1 - coverage)) / outA;
  p[3] = outA;
}

void Canvas::Fill(Color c, float alpha) {
  for (int y = 0; y < height_; ++y)
    for (int x = 0; x < width_; ++x) Set(x, y, c, alpha);
}

void Canvas::FillCircle(float cx, float cy, float radius, Color c, float opacity) {
  FillEllipse(cx, cy, radius, radius, c, opacity);
}

void Canvas::FillEllipse(float cx, float cy, float rx, float ry, Color c, float opacity) {
  int x0 = static_cast<int>(std::floor(cx - rx - 1)), x1 = static_cast<int>(std::ceil(cx + rx + 1));
  int y0 = static_cast<int>(std::floor(cy - ry - 1)), y1 = static_cast<int>(std::ceil(cy + ry + 1));
  float r = std::min(rx, ry);
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      float dx = (x + 0.5f - cx) / rx, dy = (y + 0.5f - cy) / ry;
      float d = (std::sqrt(dx * dx + dy * dy) - 1) * r;
      Blend(x, y, c, Clamp01(0.5f - d) * opacity);
    }
}

void Canvas::FillCapsule(float x0, float y0, float x1, float y1, float r0, float r1, Color c,
                         float opacity) {
  float rmax = std::max(r0, r1);
  int bx0 = static_cast<int>(std::floor(std::min(x0, x1) - rmax - 1));
  int bx1 = static_cast<int>(std::ceil(std::max(x0, x1) + rmax + 1));
  int by0 = static_cast<int>(std::floor(std::min(y0, y1) - rmax - 1));
  int by1 = static_cast<int>(std::ceil(std::max(y0, y1) + rmax + 1));
  float vx = x1 - x0, vy = y1 - y0;
  float len2 = vx * vx + vy * vy;
  for (int y = by0; y <= by1; ++y)
    for (int x = bx0; x <= bx1; ++x) {
      float px = x + 0.5f - x0, py = y + 0.5f - y0;
      float t = len2 > 0 ? Clamp01((px * vx + py * vy) / len2) : 0;
      float dx = px - vx * t, dy = py - vy * t;
      float d = std::sqrt(dx * dx + dy * dy) - (r0 + (r1 - r0) * t);
      Blend(x, y, c, Clamp01(0.5f - d) * opacity);
    }
}

void Canvas::FillPolygon(const std::vector<float>& xy, Color c, float opacity) {
  size_t n = xy.size() / 2;
  if (n < 3) return;
  float minY = xy[1], maxY = xy[1], minX = xy[0], maxX = xy[0];
  for (size_t i = 0; i < n; ++i) {
    minX = std::min(minX, xy[2 * i]);
    maxX = std::max(maxX, xy[2 * i]);
    minY = std::min(minY, xy[2 * i + 1]);
    maxY = std::max(maxY, xy[2 * i + 1]);
  }
  int x0 = static_cast<int>(std::floor(minX)), x1 = static_cast<int>(std::ceil(maxX));
  int y0 = std::max(0, static_cast<int>(std::floor(minY)));
  int y1 = std::min(height_ - 1, static_cast<int>(std::ceil(maxY)));
  std::vector<float> hits;
  std::vector<float> cover(static_cast<size_t>(x1 - x0 + 2));
  for (int y = y0; y <= y1; ++y) {
    std::fill(cover.begin(), cover.end(), 0.0f);
    for (int sy = 0; sy < 4; ++sy) {
      float fy = y + (sy + 0.5f) / 4;
      hits.clear();
      for (size_t i = 0; i < n; ++i) {
        float ax = xy[2 * i], ay = xy[2 * i + 1];
        float bx = xy[2 * ((i + 1) % n)], by = xy[2 * ((i + 1) % n) + 1];
        if ((ay <= fy) != (by <= fy)) hits.push_back(ax + (fy - ay) / (by - ay) * (bx - ax));
      }
      std::sort(hits.begin(), hits.end());
      for (size_t h = 0; h + 1 < hits.size(); h += 2)
        for (int sx = 0; sx < 4 * (x1 - x0 + 1); ++sx) {
          float fx = x0 + (sx + 0.5f) / 4;
          if (fx >= hits[h] && fx < hits[h + 1]) cover[sx / 4] += 1.0f / 16;
        }
    }
    for (int x = x0; x <= x1; ++x) Blend(x, y, c, cover[x - x0] * opacity);
  }
}

void Canvas::FillRect(float x0, float y0, float x1, float y1, Color c, float opacity) {
  FillPolygon({x0, y0, x1, y0, x1, y1, x0, y1}, c, opacity);
}

void Canvas::Draw(const Canvas& src, int dx, int dy) {
  for (int y = 0; y < src.height(); ++y)
    for (int x = 0; x < src.width(); ++x) Blend(x + dx, y + dy, src.Get(x, y), src.Alpha(x, y));
}

Canvas Canvas::Shrink(int factor) const {
  Canvas out(width_ / factor, height_ / factor);
  for (int y = 0; y < out.height_; ++y)
    for (int x = 0; x < out.width_; ++x) {
      float acc[4] = {0, 0, 0, 0};
      for (int j = 0; j < factor; ++j)
        for (int i = 0; i < factor; ++i) {
          const float* p = &px_[Index(x * factor + i, y * factor + j)];
          for (int k = 0; k < 3; ++k) acc[k] += p[k] * p[3];
          acc[3] += p[3];
        }
      float a = acc[3] / (factor * factor);
      Color c = acc[3] > 0 ? Color{acc[0] / acc[3], acc[1] / acc[3], acc[2] / acc[3]} : Color{};
      out.Set(x, y, c, a);
    }
  return out;
}

namespace {
uint8_t To8(float v) { return static_cast<uint8_t>(std::lround(Clamp01(v) * 255.0f)); }
}  // namespace

std::vector<uint8_t> Canvas::ToRgb8() const {
  std::vector<uint8_t> out(static_cast<size_t>(width_) * height_ * 3);
  for (size_t i = 0, n = static_cast<size_t>(width_) * height_; i < n; ++i) {
    // Flattened over black, the colour the demo clears to.
    float a = Clamp01(px_[i * 4 + 3]);
    for (int k = 0; k < 3; ++k) out[i * 3 + k] = To8(px_[i * 4 + k] * a);
  }
  return out;
}

std::vector<uint8_t> Canvas::ToRgba8() const {
  std::vector<uint8_t> out(static_cast<size_t>(width_) * height_ * 4);
  for (size_t i = 0; i < out.size(); ++i) out[i] = To8(px_[i]);
  return out;
}

}  // namespace kelpora::assetgen
