#include "tools/asset_gen/contact_sheet.h"

#include <cmath>
#include <vector>

namespace kelpora::assetgen {

namespace {

struct Layer {
  const char* name;
  int y, speed;
};

// The level's strips in drawing order, as the game lays them out.
const std::vector<Layer> kLayers = {
    {"DATAS/herbe0.png", 360, -2},   {"DATAS/herbe1.png", 364, -3},
    {"DATAS/herbe2.png", 370, -4},   {"DATAS/herbe3.png", 384, -5},
    {"DATAS/herbe4.png", 398, -6},   {"DATAS/nuages0.png", 60, -6},
    {"DATAS/nuages1.png", 102, -5},  {"DATAS/nuages2.png", 182, -4},
    {"DATAS/nuages3.png", 220, -3},  {"DATAS/nuages4.png", 238, -2},
    {"DATAS/barriere.png", 378, -7}, {"DATAS/montagnes.png", 214, -1},
};

// Draws like the game's masked blend: exact black and low alpha are not drawn.
void DrawMasked(Canvas& dst, const Canvas& src, int dx, int dy) {
  for (int y = 0; y < src.height(); ++y)
    for (int x = 0; x < src.width(); ++x) {
      int tx = dx + x, ty = dy + y;
      if (tx < 0 || ty < 0 || tx >= dst.width() || ty >= dst.height()) continue;
      float a = src.Alpha(x, y);
      Color c = src.Get(x, y);
      if (a < 0.5f || (c.r <= 0 && c.g <= 0 && c.b <= 0)) continue;
      dst.Set(tx, ty, c, 1);
    }
}

void Checker(Canvas& dst, int x0, int y0, int w, int h) {
  for (int y = y0; y < y0 + h && y < dst.height(); ++y)
    for (int x = x0; x < x0 + w && x < dst.width(); ++x)
      dst.Set(x, y, ((x / 8 + y / 8) % 2) ? Rgb(70, 70, 76) : Rgb(96, 96, 104), 1);
}

}  // namespace

Canvas MakeContactSheet(const std::map<std::string, Canvas>& pictures) {
  // The strips below fill two columns: the ground and the clouds on the left,
  // the fence and the mountains on the right.
  constexpr int kStripsHeight = 324;
  Canvas sheet(1280, 480 * 2 + 240 + kStripsHeight);
  sheet.Fill(Rgb(32, 32, 36), 1);
  sheet.Draw(pictures.at("intro/logo-tamo.jpg"), 0, 0);
  sheet.Draw(pictures.at("intro/introtitre.jpg"), 640, 0);
  // The level as the game draws it, with every strip at an arbitrary offset.
  Canvas level(640, 480);
  level.Fill(Color{}, 1);
  DrawMasked(level, pictures.at("DATAS/fond.jpg"), 0, 60);
  DrawMasked(level, pictures.at("DATAS/lune.png"), 534, 60);
  for (const Layer& l : kLayers) {
    const Canvas& strip = pictures.at(l.name);
    int x = (l.speed * 37) % 640;
    for (int k : {0, 640, -640}) DrawMasked(level, strip, x + k, l.y);
  }
  sheet.Draw(level, 0, 480);
  const Canvas& hero = pictures.at("DATAS/la-vask.png");
  for (int y = 0; y < 104; ++y)
    for (int x = 0; x < 80; ++x)
      sheet.Blend(270 + x, 480 + 266 + y, hero.Get(160 + x, y), hero.Alpha(160 + x, y));
  Checker(sheet, 640, 480, 640, 480);
  DrawMasked(sheet, pictures.at("intro/globeintro.png"), 640, 520);
  // The hero's six frames at twice their size, and the moon.
  int y0 = 960;
  Checker(sheet, 0, y0, 1280, 240);
  for (int y = 0; y < 208; ++y)
    for (int x = 0; x < 960; ++x)
      sheet.Blend(16 + x, y0 + 16 + y, hero.Get(x / 2, y / 2), hero.Alpha(x / 2, y / 2));
  DrawMasked(sheet, pictures.at("DATAS/lune.png"), 1100, y0 + 60);
  // Every strip on its own, over a checkerboard that shows the see-through parts.
  int y = y0 + 240 + 8;
  Checker(sheet, 0, y, 1280, kStripsHeight - 8);
  int column = 0, rowTop = y;
  for (const Layer& l : kLayers) {
    const Canvas& strip = pictures.at(l.name);
    if (rowTop + strip.height() > sheet.height() - 4) {
      ++column;
      rowTop = y;
    }
    DrawMasked(sheet, strip, column * 640, rowTop);
    rowTop += strip.height() + 6;
  }
  return sheet;
}

}  // namespace kelpora::assetgen
