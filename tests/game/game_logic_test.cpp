// The game's own arithmetic: layers, the hero's animation, the credits scroll,
// and the embedded files the level is made of.
#include <gtest/gtest.h>

#include <vector>

#include "game/game_files.h"
#include "game/intro_scenes.h"
#include "game/level_scene.h"
#include "game/parallax_layer.h"
#include "pixmap/loaders/bmp_loader.h"
#include "pixmap/loaders/jpeg_loader.h"
#include "pixmap/loaders/pixmap_loader.h"
#include "pixmap/loaders/png_loader.h"
#include "pixmap/loaders/tga_loader.h"
#include "stream/incbin.h"
#include "stream/stream.h"

using namespace kelpora;
using namespace kelpora::game;

namespace {

std::vector<int32_t> Offsets(int32_t speed, int updates) {
  TParallaxLayer layer(nullptr, 0, 0, speed);
  std::vector<int32_t> seen;
  for (int i = 0; i < updates; ++i) {
    layer.Update();
    seen.push_back(layer.x);
  }
  return seen;
}

TEST(ParallaxLayer, OffsetsResetToZeroInsteadOfWrapping) {
  auto fence = Offsets(-7, 92);
  EXPECT_EQ(fence[0], -7);
  EXPECT_EQ(fence[90], -637);
  EXPECT_EQ(fence[91], 0);  // -644 resets to 0
  auto grass = Offsets(-3, 214);
  EXPECT_EQ(grass[212], -639);  // -639 itself is kept
  EXPECT_EQ(grass[213], 0);
  auto forward = Offsets(5, 128);
  EXPECT_EQ(forward[126], 635);
  EXPECT_EQ(forward[127], 0);
  for (int speed : {-7, -1, 3, 11})
    for (int32_t x : Offsets(speed, 2000)) ASSERT_LE(std::abs(x), 639);
}

TEST(HeroAnimation, EachFrameLastsSixIterations) {
  int32_t tick = 0, frame = 0;
  std::vector<int32_t> frames;
  for (int i = 0; i < 74; ++i) {
    frames.push_back(frame);
    AdvanceHeroAnimation(tick, frame);
  }
  for (int i = 0; i < 74; ++i) EXPECT_EQ(frames[i], (i / 6) % 6) << "iteration " << i;
}

TEST(Credits, TheLineIsExactly566PrintableUpperCaseCharacters) {
  EXPECT_EQ(creditsLine.size(), 566u);
  for (char16_t c : creditsLine) {
    ASSERT_GE(c, 32);
    ASSERT_LE(c, 127);
    EXPECT_FALSE(c >= u'a' && c <= u'z');
  }
}

TEST(Credits, ScrollRunsFrom800DownToMinus4500AndStartsAgain) {
  int32_t x = 800;
  int frames = 1;
  while ((x = NextCreditsX(x)) != 800) {
    ++frames;
    ASSERT_GE(x, -4500);
  }
  EXPECT_EQ(frames, 2651);
  EXPECT_EQ(NextCreditsX(-4498), -4500);
  EXPECT_EQ(NextCreditsX(-4500), 800);
}

TEST(GameFiles, EveryLayerStripIsEmbeddedAndDecodesAt640PixelsWide) {
  InitStreamModule();
  InitIncbinModule();
  InitBmpLoader();
  InitJpegLoader();
  InitTgaLoader();
  InitPngLoader();
  const int32_t heights[12] = {4, 6, 14, 14, 22, 42, 80, 38, 18, 12, 42, 146};
  for (size_t i = 0; i < levelLayers.size(); ++i) {
    SCOPED_TRACE(i);
    String url = RegisterGameFile(levelLayers[i].file);
    EXPECT_EQ(url, u"incbin::" + String(levelLayers[i].file));
    auto pixmap = LoadPixmap(url);
    ASSERT_TRUE(pixmap);
    EXPECT_EQ(pixmap->width, 640);
    EXPECT_EQ(pixmap->height, heights[i]);
  }
  auto hero = LoadPixmap(RegisterGameFile(u"DATAS/la-vask.png"));
  ASSERT_TRUE(hero);
  EXPECT_EQ(hero->width, 480);
  EXPECT_EQ(FindResourceSize(u"DATAS/la-vask.png"), 45772);
}

}  // namespace
