#include "tools/asset_gen/scenery.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kelpora::assetgen {

namespace {

constexpr int kStripWidth = 640;

// Snaps every opaque pixel to the nearest colour of a small, hand-picked set:
// crisp pixel-art shading that also keeps the files small.
void Posterize(Canvas& canvas, const std::vector<Color>& colors) {
  for (int y = 0; y < canvas.height(); ++y)
    for (int x = 0; x < canvas.width(); ++x) {
      if (canvas.Alpha(x, y) < 0.5f) continue;
      Color c = canvas.Get(x, y);
      float best = 1e9f;
      Color pick = c;
      for (const Color& p : colors) {
        float d = (c.r - p.r) * (c.r - p.r) + (c.g - p.g) * (c.g - p.g) + (c.b - p.b) * (c.b - p.b);
        if (d < best) best = d, pick = p;
      }
      canvas.Set(x, y, pick, 1);
    }
}

float Band(float v, int levels) { return std::floor(Clamp01(v) * levels) / levels; }

// Closes see-through pinholes inside a strip (smaller than `maxArea`, touching
// neither its top nor its bottom row): through the mask they would read as black
// specks in a cloud. Each pinhole takes the mean colour of the pixels around it.
void FillPinholes(Canvas& c, int maxArea) {
  const int w = c.width(), h = c.height();
  std::vector<char> seen(static_cast<size_t>(w) * h, 0);
  std::vector<std::pair<int, int>> region, stack;
  for (int y0 = 0; y0 < h; ++y0)
    for (int x0 = 0; x0 < w; ++x0) {
      if (c.Alpha(x0, y0) >= 0.5f || seen[static_cast<size_t>(y0) * w + x0]) continue;
      region.clear();
      stack.push_back({x0, y0});
      seen[static_cast<size_t>(y0) * w + x0] = 1;
      bool open = false;
      Color sum{};
      int rim = 0;
      while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        region.push_back({x, y});
        open |= y == 0 || y == h - 1;
        const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
        for (int d = 0; d < 4; ++d) {
          int nx = (x + dx[d] + w) % w, ny = y + dy[d];
          if (ny < 0 || ny >= h) continue;
          if (c.Alpha(nx, ny) >= 0.5f) {
            Color n = c.Get(nx, ny);
            sum = {sum.r + n.r, sum.g + n.g, sum.b + n.b};
            ++rim;
          } else if (!seen[static_cast<size_t>(ny) * w + nx]) {
            seen[static_cast<size_t>(ny) * w + nx] = 1;
            stack.push_back({nx, ny});
          }
        }
      }
      if (open || static_cast<int>(region.size()) >= maxArea || rim == 0) continue;
      for (auto [x, y] : region) c.Set(x, y, Scale(sum, 1.0f / rim), 1);
    }
}

}  // namespace

Color SkyColor(float screenY) {
  float t = Clamp01((screenY - 60) / 300);
  Color top = Rgb(8, 12, 38), mid = Rgb(20, 28, 70), low = Rgb(54, 56, 104);
  return t < 0.6f ? Mix(top, mid, t / 0.6f) : Mix(mid, low, (t - 0.6f) / 0.4f);
}

void FlattenAgainstSky(Canvas& canvas, float top, float threshold) {
  for (int y = 0; y < canvas.height(); ++y) {
    Color sky = SkyColor(top + y);
    for (int x = 0; x < canvas.width(); ++x) {
      float a = canvas.Alpha(x, y);
      if (a < threshold)
        canvas.Set(x, y, Color{}, 0);
      else
        canvas.Set(x, y, Mix(sky, canvas.Get(x, y), a), 1);
    }
  }
}

Canvas PaintSky() {
  Canvas sky(640, 360);
  for (int y = 0; y < 360; ++y)
    for (int x = 0; x < 640; ++x) {
      // A faint band of haze across the sky, brighter towards the horizon.
      float haze = PeriodicFbm(41, x / 90.0f, y / 50.0f, 8, 3);
      float band = std::exp(-std::pow((y - 0.18f * x - 40) / 70.0f, 2.0f));
      Color c = SkyColor(y + 60.0f);
      c = Mix(c, Rgb(70, 74, 130), band * haze * 0.35f);
      sky.Set(x, y, c, 1);
    }
  Random rng(1977);
  for (int i = 0; i < 150; ++i) {
    float x = rng.Range(2, 638), y = rng.Range(2, 250);
    float b = std::pow(rng.Uniform(), 2.2f);
    Color tint = Mix(Rgb(200, 215, 255), Rgb(255, 240, 205), rng.Uniform());
    Color bg = sky.Get(static_cast<int>(x), static_cast<int>(y));
    if (b > 0.82f) {
      sky.FillCircle(x, y, 1.3f, tint);
      sky.FillRect(x - 3.5f, y - 0.4f, x + 3.5f, y + 0.4f, tint, 0.5f);
      sky.FillRect(x - 0.4f, y - 3.5f, x + 0.4f, y + 3.5f, tint, 0.5f);
    } else {
      sky.Set(static_cast<int>(x), static_cast<int>(y), Mix(bg, tint, 0.35f + 0.65f * b), 1);
    }
  }
  return sky;
}

