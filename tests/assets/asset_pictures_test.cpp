// What the pictures look like to the game: strips that tile, exact black only
// where the scene must show through, a hero drawn hard-edged, readable bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "asset_support.h"

namespace kelpora::assettest {
namespace {

struct Strip {
  const char* name;
  double minOpaque, maxOpaque;  // share of pixels that are not see-through
};

// The twelve parallax strips: grass is solid ground, the rest lets the sky through.
const Strip kStrips[] = {
    {"DATAS/herbe0.png", 1, 1},        {"DATAS/herbe1.png", 1, 1},
    {"DATAS/herbe2.png", 1, 1},        {"DATAS/herbe3.png", 1, 1},
    {"DATAS/herbe4.png", 1, 1},        {"DATAS/nuages0.png", 0.1, 0.8},
    {"DATAS/nuages1.png", 0.1, 0.8},   {"DATAS/nuages2.png", 0.1, 0.8},
    {"DATAS/nuages3.png", 0.1, 0.8},   {"DATAS/nuages4.png", 0.1, 0.8},
    {"DATAS/barriere.png", 0.15, 0.6}, {"DATAS/montagnes.png", 0.35, 0.95},
};

Image Load(const std::string& name) {
  const Expected& e = Find(name);
  return DecodeWithImageMagick(AssetPath(name), e.width, e.height);
}

int ColumnDifference(const Image& img, int a, int b) {
  int sum = 0;
  for (int y = 0; y < img.height; ++y)
    for (int k = 0; k < 3; ++k) sum += std::abs(int(img.At(a, y)[k]) - int(img.At(b, y)[k]));
  return sum;
}

// Sizes of the 4-connected groups of exact-black pixels that touch no edge of
// the picture: holes inside what is drawn.
std::vector<int> EnclosedBlackAreas(const Image& img) {
  std::vector<int> label(static_cast<size_t>(img.width) * img.height, -1), areas;
  std::vector<std::pair<int, int>> stack;
  for (int y0 = 0; y0 < img.height; ++y0)
    for (int x0 = 0; x0 < img.width; ++x0) {
      if (!img.Black(x0, y0) || label[static_cast<size_t>(y0) * img.width + x0] >= 0) continue;
      int area = 0;
      bool edge = false;
      stack.push_back({x0, y0});
      label[static_cast<size_t>(y0) * img.width + x0] = 0;
      while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        ++area;
        edge |= x == 0 || y == 0 || x == img.width - 1 || y == img.height - 1;
        const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
        for (int d = 0; d < 4; ++d) {
          int nx = x + dx[d], ny = y + dy[d];
          if (nx < 0 || ny < 0 || nx >= img.width || ny >= img.height) continue;
          int& l = label[static_cast<size_t>(ny) * img.width + nx];
          if (l < 0 && img.Black(nx, ny)) {
            l = 0;
            stack.push_back({nx, ny});
          }
        }
      }
      if (!edge) areas.push_back(area);
    }
  return areas;
}

TEST(AssetPictures, StripsTileAcrossColumn639IntoColumn0) {
  for (const Strip& s : kStrips) {
    SCOPED_TRACE(s.name);
    Image img = Load(s.name);
    std::vector<int> diffs;
    for (int x = 0; x + 1 < img.width; ++x) diffs.push_back(ColumnDifference(img, x, x + 1));
    std::sort(diffs.begin(), diffs.end());
    int seam = ColumnDifference(img, img.width - 1, 0);
    // The seam must look like any ordinary pair of neighbouring columns.
    EXPECT_LE(seam, diffs[diffs.size() * 95 / 100])
        << "seam " << seam << ", median " << diffs[diffs.size() / 2];
    // And the see-through outline continues: rows where one side is black and the other not.
    int maskBreaks = 0;
    for (int y = 0; y < img.height; ++y)
      maskBreaks += img.Black(img.width - 1, y) != img.Black(0, y);
    EXPECT_LE(maskBreaks, std::max(2, img.height / 10));
  }
}

TEST(AssetPictures, ExactBlackOnlyWhereTheStripIsSeeThrough) {
  for (const Strip& s : kStrips) {
    SCOPED_TRACE(s.name);
    Image img = Load(s.name);
    size_t opaque = 0;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) opaque += !img.Black(x, y);
    double share = double(opaque) / (img.width * img.height);
    EXPECT_GE(share, s.minOpaque);
    EXPECT_LE(share, s.maxOpaque);
    // A black speck inside a cloud, a post or the grass would be a hole in it.
    for (int area : EnclosedBlackAreas(img))
      EXPECT_GE(area, 40) << "black speck of " << area << " px";
  }
}

