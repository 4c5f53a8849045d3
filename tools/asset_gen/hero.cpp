#include "tools/asset_gen/hero.h"

#include <algorithm>
#include <cmath>

namespace kelpora::assetgen {

namespace {

constexpr float kPi = 3.14159265f;

struct Point {
  float x, y;
};

// Angles are measured from straight down, positive towards the running direction.
Point Along(Point from, float degrees, float length) {
  float a = degrees * kPi / 180;
  return {from.x + std::sin(a) * length, from.y + std::cos(a) * length};
}

float Deg(float radians) { return radians * 180 / kPi; }

}  // namespace

namespace {

const Color kSkin = Rgb(238, 196, 164), kHair = Rgb(92, 54, 40), kJacket = Rgb(214, 72, 54),
            kJacketDark = Rgb(150, 46, 42), kTrousers = Rgb(62, 76, 140),
            kTrousersDark = Rgb(40, 48, 96), kShoe = Rgb(236, 236, 244),
            kShoeDark = Rgb(170, 170, 190), kScarf = Rgb(250, 204, 70), kOutline = Rgb(24, 18, 34);

// The figure without its outline, anti-aliased.
Canvas PaintHeroBody(int frame, float scale) {
  const int w = static_cast<int>(80 * scale), h = static_cast<int>(104 * scale);
  Canvas body(w, h);
  const float p = 2 * kPi * frame / 6.0f;
  const float s = scale;
  // Highest in mid-flight, lowest as a foot takes the weight.
  const float bob = 2.0f * std::cos(2 * p);
  const Point hip{38 * s, (59 - bob) * s};
  const float lean = 14;  // degrees forward
  const Point neck = Along(hip, 180 - lean, 28 * s);
  const Point head = Along(neck, 180 - lean * 0.6f, 11 * s);

  const Color skin = kSkin, hair = kHair, jacket = kJacket, jacketDark = kJacketDark,
              trousers = kTrousers, trousersDark = kTrousersDark, shoe = kShoe,
              shoeDark = kShoeDark, scarf = kScarf, outline = kOutline;

  auto leg = [&](float phase, Color cloth, Color foot) {
    float thigh = 38 * std::sin(phase);
    float flex = 12 + 78 * std::pow(std::max(0.0f, std::cos(phase - 0.35f)), 1.4f);
    Point knee = Along(hip, thigh, 20 * s);
    float shinAngle = thigh - flex;
    Point ankle = Along(knee, shinAngle, 20 * s);
    Point toe = Along(ankle, shinAngle + 90 - 10 * std::sin(phase), 9 * s);
    body.FillCapsule(hip.x, hip.y, knee.x, knee.y, 5.2f * s, 4.4f * s, cloth);
    body.FillCapsule(knee.x, knee.y, ankle.x, ankle.y, 4.4f * s, 3.4f * s, cloth);
    body.FillCapsule(ankle.x, ankle.y, toe.x, toe.y, 3.6f * s, 3.0f * s, foot);
  };
  auto arm = [&](float phase, Color sleeve, Color hand) {
    Point shoulder = Along(neck, lean, 3 * s);
    float upper = -44 * std::sin(phase);
    Point elbow = Along(shoulder, upper, 14 * s);
    Point wrist = Along(elbow, upper + 95, 12 * s);
    body.FillCapsule(shoulder.x, shoulder.y, elbow.x, elbow.y, 3.8f * s, 3.2f * s, sleeve);
    body.FillCapsule(elbow.x, elbow.y, wrist.x, wrist.y, 3.2f * s, 2.6f * s, sleeve);
    body.FillCircle(wrist.x, wrist.y, 3.0f * s, hand);
  };

  // Far limbs first, in darker cloth.
  arm(p + kPi, jacketDark, Scale(skin, 0.8f));
  leg(p + kPi, trousersDark, shoeDark);
  // Scarf streaming behind, rippling with the stride.
  Point knot = Along(neck, 180 - lean, -1 * s);
  Point prev = knot;
  for (int k = 1; k <= 6; ++k) {
    Point next{knot.x - 5.5f * k * s, knot.y + (1.5f * k + 2.6f * std::sin(p * 2 + k * 1.1f)) * s};
    body.FillCapsule(prev.x, prev.y, next.x, next.y, (3.4f - 0.3f * k) * s, (3.1f - 0.3f * k) * s,
                     scarf);
    prev = next;
  }
  body.FillCapsule(hip.x, hip.y, neck.x, neck.y, 7.5f * s, 8.0f * s, jacket);
  body.FillCapsule(hip.x, hip.y - 1 * s, hip.x + 6 * s, hip.y - 1 * s, 5.5f * s, 5.5f * s,
                   trousers);
  leg(p, trousers, shoe);
  body.FillCapsule(knot.x - 2 * s, knot.y, knot.x + 5 * s, knot.y + 1 * s, 3.6f * s, 3.6f * s,
                   scarf);
  // Head: hair swept back, one eye looking ahead.
  body.FillCircle(head.x, head.y, 9.5f * s, skin);
  for (int k = 0; k < 4; ++k) {
    float a = Deg(-2.2f - 0.35f * k);
    Point tip = Along({head.x - 2 * s, head.y - 3 * s}, a + 10 * std::sin(p + k), (11 - k) * s);
    body.FillCapsule(head.x - 1 * s, head.y - 4 * s + k * 2 * s, tip.x, tip.y, 4.5f * s, 1.0f * s,
                     hair);
  }
  body.FillEllipse(head.x + 1 * s, head.y - 6 * s, 8.5f * s, 4.5f * s, hair);
  body.FillEllipse(head.x + 5 * s, head.y - 0.5f * s, 1.3f * s, 2.0f * s, outline);
  body.FillCircle(head.x + 9.3f * s, head.y + 1.5f * s, 1.4f * s, skin);
  arm(p, jacket, skin);
  return body;
}

}  // namespace

Canvas PaintHeroFrame(int frame, float scale) {
  const int w = static_cast<int>(80 * scale), h = static_cast<int>(104 * scale);
  const float s = scale;
  const Color outline = kOutline;
  Canvas body = PaintHeroBody(frame, scale);
  // A dark outline one pixel (times the scale) wide keeps him readable on any layer.
  Canvas out(w, h);
  const int reach = std::max(1, static_cast<int>(std::lround(1.2f * s)));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float a = 0;
      for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
          int xx = x + dx, yy = y + dy;
          if (xx >= 0 && yy >= 0 && xx < w && yy < h) a = std::max(a, body.Alpha(xx, yy));
        }
      out.Set(x, y, outline, a);
    }
  out.Draw(body, 0, 0);
  return out;
}

