// The OpenGL 2D driver drawing into a real window; every result is read back
// from the window's pixels.
#include "graphics/gl_driver.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "pixmap/pixmap.h"
#include "runtime/errors.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/picture.h"

namespace kelpora {
namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 150;

// RGB of a read-back pixel as 0xRRGGBB.
uint32_t Rgb(const Ref<TPixmap>& pixmap, int x, int y) { return pixmap->PixelAt(x, y) & 0xFFFFFF; }

::testing::AssertionResult Near(uint32_t actual, uint32_t expected, int tolerance = 1) {
  for (int shift = 0; shift < 24; shift += 8) {
    int a = (actual >> shift) & 0xFF, e = (expected >> shift) & 0xFF;
    if (std::abs(a - e) > tolerance) {
      return ::testing::AssertionFailure()
             << std::hex << "got 0x" << actual << ", expected 0x" << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

class GLDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X server (DISPLAY)";
    InitGLDriverModule();
    OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  }
  void TearDown() override { CloseCanvas(); }
  Ref<TPixmap> Screen() { return ReadPixmap(0, 0, kWidth, kHeight); }
  int CountSet(const Ref<TPixmap>& screen) {
    int count = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) count += Rgb(screen, x, y) != 0;
    return count;
  }
};

TEST_F(GLDriverTest, ClearFillsTheWindowWithTheClearColour) {
  SetClearColor(10, 20, 30);
  ClearScreen();
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(screen->width, kWidth);
  EXPECT_EQ(screen->format, PIXFMT_RGBA32);
  for (int y = 0; y < kHeight; y += 7)
    for (int x = 0; x < kWidth; x += 7) ASSERT_EQ(Rgb(screen, x, y), 0x0A141Eu) << x << "," << y;
  EXPECT_EQ(CanvasWidth(), kWidth);
  EXPECT_EQ(CanvasHeight(), kHeight);
}

TEST_F(GLDriverTest, PointsIgnoreHandleAndTransformButNotOrigin) {
  SetDrawOrigin(5, 6);
  SetDrawHandle(50, 50);
  SetDrawRotation(30);
  PlotPoint(10, 20);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Rgb(screen, 15, 26), 0xFFFFFFu);
  EXPECT_EQ(CountSet(screen), 1);
}

TEST_F(GLDriverTest, LinesWithAndWithoutTheLastPixel) {
  DrawLineSegment(10, 10, 20, 10, false);
  Ref<TPixmap> screen = Screen();
  for (int x = 10; x < 20; ++x) EXPECT_EQ(Rgb(screen, x, 10), 0xFFFFFFu) << x;
  EXPECT_EQ(Rgb(screen, 20, 10), 0u);
  DrawLineSegment(10, 30, 20, 30, true);
  screen = Screen();
  for (int x = 10; x <= 20; ++x) EXPECT_EQ(Rgb(screen, x, 30), 0xFFFFFFu) << x;
  EXPECT_EQ(CountSet(screen), 10 + 11);
}

TEST_F(GLDriverTest, RotatedScaledBoxesWithHandleAndOrigin) {
  // Rotated by 90 degrees a 10 × 20 box at (100, 100) covers x 80..99, y 100..109.
  SetDrawRotation(90);
  FillRect(100, 100, 10, 20);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(CountSet(screen), 200);
  EXPECT_EQ(Rgb(screen, 80, 100), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 99, 109), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 100, 105), 0u);
  ClearScreen();
  // Scale 2 × 3 with the handle at the box's centre and the origin moved.
  SetDrawTransform(0, 2, 3);
  SetDrawHandle(2.5f, 2.5f);
  SetDrawOrigin(10, 20);
  FillRect(20, 20, 5, 5);  // centre lands on (30, 40): x 25..34, y 32.5..47.5
  screen = Screen();
  EXPECT_EQ(CountSet(screen), 10 * 15);
  EXPECT_EQ(Rgb(screen, 25, 33), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 34, 47), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 35, 40), 0u);
}

TEST_F(GLDriverTest, OvalsAndPolygons) {
  FillOval(50, 50, 40, 20);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(Rgb(screen, 70, 60), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 51, 51), 0u) << "corner of the bounding box stays clear";
  EXPECT_EQ(Rgb(screen, 88, 60), 0xFFFFFFu);
  EXPECT_NEAR(CountSet(screen), std::numbers::pi * 20 * 10, 30);
  ClearScreen();
  auto xy = MakeArray<float>(6);
  float triangle[] = {10, 10, 50, 10, 10, 50};
  for (int i = 0; i < 6; ++i) (*xy)[i] = triangle[i];
  FillPolygon(xy);
  screen = Screen();
  EXPECT_EQ(Rgb(screen, 15, 15), 0xFFFFFFu);
  EXPECT_EQ(Rgb(screen, 45, 45), 0u);
  EXPECT_NEAR(CountSet(screen), 800, 40);
  ClearScreen();
  FillPolygon(MakeArray<float>(4));
  auto odd = MakeArray<float>(7);
  for (int i = 0; i < 6; ++i) (*odd)[i] = triangle[i];
  FillPolygon(odd);
  FillPolygon(nullptr);
  EXPECT_EQ(CountSet(Screen()), 0);
}

