// The Vex2D drawing state and the front operations for state and primitives.
// Every change is stored here and passed on to the current Vex2D driver.
#pragma once

#include <cstdint>

#include "runtime/array.h"
#include "runtime/object.h"
#include "vex2d/graphics_mode.h"

namespace kelpora {

class TPixmap;

// Blend modes; any other value acts as BLEND_SOLID.
constexpr int32_t BLEND_MASKED = 1;    // no blending; alpha below 0.5 discarded
constexpr int32_t BLEND_SOLID = 2;     // no blending, nothing discarded
constexpr int32_t BLEND_ALPHA = 3;     // source·alpha + destination·(1 − alpha)
constexpr int32_t BLEND_ADDITIVE = 4;  // source·alpha + destination
constexpr int32_t BLEND_MULTIPLY = 5;  // source·destination

using TFloatArray = TArray<float>;

// One uploaded picture frame, made by the driver's MakeFrame. Draw stretches
// the whole frame onto the local rectangle (x0, y0)–(x1, y1), transformed by
// the current matrix and moved by (tx, ty), in the current colour, alpha and blend.
class TImageFrame : public TObject {
 public:
  virtual void Draw(float x0, float y0, float x1, float y1, float tx, float ty) = 0;
};

// The 2D rendering driver. Coordinates are window pixels, (0, 0) top left, y
// down. "Transformed" means a local point (x, y) lands at
// (x·ix + y·iy + tx, x·jx + y·jy + ty) with the matrix of ApplyTransform.
// Alpha above 1 counts as 1; below 0 or not a number as 0.
class TVex2DDriver : public TGraphicsDriver {
 public:
  // Full-window projection for a context of that size, clip off, no texture.
  virtual void BindContext(const Ref<TGraphicsContext>& context, int32_t width, int32_t height) = 0;
  virtual void UnbindContext() = 0;
  virtual Ref<TImageFrame> MakeFrame(const Ref<TPixmap>& pixmap, int32_t flags) = 0;
  virtual void ApplyBlend(int32_t mode) = 0;
  virtual void ApplyAlpha(float alpha) = 0;
  virtual void ApplyColor(int32_t red, int32_t green, int32_t blue) = 0;
  virtual void ApplyClearColor(int32_t red, int32_t green, int32_t blue) = 0;
  // The full window means no clipping.
  virtual void ApplyClip(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
  virtual void ApplyTransform(float ix, float iy, float jx, float jy) = 0;
  virtual void ApplyLineWidth(float width) = 0;
  virtual void ClearTarget() = 0;
  // One pixel at window position (x, y), not transformed.
  virtual void DrawPoint(float x, float y) = 0;
  virtual void DrawSegment(float x0, float y0, float x1, float y1, float tx, float ty) = 0;
  virtual void DrawBox(float x0, float y0, float x1, float y1, float tx, float ty) = 0;
  virtual void DrawEllipse(float x0, float y0, float x1, float y1, float tx, float ty) = 0;
  // Points (x + hx, y + hy) from pairs in `points`, transformed.
  virtual void DrawPolygon(const Ref<TFloatArray>& points, float hx, float hy, float tx,
                           float ty) = 0;
  // Copies the pixmap unscaled to window position (x, y).
  virtual void BlitPixmap(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) = 0;
  virtual Ref<TPixmap> ReadPixels(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
};

// The process-wide drawing state. All 0 before the first OpenCanvas; every
// MakeCurrent of a TVex2DGraphics resets it to the defaults noted here.
struct TDrawState {
  int32_t red = 0, green = 0, blue = 0;                         // 255, 255, 255
  float alpha = 0;                                              // 1
  int32_t blendMode = 0;                                        // BLEND_MASKED
  int32_t clearRed = 0, clearGreen = 0, clearBlue = 0;          // 0, 0, 0
  int32_t maskRed = 0, maskGreen = 0, maskBlue = 0;             // 0, 0, 0
  float lineWidth = 0;                                          // never reset
  float rotation = 0;                                           // 0 degrees
  float scaleX = 0, scaleY = 0;                                 // 1, 1
  float ix = 0, iy = 0, jx = 0, jy = 0;                         // 1, 0, 0, 1
  int32_t clipX = 0, clipY = 0, clipWidth = 0, clipHeight = 0;  // the whole canvas
  float originX = 0, originY = 0;                               // 0, 0
  float handleX = 0, handleY = 0;                               // stored negated; 0, 0
  Ref<TObject> font;                                            // the built-in font
  int32_t autoCentreHandle = 0;                                 // off
  int32_t defaultPictureFlags = 0;                              // 3
};

extern TDrawState drawState;

// The driver of the active graphics; none between Present and MakeCurrent.
Ref<TVex2DDriver> CurrentVex2DDriver();
void SetCurrentVex2DDriver(Ref<TVex2DDriver> driver);

// The font the state resets to; the font module registers it.
void SetBuiltInFont(Ref<TObject> font);
// Makes the built-in font at the first reset that needs it, so that it is
// only built once graphics are in use.
void SetBuiltInFontMaker(Ref<TObject> (*maker)());

// Resets the drawing state to its defaults for a canvas of that size,
// passing each default to the current driver.
void ResetDrawState(int32_t canvasWidth, int32_t canvasHeight);

void SetDrawColor(int32_t red, int32_t green, int32_t blue);
void GetDrawColor(int32_t& red, int32_t& green, int32_t& blue);
void SetDrawAlpha(float alpha);
float GetDrawAlpha();
void SetBlendMode(int32_t mode);
int32_t GetBlendMode();
void SetClearColor(int32_t red, int32_t green, int32_t blue);
void GetClearColor(int32_t& red, int32_t& green, int32_t& blue);
// The mask colour pictures are loaded with; no driver call.
void SetTransparentColor(int32_t red, int32_t green, int32_t blue);
void GetTransparentColor(int32_t& red, int32_t& green, int32_t& blue);
void SetLineThickness(float width);
float GetLineThickness();
void SetClipRect(int32_t x, int32_t y, int32_t width, int32_t height);
void GetClipRect(int32_t& x, int32_t& y, int32_t& width, int32_t& height);
// The origin is added after the transform.
void SetDrawOrigin(float x, float y);
void GetDrawOrigin(float& x, float& y);
// The handle is subtracted before the transform; GetDrawHandle answers the
// stored, negated values.
void SetDrawHandle(float x, float y);
void GetDrawHandle(float& x, float& y);
void SetDrawRotation(float degrees);
float GetDrawRotation();
void SetDrawScale(float scaleX, float scaleY);
void GetDrawScale(float& scaleX, float& scaleY);
void SetDrawTransform(float degrees, float scaleX, float scaleY);

void ClearScreen();
// One pixel; neither the handle nor the transform applies.
void PlotPoint(float x, float y);
// With lastPixel the end point is plotted too.
void DrawLineSegment(float x0, float y0, float x1, float y1, bool lastPixel);
void FillRect(float x, float y, float width, float height);
void FillOval(float x, float y, float width, float height);
// x, y pairs.
void FillPolygon(const Ref<TFloatArray>& xy);
// Unscaled copy; no origin, handle or transform.
void PastePixmap(const Ref<TPixmap>& pixmap, int32_t x, int32_t y);
Ref<TPixmap> ReadPixmap(int32_t x, int32_t y, int32_t width, int32_t height);

}  // namespace kelpora