Canvas PaintHeroSprite(int frame) {
  // Painted four times larger, then each 4x4 block becomes one pixel: drawn
  // where most of the block is covered, in the colour most of it has. Nothing
  // is half-transparent, so the game's alpha cut leaves the figure as painted.
  constexpr int kUp = 4, w = 80, h = 104;
  const Canvas big = PaintHeroBody(frame, static_cast<float>(kUp));
  const Color palette[] = {kSkin,     Scale(kSkin, 0.8f), kHair, kJacket,   kJacketDark,
                           kTrousers, kTrousersDark,      kShoe, kShoeDark, kScarf,
                           kOutline};
  constexpr int kColors = static_cast<int>(sizeof(palette) / sizeof(palette[0]));
  auto nearest = [&](Color c) {
    int best = 0;
    float bestD = 1e9f;
    for (int i = 0; i < kColors; ++i) {
      float dr = c.r - palette[i].r, dg = c.g - palette[i].g, db = c.b - palette[i].b;
      float d = dr * dr + dg * dg + db * db;
      if (d < bestD) bestD = d, best = i;
    }
    return best;
  };
  Canvas body(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int votes[kColors] = {}, covered = 0;
      for (int j = 0; j < kUp; ++j)
        for (int i = 0; i < kUp; ++i) {
          int bx = x * kUp + i, by = y * kUp + j;
          if (big.Alpha(bx, by) < 0.5f) continue;
          ++covered;
          ++votes[nearest(big.Get(bx, by))];
        }
      if (2 * covered < kUp * kUp) continue;
      int pick = 0;
      for (int i = 1; i < kColors; ++i)
        if (votes[i] > votes[pick]) pick = i;
      body.Set(x, y, palette[pick], 1);
    }
  // One-pixel dark outline on the four sides of every drawn pixel.
  Canvas out(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (body.Alpha(x, y) > 0) {
        // Moonlight from the upper right catches the edges that face it.
        bool lit = (x + 1 < w && body.Alpha(x + 1, y) == 0) || (y > 0 && body.Alpha(x, y - 1) == 0);
        Color c = body.Get(x, y);
        if (lit) c = Mix(c, Rgb(255, 250, 235), 0.22f);
        out.Set(x, y, c, 1);
        continue;
      }
      bool edge = (x > 0 && body.Alpha(x - 1, y) > 0) || (x + 1 < w && body.Alpha(x + 1, y) > 0) ||
                  (y > 0 && body.Alpha(x, y - 1) > 0) || (y + 1 < h && body.Alpha(x, y + 1) > 0);
      if (edge) out.Set(x, y, kOutline, 1);
    }
  return out;
}

Canvas PaintHeroSheet() {
  Canvas sheet(480, 104);
  for (int f = 0; f < 6; ++f) sheet.Draw(PaintHeroSprite(f), f * 80, 0);
  return sheet;
}

}  // namespace kelpora::assetgen