Canvas PaintMoon() {
  Canvas moon(106, 106);
  const float cx = 53, cy = 53, radius = 44;
  // A soft halo that fades into the sky behind.
  for (int y = 0; y < 106; ++y)
    for (int x = 0; x < 106; ++x) {
      float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
      float halo = std::pow(Clamp01(1 - (d - radius) / 9), 2.0f) * 0.55f;
      if (d > radius - 1) moon.Set(x, y, Rgb(120, 130, 170), halo);
    }
  Random rng(304);
  struct Crater {
    float x, y, r;
  };
  std::vector<Crater> craters;
  for (int i = 0; i < 16; ++i)
    craters.push_back({rng.Range(-0.8f, 0.8f), rng.Range(-0.8f, 0.8f), rng.Range(0.05f, 0.16f)});
  for (int y = 0; y < 106; ++y)
    for (int x = 0; x < 106; ++x) {
      float dx = (x + 0.5f - cx) / radius, dy = (y + 0.5f - cy) / radius;
      float r2 = dx * dx + dy * dy;
      float cover = Clamp01((1 - std::sqrt(r2)) * radius + 0.5f);
      if (cover <= 0) continue;
      float mare = PeriodicFbm(77, x / 14.0f, y / 14.0f, 64, 3);
      Color c = Mix(Rgb(240, 236, 214), Rgb(178, 180, 176), SmoothStep(0.5f, 0.62f, mare));
      for (const Crater& k : craters) {
        float d = std::hypot(dx - k.x, dy - k.y) / k.r;
        if (d < 1) c = Scale(c, 0.9f + 0.1f * d);
        // Rim lit from the upper right.
        if (d > 0.8f && d < 1.15f && (dx - k.x) - (dy - k.y) > 0) c = Scale(c, 1.06f);
      }
      float limb = 0.8f + 0.2f * std::sqrt(std::max(0.0f, 1 - r2));
      c = Scale(c, limb);
      moon.Blend(x, y, Color{std::min(c.r, 1.0f), std::min(c.g, 1.0f), std::min(c.b, 1.0f)}, cover);
    }
  FlattenAgainstSky(moon, 60, 0.1f);
  return moon;
}

Canvas PaintGrass(int index) {
  static const int kHeights[5] = {4, 6, 14, 14, 22};
  const int h = kHeights[index];
  Canvas c(kStripWidth, h);
  c.SetWrapX(true);
  const uint32_t seed = 500 + static_cast<uint32_t>(index) * 17;
  Random rng(seed);
  std::vector<Color> palette;
  if (index <= 1) {
    // The far meadow, hazy and blue in the moonlight.
    palette = index == 0 ? std::vector<Color>{Rgb(30, 48, 56), Rgb(36, 56, 60), Rgb(26, 42, 50),
                                              Rgb(44, 64, 66)}
                         : std::vector<Color>{Rgb(30, 52, 54), Rgb(38, 62, 58), Rgb(26, 46, 48),
                                              Rgb(48, 72, 64)};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < kStripWidth; ++x) {
        float n = PeriodicFbm(seed, x / 10.0f, y / 3.0f, 64, 3);
        c.Set(x, y, Mix(palette[2], palette[3], n * 1.3f - 0.15f), 1);
      }
  } else if (index == 2) {
    // The moonlit path the hero runs on.
    palette = {Rgb(34, 60, 50),  Rgb(46, 76, 58), Rgb(86, 80, 78),
               Rgb(104, 98, 94), Rgb(66, 60, 62), Rgb(130, 124, 118)};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < kStripWidth; ++x) {
        float edgeTop = 2.5f + 2.0f * PeriodicNoise(seed, x / 8.0f, 0, 80);
        float edgeBottom = h - 2.5f - 2.0f * PeriodicNoise(seed + 9, x / 8.0f, 0, 80);
        if (y < edgeTop || y > edgeBottom) {
          c.Set(x, y, (x / 2 + y) % 5 == 0 ? palette[1] : palette[0], 1);
        } else {
          float n = PeriodicFbm(seed + 3, x / 16.0f, y / 4.0f, 40, 2);
          c.Set(x, y, n > 0.62f ? palette[4] : palette[2], 1);
          if (y == static_cast<int>(edgeTop) + 1) c.Set(x, y, palette[3], 1);
        }
      }
    for (int i = 0; i < 70; ++i) {
      float x = rng.Range(0, 640), y = rng.Range(4, h - 4);
      c.FillEllipse(x, y, rng.Range(0.8f, 1.8f), 0.9f, palette[5]);
    }
  } else {
    // Near grass: blades over a dark base, bigger towards the bottom strip.
    bool front = index == 4;
    palette = front ? std::vector<Color>{Rgb(18, 40, 30), Rgb(30, 66, 42), Rgb(48, 96, 60),
                                         Rgb(84, 130, 88), Rgb(170, 180, 220)}
                    : std::vector<Color>{Rgb(22, 46, 38), Rgb(34, 70, 48), Rgb(50, 92, 62),
                                         Rgb(80, 120, 86)};
    c.Fill(palette[0], 1);
    int blades = front ? 360 : 420;
    for (int i = 0; i < blades; ++i) {
      float x = rng.Range(0, 640);
      float base = h + 1.0f, len = rng.Range(h * 0.5f, h * 1.05f);
      float lean = rng.Range(-4, 4);
      int shade = 1 + static_cast<int>(rng.Next() % 3);
      c.FillPolygon({x - 1.2f, base, x + 1.2f, base, x + lean, base - len}, palette[shade]);
    }
    if (front)
      for (int i = 0; i < 26; ++i) {
        float x = rng.Range(0, 640), y = rng.Range(3, h - 6);
        c.FillCircle(x, y, 1.3f, palette[4]);
      }
  }
  Posterize(c, palette);
  return c;
}

