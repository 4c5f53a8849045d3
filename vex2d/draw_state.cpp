#include "vex2d/draw_state.h"

#include <cmath>
#include <numbers>

#include "pixmap/pixmap.h"

namespace kelpora {

TDrawState drawState;

namespace {

Ref<TVex2DDriver>& CurrentDriverSlot() {
  static auto* driver = new Ref<TVex2DDriver>();
  return *driver;
}

Ref<TObject>& BuiltInFontSlot() {
  static auto* font = new Ref<TObject>();
  return *font;
}

Ref<TObject> (*builtInFontMaker)() = nullptr;

// Reaching through an empty Ref raises the null-object error: drawing without
// open graphics is a caller error.
TVex2DDriver& Driver() { return *CurrentDriverSlot(); }

void ApplyMatrix() {
  double radians = static_cast<double>(drawState.rotation) * std::numbers::pi / 180.0;
  float s = static_cast<float>(std::sin(radians));
  float c = static_cast<float>(std::cos(radians));
  drawState.ix = c * drawState.scaleX;
  drawState.iy = -s * drawState.scaleY;
  drawState.jx = s * drawState.scaleX;
  drawState.jy = c * drawState.scaleY;
  Driver().ApplyTransform(drawState.ix, drawState.iy, drawState.jx, drawState.jy);
}

}  // namespace

Ref<TVex2DDriver> CurrentVex2DDriver() { return CurrentDriverSlot(); }
void SetCurrentVex2DDriver(Ref<TVex2DDriver> driver) { CurrentDriverSlot() = std::move(driver); }
void SetBuiltInFont(Ref<TObject> font) { BuiltInFontSlot() = std::move(font); }
void SetBuiltInFontMaker(Ref<TObject> (*maker)()) { builtInFontMaker = maker; }

void ResetDrawState(int32_t canvasWidth, int32_t canvasHeight) {
  SetDrawColor(255, 255, 255);
  SetDrawAlpha(1.0f);
  SetBlendMode(BLEND_MASKED);
  SetClearColor(0, 0, 0);
  SetTransparentColor(0, 0, 0);
  SetDrawTransform(0.0f, 1.0f, 1.0f);
  SetClipRect(0, 0, canvasWidth, canvasHeight);
  SetDrawOrigin(0.0f, 0.0f);
  SetDrawHandle(0.0f, 0.0f);
  if (!BuiltInFontSlot() && builtInFontMaker) BuiltInFontSlot() = builtInFontMaker();
  drawState.font = BuiltInFontSlot();
  drawState.autoCentreHandle = 0;
  drawState.defaultPictureFlags = 3;
}

void SetDrawColor(int32_t red, int32_t green, int32_t blue) {
  drawState.red = red;
  drawState.green = green;
  drawState.blue = blue;
  Driver().ApplyColor(red, green, blue);
}

void GetDrawColor(int32_t& red, int32_t& green, int32_t& blue) {
  red = drawState.red;
  green = drawState.green;
  blue = drawState.blue;
}

void SetDrawAlpha(float alpha) {
  drawState.alpha = alpha;
  Driver().ApplyAlpha(alpha);
}

float GetDrawAlpha() { return drawState.alpha; }

void SetBlendMode(int32_t mode) {
  drawState.blendMode = mode;
  Driver().ApplyBlend(mode);
}

int32_t GetBlendMode() { return drawState.blendMode; }

void SetClearColor(int32_t red, int32_t green, int32_t blue) {
  drawState.clearRed = red;
  drawState.clearGreen = green;
  drawState.clearBlue = blue;
  Driver().ApplyClearColor(red, green, blue);
}

void GetClearColor(int32_t& red, int32_t& green, int32_t& blue) {
  red = drawState.clearRed;
  green = drawState.clearGreen;
  blue = drawState.clearBlue;
}

void SetTransparentColor(int32_t red, int32_t green, int32_t blue) {
  drawState.maskRed = red;
  drawState.maskGreen = green;
  drawState.maskBlue = blue;
}

void GetTransparentColor(int32_t& red, int32_t& green, int32_t& blue) {
  red = drawState.maskRed;
  green = drawState.maskGreen;
  blue = drawState.maskBlue;
}

void SetLineThickness(float width) {
  drawState.lineWidth = width;
  Driver().ApplyLineWidth(width);
}

float GetLineThickness() { return drawState.lineWidth; }

void SetClipRect(int32_t x, int32_t y, int32_t width, int32_t height) {
  drawState.clipX = x;
  drawState.clipY = y;
  drawState.clipWidth = width;
  drawState.clipHeight = height;
  Driver().ApplyClip(x, y, width, height);
}

void GetClipRect(int32_t& x, int32_t& y, int32_t& width, int32_t& height) {
  x = drawState.clipX;
  y = drawState.clipY;
  width = drawState.clipWidth;
  height = drawState.clipHeight;
}

void SetDrawOrigin(float x, float y) {
  drawState.originX = x;
  drawState.originY = y;
}

void GetDrawOrigin(float& x, float& y) {
  x = drawState.originX;
  y = drawState.originY;
}

void SetDrawHandle(float x, float y) {
  drawState.handleX = -x;
  drawState.handleY = -y;
}

void GetDrawHandle(float& x, float& y) {
  x = drawState.handleX;
  y = drawState.handleY;
}

void SetDrawRotation(float degrees) {
  drawState.rotation = degrees;
  ApplyMatrix();
}

float GetDrawRotation() { return drawState.rotation; }

void SetDrawScale(float scaleX, float scaleY) {
  drawState.scaleX = scaleX;
  drawState.scaleY = scaleY;
  ApplyMatrix();
}

void GetDrawScale(float& scaleX, float& scaleY) {
  scaleX = drawState.scaleX;
  scaleY = drawState.scaleY;
}

void SetDrawTransform(float degrees, float scaleX, float scaleY) {
  drawState.rotation = degrees;
  drawState.scaleX = scaleX;
  drawState.scaleY = scaleY;
  ApplyMatrix();
}

void ClearScreen() { Driver().ClearTarget(); }

void PlotPoint(float x, float y) {
  Driver().DrawPoint(x + drawState.originX, y + drawState.originY);
}

void DrawLineSegment(float x0, float y0, float x1, float y1, bool lastPixel) {
  const TDrawState& s = drawState;
  float u = s.handleX + x1 - x0;
  float v = s.handleY + y1 - y0;
  float tx = x0 + s.originX;
  float ty = y0 + s.originY;
  Driver().DrawSegment(s.handleX, s.handleY, u, v, tx, ty);
  if (lastPixel) Driver().DrawPoint(u * s.ix + v * s.iy + tx, u * s.jx + v * s.jy + ty);
}

void FillRect(float x, float y, float width, float height) {
  const TDrawState& s = drawState;
  Driver().DrawBox(s.handleX, s.handleY, s.handleX + width, s.handleY + height, x + s.originX,
                   y + s.originY);
}

void FillOval(float x, float y, float width, float height) {
  const TDrawState& s = drawState;
  Driver().DrawEllipse(s.handleX, s.handleY, s.handleX + width, s.handleY + height, x + s.originX,
                       y + s.originY);
}

void FillPolygon(const Ref<TFloatArray>& xy) {
  Driver().DrawPolygon(xy, drawState.handleX, drawState.handleY, drawState.originX,
                       drawState.originY);
}

void PastePixmap(const Ref<TPixmap>& pixmap, int32_t x, int32_t y) {
  Driver().BlitPixmap(pixmap, x, y);
}

Ref<TPixmap> ReadPixmap(int32_t x, int32_t y, int32_t width, int32_t height) {
  return Driver().ReadPixels(x, y, width, height);
}

}  // namespace kelpora
