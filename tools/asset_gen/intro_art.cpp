#include "tools/asset_gen/intro_art.h"

#include <algorithm>
#include <cmath>

#include "tools/asset_gen/hero.h"
#include "tools/asset_gen/lettering.h"
#include "tools/asset_gen/scenery.h"

namespace kelpora::assetgen {

namespace {

constexpr float kPi = 3.14159265f;

void Stars(Canvas& c, uint32_t seed, int count, float yMin, float yMax, float yFade) {
  Random rng(seed);
  for (int i = 0; i < count; ++i) {
    float x = rng.Range(1, c.width() - 1.0f), y = rng.Range(yMin, yMax);
    float b = std::pow(rng.Uniform(), 2.0f) * (1 - SmoothStep(yFade, yMax, y));
    Color tint = Mix(Rgb(190, 210, 255), Rgb(255, 236, 200), rng.Uniform());
    if (b > 0.85f) {
      c.FillCircle(x, y, 1.4f, tint);
      c.FillRect(x - 4, y - 0.4f, x + 4, y + 0.4f, tint, 0.45f);
      c.FillRect(x - 0.4f, y - 4, x + 0.4f, y + 4, tint, 0.45f);
    } else {
      c.FillCircle(x, y, 0.6f, tint, 0.3f + 0.7f * b);
    }
  }
}

// Fills a silhouette given by a height function of x (pixels above `base`).
template <typename F>
void Ridge(Canvas& c, float base, Color top, Color bottom, F height) {
  for (int x = 0; x < c.width(); ++x) {
    float peak = base - height(static_cast<float>(x));
    for (int y = std::max(0, static_cast<int>(peak)); y < c.height(); ++y) {
      float cover = Clamp01(y + 0.5f - peak + 0.5f);
      c.Blend(x, y, Mix(top, bottom, Clamp01((y - peak) / 120.0f)), cover);
    }
  }
}

}  // namespace

Canvas PaintLogo() {
  Canvas c(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      float d = std::hypot((x - 320) / 320.0f, (y - 200) / 260.0f);
      c.Set(x, y, Mix(Rgb(24, 44, 62), Rgb(4, 8, 16), Clamp01(d)), 1);
    }
  // The mark: a lantern's glow holding three kelp fronds.
  const float cx = 320, cy = 180;
  for (int r = 90; r > 0; r -= 2)
    c.FillCircle(cx, cy, static_cast<float>(r), Rgb(255, 196, 96), 0.03f);
  c.FillCircle(cx, cy, 62, Rgb(30, 60, 70));
  c.FillCircle(cx, cy, 58, Rgb(12, 30, 40));
  for (int f = 0; f < 3; ++f) {
    float baseX = cx - 22 + f * 22;
    float px = baseX, py = cy + 52;
    for (int k = 1; k <= 10; ++k) {
      float ny = cy + 52 - k * (9.0f - f % 2);
      float nx = baseX + 7 * std::sin(k * 0.8f + f * 1.7f);
      float r = 4.5f - k * 0.3f;
      c.FillCapsule(px, py, nx, ny, r + 0.3f, r,
                    Mix(Rgb(70, 170, 120), Rgb(170, 230, 150), k / 10.0f));
      if (k % 2 == 0) c.FillEllipse(nx + (k % 4 ? 6.0f : -6.0f), ny, 5, 2.2f, Rgb(110, 200, 130));
      px = nx;
      py = ny;
    }
  }
  c.FillCircle(cx + 28, cy - 26, 7, Rgb(255, 226, 150));
  c.FillCircle(cx + 28, cy - 26, 12, Rgb(255, 210, 120), 0.3f);
  // Ring of the lantern.
  for (int a = 0; a < 720; ++a) {
    float t = a * kPi / 360;
    c.FillCircle(cx + 60 * std::cos(t), cy + 60 * std::sin(t), 2.2f, Rgb(226, 176, 90));
  }
  const std::string bold = FontPath("DejaVuSans-Bold.ttf");
  Mask name = RenderText(bold, "KELP LANTERN", 46, 6, 8);
  PaintMask(c, Blur(Dilate(name, 3), 3), 320, 280, Rgb(255, 170, 60), Rgb(255, 120, 40), 0.35f);
  PaintMask(c, Dilate(name, 2), 320, 280, Rgb(30, 20, 12), Rgb(30, 20, 12));
  PaintMask(c, name, 320, 280, Rgb(255, 232, 170), Rgb(226, 150, 60));
  Mask studio = RenderText(FontPath("DejaVuSans.ttf"), "G A M E   S T U D I O", 18, 2, 4);
  PaintMask(c, studio, 320, 352, Rgb(150, 200, 200), Rgb(110, 160, 170));
  c.FillRect(200, 346, 440, 347.5f, Rgb(90, 130, 140));
  return c;
}

Canvas PaintTitle() {
  Canvas c(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      float t = y / 440.0f;
      Color sky = Mix(Rgb(6, 10, 34), Rgb(60, 54, 110), std::pow(Clamp01(t), 1.6f));
      float haze = PeriodicFbm(61, x / 70.0f, y / 40.0f, 16, 4);
      float band = std::exp(-std::pow((y - 0.35f * x - 20) / 60.0f, 2.0f));
      sky = Mix(sky, Rgb(110, 100, 170), band * haze * 0.45f);
      c.Set(x, y, sky, 1);
    }
  Stars(c, 2024, 420, 2, 330, 240);
  // The moon, large, with a glow.
  for (int r = 120; r > 50; r -= 3)
    c.FillCircle(470, 130, static_cast<float>(r), Rgb(160, 170, 220), 0.025f);
  c.FillCircle(470, 130, 52, Rgb(246, 240, 218));
  Random rng(88);
  for (int i = 0; i < 12; ++i) {
    float a = rng.Range(0, 2 * kPi), d = rng.Range(0, 40);
    c.FillCircle(470 + d * std::cos(a), 130 + d * std::sin(a), rng.Range(3, 9), Rgb(206, 204, 196),
                 0.6f);
  }
  // Three ranges fading into the distance.
  Ridge(c, 360, Rgb(58, 60, 112), Rgb(40, 44, 86), [](float x) {
    return 70 + 55 * std::pow(1 - std::fabs(2 * PeriodicFbm(71, x / 90.0f, 0.3f, 16, 4) - 1), 2.0f);
  });
  Ridge(c, 395, Rgb(36, 42, 78), Rgb(24, 30, 56), [](float x) {
    return 40 + 45 * std::pow(1 - std::fabs(2 * PeriodicFbm(72, x / 70.0f, 0.7f, 16, 4) - 1), 1.5f);
  });
  Ridge(c, 440, Rgb(20, 34, 40), Rgb(12, 20, 26), [](float x) {
    return 48 + 10 * std::sin(x / 60.0f) - 0.03f * (x - 250) * 0.6f * (x > 250);
  });
  // The hero, mid-stride on the near hill.
  Canvas hero = PaintHeroFrame(1, 1.6f);
  c.Draw(hero, 96, 440 - 50 - hero.height() + 6);
  // Dark band for the scrolling credits line.
  for (int y = 436; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      float t = SmoothStep(436, 446, static_cast<float>(y));
      c.Set(x, y, Mix(c.Get(x, y), Rgb(8, 10, 20), t), 1);
    }
  const std::string serif = FontPath("DejaVuSerif-Bold.ttf");
  Mask title = RenderText(serif, "NOCTAMBULE", 64, 3, 14);
  PaintMask(c, Blur(Dilate(title, 4), 6), 320, 40, Rgb(120, 150, 255), Rgb(200, 120, 255), 0.8f);
  PaintMask(c, Dilate(title, 3), 320, 40, Rgb(16, 12, 40), Rgb(30, 16, 50));
  PaintMask(c, title, 320, 40, Rgb(255, 250, 220), Rgb(250, 180, 80));
  Mask subtitle = RenderText(FontPath("DejaVuSerif.ttf"), "la course au clair de lune", 24, 2, 6);
  PaintMask(c, Dilate(subtitle, 2), 320, 132, Rgb(10, 10, 30), Rgb(10, 10, 30), 0.8f);
  PaintMask(c, subtitle, 320, 132, Rgb(210, 220, 255), Rgb(170, 190, 240));
  return c;
}

Canvas PaintGlobe() {
  Canvas c(640, 400);
  Stars(c, 555, 70, 40, 360, 360);
  const float cx = 320, cy = 200, radius = 140;
  // Light from the upper left and a little in front; the terminator runs across
  // the lower right.
  float lx = -0.62f, ly = -0.42f, lz = 0.66f;
  {
    float n = std::sqrt(lx * lx + ly * ly + lz * lz);
    lx /= n, ly /= n, lz /= n;
  }
  // Glow of the atmosphere beyond the limb, strongest on the lit side.
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      float dx = x + 0.5f - cx, dy = y + 0.5f - cy;
      float d = std::hypot(dx, dy);
      if (d <= radius - 1 || d > radius + 16) continue;
      float facing = Clamp01(0.35f + 0.65f * (dx * lx + dy * ly) / d);
      float a = std::pow(Clamp01(1 - (d - radius) / 16), 2.2f) * (0.25f + 0.75f * facing);
      c.Blend(x, y, Rgb(110, 170, 255), a * 0.9f);
    }
  const float tilt = 0.38f, spin = 0.9f;
  const float ct = std::cos(tilt), st = std::sin(tilt), cs = std::cos(spin), ss = std::sin(spin);
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      float nx = (x + 0.5f - cx) / radius, ny = (y + 0.5f - cy) / radius;
      float r2 = nx * nx + ny * ny;
      float cover = Clamp01((1 - std::sqrt(r2)) * radius + 0.5f);
      if (cover <= 0) continue;
      float nz = std::sqrt(std::max(0.0f, 1 - r2));
      // Into the planet's frame: tilt the axis towards the viewer, then spin.
      float py = ny * ct - nz * st, pz = ny * st + nz * ct;
      float px = nx * cs + pz * ss;
      pz = pz * cs - nx * ss;
      const float lat = std::asin(std::clamp(-py, -1.0f, 1.0f));
      // Continents: a warped fractal, cut at sea level.
      float wx = Fbm3(820, px * 2, py * 2, pz * 2, 3) - 0.5f;
      float wy = Fbm3(821, px * 2, py * 2, pz * 2, 3) - 0.5f;
      float land = Fbm3(808, px * 1.6f + wx, py * 1.6f + wy, pz * 1.6f - wx, 6);
      float height = land - 0.52f;
      float dry = Fbm3(809, px * 3, py * 3, pz * 3, 4);
      float latitude = std::fabs(lat) / (kPi / 2);
      Color col;
      if (height > 0) {
        // Green lowlands, drier and browner inland and near the tropics, greyish high ground.
        Color lowland = Mix(Rgb(46, 112, 52), Rgb(88, 128, 60), Clamp01(dry * 1.4f - 0.3f));
        Color desert = Rgb(176, 152, 100);
        float arid = SmoothStep(0.5f, 0.66f, dry) * (1 - SmoothStep(0.35f, 0.6f, latitude));
        col = Mix(lowland, desert, arid);
        col = Mix(col, Rgb(112, 104, 90), SmoothStep(0.09f, 0.2f, height) * 0.7f);
        col = Mix(col, Rgb(58, 92, 60), SmoothStep(0.5f, 0.75f, latitude) * 0.6f);
      } else {
        // Deep ocean, turning turquoise over the shelves along the coasts.
        col = Mix(Rgb(12, 38, 100), Rgb(22, 70, 140), SmoothStep(-0.12f, -0.02f, height));
        col = Mix(col, Rgb(40, 130, 160), SmoothStep(-0.025f, 0.0f, height) * 0.8f);
      }
      // Ice caps with ragged edges that follow the land and the noise.
      float capEdge =
          0.80f - 0.45f * (Fbm3(830, px * 5, py * 5, pz * 5, 5) - 0.5f) - (height > 0 ? 0.07f : 0);
      float ice = SmoothStep(capEdge, capEdge + 0.05f, latitude);
      // Pack ice: the cap breaks into floes towards its edge, bluish in its cracks.
      Color iceColor = Mix(Rgb(196, 214, 232), Rgb(236, 240, 248),
                           SmoothStep(0.4f, 0.6f, Fbm3(831, px * 9, py * 9, pz * 9, 3)));
      col = Mix(col, iceColor, ice);
      // Clouds: streaks stretched along the latitudes.
      float cloud = Fbm3(810, px * 2.2f, py * 5.0f, pz * 2.2f, 5);
      col = Mix(col, Rgb(244, 246, 250), SmoothStep(0.55f, 0.72f, cloud) * 0.85f);
      // Soft terminator, a dim night side, a touch of sheen on the sea.
      float lambert = nx * lx + ny * ly + nz * lz;
      float day = SmoothStep(-0.12f, 0.35f, lambert);
      float light = 0.07f + 0.98f * day * (0.55f + 0.45f * Clamp01(lambert));
      col = Scale(col, light);
      if (height <= 0) {
        float hx = lx, hy = ly, hz = lz + 1;
        float hn = std::sqrt(hx * hx + hy * hy + hz * hz);
        float spec = std::pow(Clamp01((nx * hx + ny * hy + nz * hz) / hn), 60.0f);
        col = Mix(col, Rgb(200, 220, 255), spec * 0.5f);
      }
      // Atmosphere: the limb turns blue and hazy, mostly on the lit side.
      float rim = std::pow(1 - nz, 2.5f);
      col = Mix(col, Rgb(120, 180, 255), rim * (0.15f + 0.6f * day));
      c.Blend(x, y, Color{std::min(col.r, 1.0f), std::min(col.g, 1.0f), std::min(col.b, 1.0f)},
              cover);
    }
  // Flatten over the black screen; too-dark fringe pixels become see-through.
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      float a = c.Alpha(x, y);
      Color col = Scale(c.Get(x, y), a);
      if (std::max({col.r, col.g, col.b}) < 6 / 255.0f)
        c.Set(x, y, Color{}, 0);
      else
        c.Set(x, y, col, 1);
    }
  return c;
}

}  // namespace kelpora::assetgen