struct BlendCase {
  int32_t mode;
  float alpha;
  uint32_t expected;
};

// Destination (200, 100, 50), source (100, 50, 200).
TEST_F(GLDriverTest, EveryBlendModeAgainstKnownColours) {
  const BlendCase cases[] = {
      {BLEND_SOLID, 0.3f, 0x6432C8},
      {BLEND_MASKED, 0.6f, 0x6432C8},
      {BLEND_MASKED, 0.4f, 0xC86432},
      {BLEND_ALPHA, 0.5f, 0x964B7D},
      {BLEND_ADDITIVE, 0.5f, 0xFA7D96},
      {BLEND_MULTIPLY, 1.0f, 0x4E1427},
      {99, 0.2f, 0x6432C8},
  };
  for (const BlendCase& c : cases) {
    SetClearColor(200, 100, 50);
    ClearScreen();
    SetBlendMode(c.mode);
    SetDrawColor(100, 50, 200);
    SetDrawAlpha(c.alpha);
    FillRect(10, 10, 20, 20);
    EXPECT_TRUE(Near(Rgb(Screen(), 20, 20), c.expected)) << "mode " << c.mode;
  }
}

TEST_F(GLDriverTest, AlphaIsClampedAndNotANumberCountsAsZero) {
  EXPECT_EQ(AlphaByte(1.5f), 255);
  EXPECT_EQ(AlphaByte(-0.2f), 0);
  EXPECT_EQ(AlphaByte(0.5f), 127);
  EXPECT_EQ(AlphaByte(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(AlphaByte(std::numeric_limits<float>::infinity()), 255);
  SetBlendMode(BLEND_ALPHA);
  const std::pair<float, uint32_t> cases[] = {
      {1.5f, 0xFFFFFF}, {-0.2f, 0}, {0.5f, 0x7F7F7F}, {std::nanf(""), 0}};
  for (auto [alpha, expected] : cases) {
    ClearScreen();
    SetDrawAlpha(alpha);
    FillRect(0, 0, 4, 4);
    EXPECT_TRUE(Near(Rgb(Screen(), 1, 1), expected)) << alpha;
  }
}

TEST_F(GLDriverTest, ClippingAndTheFullWindowRule) {
  SetClipRect(10, 20, 100, 50);
  EXPECT_TRUE(glIsEnabled(GL_SCISSOR_TEST));
  SetClearColor(255, 0, 0);
  ClearScreen();
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(CountSet(screen), 100 * 50);
  EXPECT_EQ(Rgb(screen, 10, 20), 0xFF0000u);
  EXPECT_EQ(Rgb(screen, 109, 69), 0xFF0000u);
  EXPECT_EQ(Rgb(screen, 9, 20), 0u);
  EXPECT_EQ(Rgb(screen, 110, 69), 0u);
  EXPECT_EQ(Rgb(screen, 50, 70), 0u);
  SetClipRect(0, 0, kWidth, kHeight);
  EXPECT_FALSE(glIsEnabled(GL_SCISSOR_TEST));
  ClearScreen();
  EXPECT_EQ(CountSet(Screen()), kWidth * kHeight);
}

TEST_F(GLDriverTest, BlendChangesAreCached) {
  CurrentCanvas()->MakeCurrent();  // the reset issues BLEND_MASKED once
  int before = glDriverStats.blendChanges;
  SetBlendMode(BLEND_MASKED);
  EXPECT_EQ(glDriverStats.blendChanges, before);
  SetBlendMode(BLEND_ALPHA);
  SetBlendMode(BLEND_ALPHA);
  EXPECT_EQ(glDriverStats.blendChanges, before + 1);
  // After binding, every mode (0 included) is issued once.
  GLVex2DDriver()->BindContext(CurrentCanvas()->context, kWidth, kHeight);
  GLVex2DDriver()->ApplyBlend(0);
  GLVex2DDriver()->ApplyBlend(0);
  EXPECT_EQ(glDriverStats.blendChanges, before + 2);
}

// A 100 × 60 picture with a distinct colour per pixel.
Ref<TPixmap> Pattern(int width, int height, int format = PIXFMT_RGBA32) {
  Ref<TPixmap> pixmap = MakePixmap(width, height, format, 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      pixmap->SetPixelAt(x, y, 0xFF000000u | (x * 2) << 16 | (y * 4) << 8 | ((x + y) & 0xFF));
  return pixmap;
}

// Sprites of one picture go to GL together, yet everything drawn keeps its
// order: a box between two sprites covers the first and lies under the second,
// and a colour change applies only to the sprites drawn after it.
TEST_F(GLDriverTest, SpritesOfOnePictureAreBatchedInDrawingOrder) {
  Ref<TPicture> sprite = LoadPicture(Ref<TObject>(Pattern(8, 8)), 0);
  SetBlendMode(BLEND_SOLID);
  ClearScreen();
  const int before = glDriverStats.batches;
  for (int i = 0; i < 50; ++i) DrawPicture(sprite, static_cast<float>(100 + i), 100, 0);
  SetDrawColor(255, 0, 0);
  FillRect(10, 10, 12, 8);  // the next sprite covers its left part
  SetDrawColor(255, 255, 255);
  DrawPicture(sprite, 10, 10, 0);
  SetDrawColor(0, 0, 0);
  DrawPicture(sprite, 30, 10, 0);  // drawn black: the colour multiplies the texture
  SetDrawColor(255, 255, 255);
  Ref<TPixmap> screen = Screen();
  EXPECT_EQ(glDriverStats.batches, before + 3) << "50 sprites, then one, then one";
  EXPECT_EQ(Rgb(screen, 100 + 49 + 7, 107), Pattern(8, 8)->PixelAt(7, 7) & 0xFFFFFF);
  EXPECT_EQ(Rgb(screen, 10 + 3, 10 + 3), Pattern(8, 8)->PixelAt(3, 3) & 0xFFFFFF);
  EXPECT_EQ(Rgb(screen, 20, 12), 0xFF0000u) << "the box beside the sprite";
  EXPECT_EQ(Rgb(screen, 33, 13), 0u);
}

TEST_F(GLDriverTest, FrameTextureRepeatsItsLastColumnAndRow) {
  Ref<TPixmap> picture = Pattern(100, 60, PIXFMT_BGR24);
  Ref<TGLImageFrame> frame =
      RefCast<TGLImageFrame>(GLVex2DDriver()->MakeFrame(picture, FRAME_FILTERED));
  ASSERT_TRUE(frame);
  EXPECT_FLOAT_EQ(frame->sMax, 0.78125f);
  EXPECT_FLOAT_EQ(frame->tMax, 0.9375f);
  EXPECT_EQ(frame->generation, graphicsGeneration);
  std::vector<uint32_t> texels(128 * 64);
  glBindTexture(GL_TEXTURE_2D, frame->texture);
  GLint width = 0, minFilter = 0, magFilter = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &magFilter);
  EXPECT_EQ(width, 128);
  EXPECT_EQ(minFilter, GL_NEAREST) << "filtered, not mip-mapped: minifies with nearest";
  EXPECT_EQ(magFilter, GL_LINEAR);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
  auto texel = [&](int x, int y) { return texels[y * 128 + x]; };
  EXPECT_EQ(texel(100, 10), texel(99, 10));
  EXPECT_NE(texel(99, 10), texel(98, 10));
  EXPECT_EQ(texel(30, 60), texel(30, 59));
  EXPECT_EQ(texel(100, 60), texel(99, 59));
  EXPECT_EQ(texel(101, 10), 0u) << "the rest of the texture stays as created";
  GLVex2DDriver()->BindContext(CurrentCanvas()->context, kWidth, kHeight);
  CurrentCanvas()->MakeCurrent();
  // Drawn unscaled with white colour, the frame shows the picture's own pixels.
  SetBlendMode(BLEND_SOLID);
  frame->Draw(0, 0, 100, 60, 20, 30);
  Ref<TPixmap> screen = Screen();
  for (int y = 0; y < 60; y += 11)
    for (int x = 0; x < 100; x += 9)
      ASSERT_EQ(Rgb(screen, 20 + x, 30 + y), picture->PixelAt(x, y) & 0xFFFFFF) << x << "," << y;
  EXPECT_EQ(Rgb(screen, 120, 50), 0u);
}

TEST_F(GLDriverTest, PowerOfTwoPicturesFillTheirTexture) {
  Ref<TGLImageFrame> frame = RefCast<TGLImageFrame>(
      GLVex2DDriver()->MakeFrame(Pattern(64, 64), FRAME_FILTERED | FRAME_MIPMAPPED));
  EXPECT_EQ(frame->sMax, 1.0f);
  EXPECT_EQ(frame->tMax, 1.0f);
  glBindTexture(GL_TEXTURE_2D, frame->texture);
  GLint smallest = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 6, GL_TEXTURE_WIDTH, &smallest);
  EXPECT_EQ(smallest, 1) << "mip-map levels down to 1 × 1";
  // Larger than any texture: shrunk, not cut.
  GLint maxSize = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  Ref<TGLImageFrame> wide =
      RefCast<TGLImageFrame>(GLVex2DDriver()->MakeFrame(Pattern(maxSize + 100, 1), 0));
  EXPECT_EQ(wide->sMax, 1.0f);
  EXPECT_EQ(TexturePowerOfTwo(0), 1);
  EXPECT_EQ(TexturePowerOfTwo(100), 128);
  EXPECT_EQ(TexturePowerOfTwo((1 << 30) + 1), 1 << 30) << "bounded, no endless loop";
  EXPECT_EQ(TexturePowerOfTwo(std::numeric_limits<int32_t>::max()), 1 << 30);
  // An empty picture still makes a (transparent) frame.
  Ref<TGLImageFrame> empty = RefCast<TGLImageFrame>(GLVex2DDriver()->MakeFrame(Pattern(0, 0), 0));
  EXPECT_EQ(empty->sMax, 0.0f);
}

TEST_F(GLDriverTest, BlitPlacesAPixmapUnscaled) {
  Ref<TPixmap> pixmap = Pattern(3, 2, PIXFMT_RGB24);
  SetDrawColor(255, 0, 0);
  SetDrawAlpha(0.1f);
  SetDrawRotation(45);
  SetBlendMode(BLEND_ALPHA);
  PastePixmap(pixmap, 7, 9);
  Ref<TPixmap> screen = Screen();
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(Rgb(screen, 7 + x, 9 + y), pixmap->PixelAt(x, y) & 0xFFFFFF);
  EXPECT_EQ(CountSet(screen), 5) << "pixel (0, 0) of the pattern is black";
  EXPECT_EQ(GetBlendMode(), BLEND_ALPHA);
  EXPECT_TRUE(glIsEnabled(GL_BLEND)) << "the blend mode comes back";
  Ref<TPixmap> part = ReadPixmap(7, 9, 3, 2);
  EXPECT_EQ(Rgb(part, 2, 1), pixmap->PixelAt(2, 1) & 0xFFFFFF);
}

TEST_F(GLDriverTest, FramesAreMadeAgainAfterReopening) {
  Ref<TImageFrame> old = GLVex2DDriver()->MakeFrame(Pattern(8, 8), 0);
  int32_t oldGeneration = graphicsGeneration;
  CloseCanvas();
  OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  EXPECT_NE(graphicsGeneration, oldGeneration);
  Ref<TGLImageFrame> fresh = RefCast<TGLImageFrame>(GLVex2DDriver()->MakeFrame(Pattern(8, 8), 0));
  uint32_t texture = fresh->texture;
  old = nullptr;  // from a past generation: must not delete anything now
  EXPECT_TRUE(glIsTexture(texture));
  SetBlendMode(BLEND_SOLID);
  fresh->Draw(0, 0, 8, 8, 40, 40);
  EXPECT_EQ(Rgb(Screen(), 40 + 7, 40 + 7), Pattern(8, 8)->PixelAt(7, 7) & 0xFFFFFF);
  fresh = nullptr;
  EXPECT_FALSE(glIsTexture(texture)) << "a frame of this generation deletes its texture";
}

// Texture names alive in the shared context, probed among the first names GL hands out.
int LiveTextures() {
  int live = 0;
  for (GLuint name = 1; name < 2000; ++name) live += glIsTexture(name) ? 1 : 0;
  return live;
}

TEST_F(GLDriverTest, ReopeningGraphicsLeaksNoTextures) {
  Ref<TPicture> picture = TPicture::Create(8, 8, 1, 0, 0, 0, 0);
  DrawPicture(picture, 0, 0, 0);
  const int before = LiveTextures();
  ASSERT_GE(before, 1);
  for (int cycle = 0; cycle < 20; ++cycle) {
    Ref<TImageFrame> stray = GLVex2DDriver()->MakeFrame(Pattern(4, 4), 0);
    CloseCanvas();
    // Half the frames go while graphics is closed, half after it is open again.
    if (cycle % 2) stray = nullptr;
    OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
    stray = nullptr;
    DrawPicture(picture, 0, 0, 0);  // uploads again and lets the old frame go
  }
  EXPECT_EQ(LiveTextures(), before);
  picture = nullptr;
  EXPECT_EQ(LiveTextures(), before - 1);
}

TEST(GLDriverLogic, EllipseSegmentCounts) {
  EXPECT_EQ(EllipseSegments(5, 5), 12);
  EXPECT_EQ(EllipseSegments(50, 30), 80);
  EXPECT_EQ(EllipseSegments(15, 14), 28);
  EXPECT_EQ(EllipseSegments(-15, -14), 28);
  EXPECT_EQ(EllipseSegments(std::nanf(""), 1), 12);
  EXPECT_EQ(EllipseSegments(1e30f, 1), 1000000);
}

}  // namespace
}  // namespace kelpora