Canvas PaintClouds(int index) {
  static const int kHeights[5] = {42, 80, 38, 18, 12};
  static const int kTops[5] = {60, 102, 182, 220, 238};
  static const float kCells[5] = {64, 80, 64, 40, 32};
  static const float kBias[5] = {-0.08f, 0.0f, 0.22f, 0.22f, 0.22f};
  static const float kBanks[5] = {0, 0, 0.45f, 0.45f, 0.45f};
  const int h = kHeights[index];
  const float cell = kCells[index];
  const uint32_t seed = 900 + static_cast<uint32_t>(index) * 31;
  const int period = static_cast<int>(640 / cell);
  // Distant clouds are dimmer and bluer.
  const float distance = index / 4.0f;
  const Color dark = Mix(Rgb(50, 56, 96), Rgb(44, 48, 88), distance);
  const Color light = Mix(Rgb(176, 182, 214), Rgb(110, 116, 156), distance);
  Canvas c(kStripWidth, h);
  auto density = [&](float x, float y) {
    float v = PeriodicFbm(seed, x / cell, y / (cell * 0.45f), period, 4);
    // Puffy tops, flatter bottoms; nothing may touch the strip's top or bottom.
    float centre = h * 0.58f;
    float t = (y - centre) / (y < centre ? h * 0.58f : h * 0.42f);
    float envelope = 1 - t * t;
    // Clouds gather in banks with clear sky between them.
    float banks = PeriodicNoise(seed + 50, x * 5 / 640.0f, 0.5f, 5);
    if (index < 2) {
      // Up by the moon the banks are separate clouds that thin out towards
      // their ends, so each one tapers rather than stopping at a cliff.
      float body = SmoothStep(0.4f, 0.9f, banks);
      float u = t / std::max(0.2f, body);
      return 1.6f * (v - 0.5f) + 0.42f * (1 - u * u) - kBias[index] - 0.4f * (1 - body);
    }
    return v - 0.5f + 0.42f * envelope - kBias[index] + kBanks[index] * (banks - 0.5f);
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < kStripWidth; ++x) {
      float d = density(x + 0.5f, y + 0.5f);
      if (y == 0 || y == h - 1) d = std::min(d, -0.1f);
      float cover = SmoothStep(0.0f, 0.03f, d);
      if (cover <= 0) continue;
      // Lit from above: brightest just under the top edge.
      float above = density(x + 0.5f, y - 2.5f);
      float shade = 0.25f + 0.55f * (1 - y / static_cast<float>(h)) + 0.6f * d;
      if (above < 0.01f) shade += 0.35f;
      c.Set(x, y, Mix(dark, light, Band(shade, 5)), cover);
    }
  FlattenAgainstSky(c, static_cast<float>(kTops[index]), 0.5f);
  FillPinholes(c, 64);
  return c;
}

