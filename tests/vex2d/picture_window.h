// A real window under the X server in DISPLAY with the OpenGL driver, for
// tests that draw pictures and text and read the pixels back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "graphics/gl_driver.h"
#include "pixmap/loaders/pixmap_loader.h"
#include "pixmap/pixmap.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"
#include "vex2d/image_font.h"
#include "vex2d/picture.h"

namespace kelpora::testing {

class PictureWindowTest : public ::testing::Test {
 public:
  static constexpr int kWidth = 200;
  static constexpr int kHeight = 150;

  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X server (DISPLAY)";
    InitGLDriverModule();
    InitPixmapLoaders();
    InitImageFontModule();
    OpenCanvas(kWidth, kHeight, 0, CANVAS_NO_SYNC);
  }
  void TearDown() override { CloseCanvas(); }

  static Ref<TPixmap> Screen() { return ReadPixmap(0, 0, kWidth, kHeight); }
  static uint32_t Rgb(const Ref<TPixmap>& p, int x, int y) { return p->PixelAt(x, y) & 0xFFFFFF; }
  static int Count(const Ref<TPixmap>& p, uint32_t rgb) {
    int n = 0;
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) n += Rgb(p, x, y) == rgb;
    return n;
  }
  // A pixmap of one colour (0xAARRGGBB) in the given format.
  static Ref<TPixmap> Filled(int w, int h, uint32_t colour, int format = PIXFMT_RGBA32) {
    Ref<TPixmap> p = MakePixmap(w, h, format, 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) p->SetPixelAt(x, y, colour);
    return p;
  }
};

}  // namespace kelpora::testing
