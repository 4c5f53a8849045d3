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
  // Halo of the atmosphere.
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
      if (d > radius - 1 && d < radius + 12) {
        float a = std::pow(1 - (d - radius) / 12, 2.0f);
        c.Blend(x, y, Rgb(90, 150, 255), a * 0.8f);
      }
    }
  const float lx = -0.55f, ly = -0.45f, lz = 0.70f;  // light from the upper left
  const float tilt = 0.35f;
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      float nx = (x + 0.5f - cx) / radius, ny = (y + 0.5f - cy) / radius;
      float r2 = nx * nx + ny * ny;
      float cover = Clamp01((1 - std::sqrt(r2)) * radius + 0.5f);
      if (cover <= 0) continue;
      float nz = std::sqrt(std::max(0.0f, 1 - r2));
      // Tilted axis, then latitude and longitude for the maps.
      float ty = ny * std::cos(tilt) - nz * std::sin(tilt);
      float tz = ny * std::sin(tilt) + nz * std::cos(tilt);
      float lat = std::asin(std::clamp(-ty, -1.0f, 1.0f));
      float lon = std::atan2(nx, tz) + kPi;
      float u = lon / (2 * kPi) * 12, v = (lat + kPi / 2) / kPi * 6;
      float land = PeriodicFbm(808, u, v, 12, 5);
      float green = PeriodicFbm(809, u * 2, v * 2, 24, 3);
      float cloud = PeriodicFbm(810, u * 1.5f, v * 3, 18, 4);
      Color col;
      if (std::fabs(lat) > 1.2f) {
        col = Rgb(230, 236, 245);
      } else if (land > 0.53f) {
        col = Mix(Rgb(60, 130, 60), Rgb(150, 130, 80), SmoothStep(0.45f, 0.6f, green));
        if (land > 0.62f) col = Mix(col, Rgb(120, 110, 90), 0.5f);
      } else {
        col = Mix(Rgb(16, 46, 120), Rgb(40, 100, 170), SmoothStep(0.4f, 0.53f, land));
      }
      if (cloud > 0.58f) col = Mix(col, Rgb(240, 244, 250), SmoothStep(0.58f, 0.68f, cloud));
      float diffuse = std::max(0.0f, nx * lx + ny * ly + nz * lz);
      float light = 0.18f + 0.95f * diffuse;
      col = Scale(col, std::floor(light * 10) / 10 + 0.05f);
      float rim = std::pow(1 - nz, 3.0f);
      col = Mix(col, Rgb(110, 170, 255), rim * 0.6f);
      c.Blend(x, y, col, cover);
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
