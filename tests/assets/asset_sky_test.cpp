// The level's night sky as the player sees it over time: the moon (drawn at
// (534, 60)) is composited under the cloud strips at every pair of scroll
// offsets the layers go through, and must show through gaps most of the time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "asset_support.h"

namespace kelpora::assettest {
namespace {

struct Layer {
  const char* name;
  int y, speed;
};

// Every cloud strip, with its row and speed in the level.
const Layer kClouds[] = {
    {"DATAS/nuages0.png", 60, -6},  {"DATAS/nuages1.png", 102, -5}, {"DATAS/nuages2.png", 182, -4},
    {"DATAS/nuages3.png", 220, -3}, {"DATAS/nuages4.png", 238, -2},
};

// The offsets a layer runs through: x += speed, back to 0 once below -639.
std::vector<int> Offsets(int speed) {
  std::vector<int> out;
  int x = 0;
  do {
    out.push_back(x);
    x += speed;
    if (x < -639) x = 0;
    if (x > 639) x = 0;
  } while (x != 0);
  return out;
}

TEST(AssetSky, MoonShowsThroughTheCloudsMostOfTheTime) {
  const int moonX = 534, moonY = 60;
  const Expected& m = Find("DATAS/lune.png");
  Image moon = DecodeWithImageMagick(AssetPath(m.name), m.width, m.height);
  // The disc: drawn (not see-through) pixels within the moon's radius.
  std::vector<std::pair<int, int>> disc;
  for (int y = 0; y < moon.height; ++y)
    for (int x = 0; x < moon.width; ++x)
      if (!moon.Black(x, y) && std::hypot(x + 0.5 - 53, y + 0.5 - 53) < 44)
        disc.push_back({moonX + x, moonY + y});
  ASSERT_GT(disc.size(), 5000u);

  // Only the strips whose rows cross the disc matter; each one is a cover mask.
  struct Cover {
    Image img;
    int y;
    std::vector<int> offsets;
  };
  std::vector<Cover> covers;
  for (const Layer& l : kClouds) {
    const Expected& e = Find(l.name);
    if (l.y >= moonY + moon.height || l.y + e.height <= moonY) continue;
    covers.push_back(
        {DecodeWithImageMagick(AssetPath(e.name), e.width, e.height), l.y, Offsets(l.speed)});
  }
  ASSERT_EQ(covers.size(), 2u);

  // One full cycle: every update until all strips are back at 0 together.
  size_t cycle = 1;
  for (const Cover& c : covers) cycle = std::lcm(cycle, c.offsets.size());
  size_t mostlyVisible = 0;
  double sumVisible = 0, worst = 1;
  for (size_t t = 0; t < cycle; ++t) {
    size_t visible = 0;
    for (auto [sx, sy] : disc) {
      bool covered = false;
      for (const Cover& c : covers) {
        if (sy < c.y || sy >= c.y + c.img.height) continue;
        // The strip is drawn at x, x + 640 and x - 640: column (sx - x) mod 640.
        int x = c.offsets[t % c.offsets.size()];
        int col = ((sx - x) % 640 + 640) % 640;
        covered |= !c.img.Black(col, sy - c.y);
      }
      visible += !covered;
    }
    double share = double(visible) / disc.size();
    sumVisible += share;
    worst = std::min(worst, share);
    mostlyVisible += share > 0.5;
  }
  double timeMostlyVisible = double(mostlyVisible) / cycle;
  std::printf(
      "moon over %zu updates: on average %.1f%% of the disc visible, more than half of "
      "it visible %.1f%% of the time, least %.1f%%\n",
      cycle, 100 * sumVisible / cycle, 100 * timeMostlyVisible, 100 * worst);
  EXPECT_GE(timeMostlyVisible, 0.5) << "the moon is hidden behind the clouds most of the time";
}

}  // namespace
}  // namespace kelpora::assettest