Canvas PaintFence() {
  Canvas c(kStripWidth, 42);
  c.SetWrapX(true);
  const Color wood = Rgb(96, 74, 60), woodLit = Rgb(132, 104, 82), woodDark = Rgb(58, 44, 40);
  Random rng(1200);
  // Two rails behind the posts, sagging slightly between them.
  for (float railY : {12.0f, 26.0f})
    for (int x = 0; x < kStripWidth; ++x) {
      float sag = 1.2f * std::sin(3.14159265f * (x % 80) / 80.0f);
      c.FillRect(static_cast<float>(x), railY + sag, x + 1.0f, railY + sag + 5, wood);
      c.FillRect(static_cast<float>(x), railY + sag, x + 1.0f, railY + sag + 1.5f, woodLit);
      c.FillRect(static_cast<float>(x), railY + sag + 4, x + 1.0f, railY + sag + 5, woodDark);
    }
  for (int post = 0; post < 8; ++post) {
    float x = post * 80.0f + 36, top = rng.Range(1, 5);
    c.FillPolygon({x, top + 4, x + 5, top, x + 10, top + 4, x + 10, 42, x, 42}, wood);
    c.FillRect(x + 6.5f, top + 3, x + 10, 42, woodLit);
    c.FillRect(x, top + 4, x + 2, 42, woodDark);
    for (int k = 0; k < 3; ++k) {
      float gy = rng.Range(top + 8, 38);
      c.FillRect(x + 2.5f, gy, x + 6, gy + 1, woodDark);
    }
  }
  Posterize(c, {wood, woodLit, woodDark});
  return c;
}

Canvas PaintMountains() {
  const int h = 146;
  Canvas c(kStripWidth, h);
  auto ridge = [](uint32_t seed, float x, int period) {
    float sum = 0, amp = 1, norm = 0;
    for (int o = 0; o < 4; ++o) {
      float n = PeriodicNoise(seed + o, x * (1 << o), 0.5f, period << o);
      sum += amp * (1 - std::fabs(2 * n - 1));
      norm += amp;
      amp *= 0.45f;
    }
    return sum / norm;
  };
  std::vector<float> far(kStripWidth), nearRange(kStripWidth);
  for (int x = 0; x < kStripWidth; ++x) {
    far[x] = 28 + 100 * std::pow(ridge(1300, x * 6 / 640.0f, 6), 1.6f);
    nearRange[x] = 18 + 40 * std::pow(ridge(1400, x / 80.0f, 8), 1.3f) +
                   3 * PeriodicNoise(1401, x / 4.0f, 0.5f, 160);
  }
  const Color farShade = Rgb(46, 52, 96), farLit = Rgb(78, 86, 132);
  const Color snowShade = Rgb(120, 130, 176), snowLit = Rgb(196, 204, 232);
  const Color nearShade = Rgb(24, 34, 50), nearLit = Rgb(40, 54, 70), foot = Rgb(26, 44, 50);
  auto farAt = [&](float x) {
    int i = static_cast<int>(std::floor(x));
    return far[static_cast<size_t>(((i % kStripWidth) + kStripWidth) % kStripWidth)];
  };
  for (int x = 0; x < kStripWidth; ++x) {
    int l = (x + kStripWidth - 5) % kStripWidth, r = (x + 5) % kStripWidth;
    bool nearFacesMoon = nearRange[r] < nearRange[l] - 1.0f;
    float snowLine = 100 + 8 * PeriodicNoise(1500, x / 5.0f, 0, 128);
    for (int y = 0; y < h; ++y) {
      float height = static_cast<float>(h - y);
      float farCover = Clamp01(far[x] - height + 0.5f);
      float nearCover = Clamp01(nearRange[x] - height + 0.5f);
      if (farCover > 0) {
        // Faces that fall to the right catch the moon; looking wider the deeper
        // below the crest makes the light follow the ridges diagonally.
        float reach = 3 + 0.8f * (far[x] - height);
        bool lit = farAt(x + reach) < farAt(x - reach) - 1.5f;
        Color col = lit ? farLit : farShade;
        if (height > snowLine && far[x] - height < 30) col = lit ? snowLit : snowShade;
        c.Blend(x, y, col, farCover);
      }
      if (nearCover > 0) {
        // Wooded foothills: dark, with a moonlit rim along the crest.
        Color col = nearRange[x] - height < 2.5f && nearFacesMoon ? nearLit : nearShade;
        if (height < 10) col = foot;
        c.Blend(x, y, col, nearCover);
      }
    }
  }
  FlattenAgainstSky(c, 214, 0.5f);
  return c;
}

}  // namespace kelpora::assetgen
