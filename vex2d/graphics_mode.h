// The front of the graphics system: the abstract driver and context every
// back end implements, the display-mode list, opening and closing the one
// graphics mode in use, and frame pacing.
#pragma once

#include <cstdint>

#include "runtime/array.h"
#include "runtime/object.h"

namespace kelpora {

// One display mode a driver offers; all fields 0 in a new object.
class TDisplayMode : public TObject {
 public:
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;  // bits per pixel
  int32_t hertz = 0;  // refresh rate
};

using TDisplayModeArray = TArray<Ref<TDisplayMode>>;

// An open window or screen with its rendering context. Present followed by
// MakeCurrent shows a finished frame. Sizes are in pixels. A closed context
// must not be made current or presented again.
class TGraphicsContext : public TObject {
 public:
  virtual void MakeCurrent() = 0;
  virtual void Present() = 0;
  virtual void GetSize(int32_t& width, int32_t& height) = 0;
  virtual void Close() = 0;
};

// A factory of contexts. Opens answer none when the back end cannot make the
// window or mode; depth 0 asks for a desktop window, any other depth for full
// screen. `window` is a native window id of the platform.
class TGraphicsDriver : public TObject {
 public:
  virtual Ref<TGraphicsContext> OpenOnWindow(uint64_t window, int32_t flags) = 0;
  virtual Ref<TGraphicsContext> OpenGraphics(int32_t width, int32_t height, int32_t depth,
                                             int32_t hertz, int32_t flags) = 0;
  virtual void SetPointerShown(int32_t shown) = 0;
  virtual void SetSwapInterval(int32_t interval) = 0;
  virtual Ref<TDisplayModeArray> ListDisplayModes() = 0;
};

class TVex2DDriver;

// What OpenCanvas hands out: a back-end context together with the Vex2D
// driver that made it. MakeCurrent binds the driver and resets the drawing
// state; Present unbinds it and shows the frame.
class TVex2DGraphics : public TGraphicsContext {
 public:
  TVex2DGraphics(Ref<TGraphicsContext> context, Ref<TVex2DDriver> driver);
  ~TVex2DGraphics() override;

  static Ref<TVex2DGraphics> Create(Ref<TGraphicsContext> context, Ref<TVex2DDriver> driver);

  void MakeCurrent() override;
  void Present() override;
  void GetSize(int32_t& width, int32_t& height) override;
  void Close() override;

  Ref<TGraphicsContext> context;
  Ref<TVex2DDriver> driver;
};

// OpenCanvas flags, above the refresh rate in its fourth argument.
constexpr int32_t CANVAS_NO_SYNC = 0x10000;       // PresentFrame never waits
constexpr int32_t CANVAS_SOFT_SYNC = 0x20000;     // pace in software, do not try the display
constexpr int32_t CANVAS_REQUIRE_SYNC = 0x40000;  // failing to confirm refresh sync is an error

// Process-wide graphics state.
extern int32_t graphicsWidth;
extern int32_t graphicsHeight;
extern int32_t graphicsDepth;
extern int32_t graphicsHertz;
extern int32_t graphicsFlags;
// Changes, never to 0, whenever graphics are opened or closed; frames made
// under another generation belong to a context that no longer exists.
extern int32_t graphicsGeneration;

// The next generation: one more, skipping 0 when it wraps.
int32_t NextGraphicsGeneration(int32_t generation);

// The software pacing schedule: frame n is due `n × 1000 / hertz` ms after
// `start`. `accum` is 1000 × frames since `start`; both are rebased as the run
// goes on so that the schedule stays exact for any length of run.
struct TPacingSchedule {
  int32_t start = 0;  // clock reading
  int64_t accum = 0;
};

// Advances the schedule by one frame at clock reading `now` and answers how
// many ms to wait for it; 0 when the frame is late or the schedule is more
// than a second ahead, in which case the schedule restarts from `now`.
int32_t AdvancePacing(TPacingSchedule& schedule, int32_t now, int32_t hertz);

// Registers the Vex2D front (runs once).
void InitVex2DModule();

// Installs `driver` as the current graphics driver; its default flags are
// ORed into every open request. Empties the cached mode list.
void InstallGraphicsDriver(Ref<TGraphicsDriver> driver, int32_t defaultFlags);
Ref<TGraphicsDriver> CurrentGraphicsDriver();

// The current driver's modes, fetched once and kept while not empty.
Ref<TDisplayModeArray> ListDisplayModes();
int32_t CountDisplayModes();
// Raises TArrayBoundsError for an index outside the list.
void GetDisplayMode(int32_t index, int32_t& width, int32_t& height, int32_t& depth, int32_t& hertz);
// True when a listed mode matches; an argument of 0 matches anything.
bool HasDisplayMode(int32_t width, int32_t height, int32_t depth, int32_t hertz);

// Opens the graphics mode (closing any open one first). `rateAndFlags` holds
// the refresh rate in its low 16 bits and the CANVAS_ flags above. Raises
// "Graphics mode does not exist", "Unable to create graphics", "Current
// graphics driver is not a Vex2D driver" or "Unable to synchronize to refresh rate".
void OpenCanvas(int32_t width, int32_t height, int32_t depth, int32_t rateAndFlags);
void CloseCanvas();
// Shows the finished frame, paced to the refresh rate; nothing without graphics.
void PresentFrame();
// The open graphics, none when closed.
Ref<TVex2DGraphics> CurrentCanvas();
// True while PresentFrame paces in software.
bool SoftwarePacing();

int32_t CanvasWidth();
int32_t CanvasHeight();
void CanvasSettings(int32_t& width, int32_t& height, int32_t& depth, int32_t& hertz);

void HidePointer();
void ShowPointer();

}  // namespace kelpora
