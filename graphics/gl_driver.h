// The OpenGL 2D driver: Vex2D drawing as fixed-function OpenGL 1.x on the
// contexts of the X11/GLX driver, with a small cache of GL state.
#pragma once

#include <cstdint>

#include "pixmap/pixmap.h"
#include "vex2d/draw_state.h"

namespace kelpora {

// Frame flags.
constexpr int32_t FRAME_FILTERED = 2;   // smooth magnification
constexpr int32_t FRAME_MIPMAPPED = 4;  // mip-mapped minification

// A picture frame uploaded as a texture in the shared context. Its texture is
// deleted with it while that shared context exists, also after graphics was
// closed and opened again; once the shared context is gone, so is the texture.
class TGLImageFrame : public TImageFrame {
 public:
  ~TGLImageFrame() override;

  void Draw(float x0, float y0, float x1, float y1, float tx, float ty) override;
  static Ref<TGLImageFrame> FromPixmap(const Ref<TPixmap>& pixmap, int32_t flags);

  float sMin = 0, tMin = 0;
  float sMax = 0, tMax = 0;
  uint32_t texture = 0;
  int32_t generation = 0;
  uint32_t sharedContext = 0;  // serial of the shared context holding the texture
};

// The installed Vex2D driver. Raises "Unable to calculate tex size" when no
// texture size down to 1 × 1 is accepted.
class TGLVex2DDriver : public TVex2DDriver {
 public:
  Ref<TGraphicsContext> OpenOnWindow(uint64_t window, int32_t flags) override;
  Ref<TGraphicsContext> OpenGraphics(int32_t width, int32_t height, int32_t depth, int32_t hertz,
                                     int32_t flags) override;
  void SetPointerShown(int32_t shown) override;
  void SetSwapInterval(int32_t interval) override;
  Ref<TDisplayModeArray> ListDisplayModes() override;
  void BindContext(const Ref<TGraphicsContext>& context, int32_t width, int32_t height) override;
  void UnbindContext() override;
  Ref<TImageFrame> MakeFrame(const Ref<TPixmap>& pixmap, int32_t flags) override;
  void ApplyBlend(int32_t mode) override;
  void ApplyAlpha(float alpha) override;
  void ApplyColor(int32_t red, int32_t green, int32_t blue) override;
  void ApplyClearColor(int32_t red, int32_t green, int32_t blue) override;
  void ApplyClip(int32_t x, int32_t y, int32_t width, int32_t height) override;
  void ApplyTransform(float ix, float iy, float jx, float jy) override;
  void ApplyLineWidth(float width) override;
  void ClearTarget() override;
  void DrawPoint(float x, float y) override;
  void DrawSegment(float x0, float y0, float x1, float y1, float tx, float ty) override;
  void DrawBox(float x0, float y0, float x1, float y1, float tx, float ty) override;
  void DrawEllipse(float x0, float y0, float x1, float y1, float tx, float ty) override;
  void DrawPolygon(const Ref<TFloatArray>& points, float hx, float hy, float tx, float ty) override;
  void BlitPixmap(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) override;
  Ref<TPixmap> ReadPixels(int32_t x, int32_t y, int32_t width, int32_t height) override;
};

Ref<TGLVex2DDriver> GLVex2DDriver();
// Installs the OpenGL 2D driver as the current graphics driver (default flags 2).
void InitGLDriverModule();

// The alpha byte for an alpha value: clamped to 0..1 (not a number counts as
// 0), then × 255 truncated.
uint8_t AlphaByte(float alpha);
// Segments of an ellipse with radii rx, ry: |rx| + |ry|, at least 12, rounded
// down to a multiple of 4.
int32_t EllipseSegments(float rx, float ry);
// The smallest power of two not below `size` (1 for sizes up to 1); sizes
// beyond 2^30 give 2^30.
int32_t TexturePowerOfTwo(int32_t size);

// Counters of GL state changes the driver's cache let through, for tests.
struct TGLDriverStats {
  int32_t blendChanges = 0;
  int32_t textureBinds = 0;
  int32_t textureEnables = 0;
  int32_t batches = 0;  // glDrawArrays calls of held textured quads
};
extern TGLDriverStats glDriverStats;

}  // namespace kelpora
