// A Vex2D driver that draws nothing and logs every call with its arguments,
// so tests can check exactly what the front passes on.
#pragma once

#include <string>
#include <vector>

#include "runtime/system_driver.h"
#include "vex2d/draw_state.h"
#include "vex2d/graphics_mode.h"

namespace kelpora::testing {

class TRecordingDriver;

class TRecordingContext : public TGraphicsContext {
 public:
  TRecordingContext(TRecordingDriver* log, int32_t width, int32_t height)
      : log_(log), width_(width), height_(height) {}
  void MakeCurrent() override;
  void Present() override;
  void GetSize(int32_t& width, int32_t& height) override;
  void Close() override;

 private:
  TRecordingDriver* log_;
  int32_t width_, height_;
};

class TRecordingDriver : public TVex2DDriver {
 public:
  std::vector<std::string> calls;
  Ref<TDisplayModeArray> modes = MakeArray<Ref<TDisplayMode>>(0);
  int listCount = 0;
  bool wrapContexts = true;  // false: hand out bare contexts, as a non-Vex2D driver would
  int32_t presentDelayMs = 0;

  void Log(std::string call) { calls.push_back(std::move(call)); }
  int Count(const std::string& prefix) const;
  void AddMode(int32_t width, int32_t height, int32_t depth, int32_t hertz);

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

// A system driver whose clock only moves when told to (or by DelayMs), for
// checking pacing schedules; waits are logged.
class TManualClockDriver : public TLinuxSystemDriver {
 public:
  int32_t now = 0;
  std::vector<int32_t> delays;
  int32_t ClockMs() override { return now; }
  void DelayMs(int32_t ms) override {
    delays.push_back(ms);
    now = static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(ms));
  }
};

}  // namespace kelpora::testing
