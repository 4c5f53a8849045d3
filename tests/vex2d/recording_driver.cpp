#include "recording_driver.h"

#include <cstdio>

#include "runtime/clock.h"
#include "runtime/errors.h"

namespace kelpora::testing {

namespace {
std::string Format(const char* name, std::initializer_list<double> args) {
  std::string text = name;
  text += '(';
  bool first = true;
  for (double value : args) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%g", first ? "" : ",", value);
    text += buffer;
    first = false;
  }
  return text + ')';
}
}  // namespace

void TRecordingContext::MakeCurrent() { log_->Log("MakeCurrent"); }
void TRecordingContext::Present() {
  log_->Log("Present");
  if (log_->presentDelayMs) DelayMs(log_->presentDelayMs);
}
void TRecordingContext::GetSize(int32_t& width, int32_t& height) {
  width = width_;
  height = height_;
}
void TRecordingContext::Close() { log_->Log("Close"); }

int TRecordingDriver::Count(const std::string& prefix) const {
  int count = 0;
  for (const std::string& call : calls) count += call.rfind(prefix, 0) == 0;
  return count;
}

void TRecordingDriver::AddMode(int32_t width, int32_t height, int32_t depth, int32_t hertz) {
  auto grown = MakeArray<Ref<TDisplayMode>>(modes->Length() + 1);
  for (size_t i = 0; i < modes->Length(); ++i) (*grown)[i] = (*modes)[i];
  auto mode = MakeRef<TDisplayMode>();
  mode->width = width;
  mode->height = height;
  mode->depth = depth;
  mode->hertz = hertz;
  (*grown)[modes->Length()] = mode;
  modes = grown;
}

Ref<TGraphicsContext> TRecordingDriver::OpenOnWindow(uint64_t window, int32_t flags) {
  Log(Format("OpenOnWindow", {static_cast<double>(window), static_cast<double>(flags)}));
  return TVex2DGraphics::Create(MakeRef<TRecordingContext>(this, 320, 200),
                                Ref<TVex2DDriver>(this));
}

Ref<TGraphicsContext> TRecordingDriver::OpenGraphics(int32_t width, int32_t height, int32_t depth,
                                                     int32_t hertz, int32_t flags) {
  Log(Format("OpenGraphics",
             {double(width), double(height), double(depth), double(hertz), double(flags)}));
  auto context = MakeRef<TRecordingContext>(this, width, height);
  if (!wrapContexts) return context;
  return TVex2DGraphics::Create(context, Ref<TVex2DDriver>(this));
}

void TRecordingDriver::SetPointerShown(int32_t shown) {
  Log(Format("SetPointerShown", {double(shown)}));
}
void TRecordingDriver::SetSwapInterval(int32_t interval) {
  Log(Format("SetSwapInterval", {double(interval)}));
}
Ref<TDisplayModeArray> TRecordingDriver::ListDisplayModes() {
  ++listCount;
  return modes;
}
void TRecordingDriver::BindContext(const Ref<TGraphicsContext>&, int32_t width, int32_t height) {
  Log(Format("BindContext", {double(width), double(height)}));
}
void TRecordingDriver::UnbindContext() { Log("UnbindContext"); }
Ref<TImageFrame> TRecordingDriver::MakeFrame(const Ref<TPixmap>&, int32_t flags) {
  Log(Format("MakeFrame", {double(flags)}));
  return nullptr;
}
void TRecordingDriver::ApplyBlend(int32_t mode) { Log(Format("ApplyBlend", {double(mode)})); }
void TRecordingDriver::ApplyAlpha(float alpha) { Log(Format("ApplyAlpha", {alpha})); }
void TRecordingDriver::ApplyColor(int32_t r, int32_t g, int32_t b) {
  Log(Format("ApplyColor", {double(r), double(g), double(b)}));
}
void TRecordingDriver::ApplyClearColor(int32_t r, int32_t g, int32_t b) {
  Log(Format("ApplyClearColor", {double(r), double(g), double(b)}));
}
void TRecordingDriver::ApplyClip(int32_t x, int32_t y, int32_t w, int32_t h) {
  Log(Format("ApplyClip", {double(x), double(y), double(w), double(h)}));
}
void TRecordingDriver::ApplyTransform(float ix, float iy, float jx, float jy) {
  Log(Format("ApplyTransform", {ix, iy, jx, jy}));
}
void TRecordingDriver::ApplyLineWidth(float width) { Log(Format("ApplyLineWidth", {width})); }
void TRecordingDriver::ClearTarget() { Log("ClearTarget"); }
void TRecordingDriver::DrawPoint(float x, float y) { Log(Format("DrawPoint", {x, y})); }
void TRecordingDriver::DrawSegment(float x0, float y0, float x1, float y1, float tx, float ty) {
  Log(Format("DrawSegment", {x0, y0, x1, y1, tx, ty}));
}
void TRecordingDriver::DrawBox(float x0, float y0, float x1, float y1, float tx, float ty) {
  Log(Format("DrawBox", {x0, y0, x1, y1, tx, ty}));
}
void TRecordingDriver::DrawEllipse(float x0, float y0, float x1, float y1, float tx, float ty) {
  Log(Format("DrawEllipse", {x0, y0, x1, y1, tx, ty}));
}
void TRecordingDriver::DrawPolygon(const Ref<TFloatArray>& points, float hx, float hy, float tx,
                                   float ty) {
  Log(Format("DrawPolygon", {double(points ? points->Length() : 0), hx, hy, tx, ty}));
}
void TRecordingDriver::BlitPixmap(const Ref<TPixmap>&, int32_t x, int32_t y) {
  Log(Format("BlitPixmap", {double(x), double(y)}));
}
Ref<TPixmap> TRecordingDriver::ReadPixels(int32_t x, int32_t y, int32_t w, int32_t h) {
  Log(Format("ReadPixels", {double(x), double(y), double(w), double(h)}));
  throw TAbstractMethodError();
}

}  // namespace kelpora::testing