TEST(AssetPictures, MountainsMeetTheGrassAndTheMoonIsARoundDisc) {
  Image mountains = Load("DATAS/montagnes.png");
  for (int x = 0; x < mountains.width; ++x) {
    EXPECT_FALSE(mountains.Black(x, mountains.height - 1)) << "gap above the grass at x " << x;
    EXPECT_TRUE(mountains.Black(x, 0)) << "peak cut by the strip's top at x " << x;
  }
  Image moon = Load("DATAS/lune.png");
  EXPECT_TRUE(moon.Black(0, 0) && moon.Black(105, 0) && moon.Black(0, 105) && moon.Black(105, 105));
  int disc = 0;
  for (int y = 0; y < 106; ++y)
    for (int x = 0; x < 106; ++x) {
      double d = std::hypot(x + 0.5 - 53, y + 0.5 - 53);
      if (d < 40) {
        EXPECT_FALSE(moon.Black(x, y)) << x << "," << y;
      }
      disc += !moon.Black(x, y);
    }
  EXPECT_GT(disc, 5000);
  EXPECT_EQ(EnclosedBlackAreas(moon).size(), 0u);
}

TEST(AssetPictures, BackgroundSkyHasNoSeeThroughPixels) {
  Image sky = Load("DATAS/fond.jpg");
  int black = 0;
  for (int y = 0; y < sky.height; ++y)
    for (int x = 0; x < sky.width; ++x) black += sky.Black(x, y);
  EXPECT_EQ(black, 0);
}

TEST(AssetPictures, HeroFramesRunHardEdgedWithFeetNearTheBottom) {
  Image sheet = Load("DATAS/la-vask.png");
  std::vector<std::vector<uint8_t>> alphas(6);
  for (int f = 0; f < 6; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    int opaque = 0, partial = 0, lowest = -1;
    for (int y = 0; y < 104; ++y)
      for (int x = 0; x < 80; ++x) {
        uint8_t a = sheet.At(f * 80 + x, y)[3];
        alphas[f].push_back(a);
        opaque += a == 255;
        partial += a > 0 && a < 255;
        if (a >= 128) lowest = y;
        if (x == 0 || x == 79) {
          EXPECT_EQ(a, 0) << "figure crosses into the next cell at y " << y;
        }
      }
    EXPECT_GT(opaque, 1200);
    // The game cuts alpha at one half: a half-transparent edge pixel would come
    // out as a jagged step, so the frames are drawn hard-edged.
    EXPECT_EQ(partial, 0) << "half-transparent pixels on the outline";
    EXPECT_GE(lowest, 96) << "feet near y 370 when drawn at y 266";
    EXPECT_LE(lowest, 103);
    EXPECT_EQ(sheet.At(f * 80, 0)[3], 0);
  }
  // Six distinct poses, each changing from the one before.
  for (int f = 0; f < 6; ++f) {
    const auto& a = alphas[f];
    const auto& b = alphas[(f + 1) % 6];
    int changed = 0;
    for (size_t i = 0; i < a.size(); ++i) changed += std::abs(int(a[i]) - int(b[i])) > 128;
    EXPECT_GT(changed, 150) << "frames " << f << " and " << (f + 1) % 6;
  }
}

TEST(AssetPictures, TitleLeavesTheCreditsBandDarkAndIntroPicturesAreNotBlank) {
  Image title = Load("intro/introtitre.jpg");
  for (int y = 446; y <= 462; ++y)
    for (int x = 0; x < 640; ++x) {
      const uint8_t* p = title.At(x, y);
      ASSERT_LT(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2], 48) << x << "," << y;
    }
  for (const char* name : {"intro/logo-tamo.jpg", "intro/introtitre.jpg", "intro/globeintro.png"}) {
    Image img = Load(name);
    double sum = 0, sumSq = 0;
    size_t n = static_cast<size_t>(img.width) * img.height;
    for (size_t i = 0; i < n; ++i) {
      double l =
          0.299 * img.rgba[i * 4] + 0.587 * img.rgba[i * 4 + 1] + 0.114 * img.rgba[i * 4 + 2];
      sum += l;
      sumSq += l * l;
    }
    double mean = sum / n, spread = std::sqrt(sumSq / n - mean * mean);
    EXPECT_GT(spread, 12) << name << " has too little contrast to show anything";
  }
}

TEST(AssetPictures, GlobeLeavesTheTextRowsClear) {
  Image globe = Load("intro/globeintro.png");
  for (int y : {0, 1, 2, 3, 4, 5, 6, 7, 392, 393, 394, 395, 396, 397, 398, 399})
    for (int x = 0; x < 640; ++x) ASSERT_TRUE(globe.Black(x, y)) << x << "," << y;
  EXPECT_FALSE(globe.Black(320, 200));
}

}  // namespace
}  // namespace kelpora::assettest
