#include "vex2d/graphics_mode.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <chrono>

#include "runtime/clock.h"
#include "runtime/errors.h"
#include "runtime/startup.h"
#include "runtime/system_driver.h"
#include "runtime/termination.h"
#include "vex2d/draw_state.h"

namespace kelpora {

int32_t graphicsWidth = 0;
int32_t graphicsHeight = 0;
int32_t graphicsDepth = 0;
int32_t graphicsHertz = 0;
int32_t graphicsFlags = 0;
int32_t graphicsGeneration = 1;

namespace {

// Module state lives in leaked objects so that the exit hook can still use it
// while static destructors run.
struct TGraphicsModule {
  Ref<TGraphicsDriver> driver;
  int32_t defaultFlags = 0;
  Ref<TDisplayModeArray> modes;
  Ref<TVex2DGraphics> canvas;          // opened by OpenCanvas
  Ref<TVex2DGraphics> activeGraphics;  // the one last made current
  bool softSync = false;
  TPacingSchedule schedule;
  bool exitHookAdded = false;
};

TGraphicsModule& Module() {
  static auto* module = new TGraphicsModule();
  return *module;
}

// Rebasing keeps the clock difference far from its 2^31 ms limit and the
// accumulator small; moving the start by whole seconds keeps frame times exact.
constexpr int32_t kRebaseAfterMs = 1 << 20;

// Sleeps through most of the wait and spins only through the last
// milliseconds: a busy wait of a whole frame would take the CPU from the X
// server that has to show the frame, and swaps would come late.
constexpr int32_t kSpinMs = 2;

void WaitUntil(int32_t due, int32_t wait) {
  if (wait > kSpinMs) {
    int32_t sleepMs = wait - kSpinMs;
    timespec request{sleepMs / 1000, static_cast<long>(sleepMs % 1000) * 1000000L};
    nanosleep(&request, nullptr);
  }
  DelayMs(ClockDiff(due, ClockMs()));
}

// The due time of a frame lies a fraction of a millisecond past the clock
// tick the wait ended on (1000 / 60 is not whole); spinning that fraction out
// keeps every interval near 1000 / hertz instead of alternating whole
// milliseconds around it.
int64_t FractionUs(int64_t accum, int32_t hertz) { return accum % hertz * 1000 / hertz; }

void SpinFraction(int64_t fractionUs) {
  if (fractionUs <= 0) return;
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(fractionUs);
  while (std::chrono::steady_clock::now() < end) {
  }
}

int64_t WallNs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// On the wall clock itself (the one ClockMs reads in whole milliseconds):
// sleep to a quarter of a millisecond before the frame is due, with a small
// timer slack, and spin only that last stretch. Whole-millisecond spinning
// would cost a tenth of a core; sleeping to the due time alone would wake
// late by the timer slack and the scheduler.
constexpr int64_t kSpinNs = 250000;
constexpr unsigned long kTimerSlackNs = 20000;

void SleepUntilDue(int32_t due, int64_t fractionUs) {
  static thread_local bool slackSet = prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0) == 0;
  (void)slackSet;
  const int64_t nowNs = WallNs();
  const int64_t nowMs = nowNs / 1000000;
  const int32_t reading = static_cast<int32_t>(static_cast<uint32_t>(nowMs));
  const int64_t deadline =
      (nowMs + ClockDiff(due, reading)) * 1000000 + fractionUs * 1000;
  const int64_t wake = deadline - kSpinNs;
  if (wake > nowNs) {
    timespec at{static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR &&
           !TerminationRequested()) {
    }
  }
  while (WallNs() < deadline && !TerminationRequested()) {
  }
}

void SwapUnderlying(TVex2DGraphics& graphics) {
  graphics.context->Present();
  graphics.context->MakeCurrent();
}

void SetUpRefreshSync(TVex2DGraphics& graphics, int32_t hertz, int32_t flags) {
  TGraphicsModule& m = Module();
  m.softSync = false;
  graphics.driver->SetSwapInterval(0);
  if (flags & CANVAS_NO_SYNC) return;
  if ((flags & CANVAS_SOFT_SYNC) && hertz != 0) {
    m.softSync = true;
    m.schedule.start = ClockMs();
    return;
  }
  graphics.driver->SetSwapInterval(1);
  if (hertz == 0) return;
  int32_t hits = 0;
  for (int32_t i = 0; i < 100; ++i) {
    int32_t t0 = ClockMs();
    SwapUnderlying(graphics);
    int32_t d = ClockDiff(ClockMs(), t0) - 1000 / hertz;
    if (d >= -1 && d <= 1) {
      if (++hits == 3) return;
    } else {
      hits = 0;
    }
  }
  if (flags & CANVAS_REQUIRE_SYNC) RaiseError(u"Unable to synchronize to refresh rate");
  m.softSync = true;
  m.schedule.start = ClockMs();
  graphics.driver->SetSwapInterval(0);
}

}  // namespace

int32_t NextGraphicsGeneration(int32_t generation) {
  int32_t next = static_cast<int32_t>(static_cast<uint32_t>(generation) + 1u);
  return next == 0 ? 1 : next;
}

int32_t AdvancePacing(TPacingSchedule& schedule, int32_t now, int32_t hertz) {
  int32_t elapsed = ClockDiff(now, schedule.start);
  if (elapsed >= kRebaseAfterMs) {
    int32_t seconds = elapsed / 1000;
    schedule.start = ClockAdd(schedule.start, seconds * 1000);
    schedule.accum -= static_cast<int64_t>(seconds) * 1000 * hertz;
    elapsed -= seconds * 1000;
  }
  schedule.accum += 1000;
  int64_t wait = schedule.accum / hertz - elapsed;
  if (wait > 0 && wait < 1000) return static_cast<int32_t>(wait);
  // Late, or more than a second ahead: restart the schedule from now.
  schedule.accum = static_cast<int64_t>(elapsed) * hertz;
  return 0;
}

TVex2DGraphics::TVex2DGraphics(Ref<TGraphicsContext> context, Ref<TVex2DDriver> driver)
    : context(std::move(context)), driver(std::move(driver)) {}

TVex2DGraphics::~TVex2DGraphics() = default;

Ref<TVex2DGraphics> TVex2DGraphics::Create(Ref<TGraphicsContext> context,
                                           Ref<TVex2DDriver> driver) {
  return MakeRef<TVex2DGraphics>(std::move(context), std::move(driver));
}

void TVex2DGraphics::MakeCurrent() {
  int32_t width = 0, height = 0;
  context->GetSize(width, height);
  graphicsWidth = width;
  graphicsHeight = height;
  Module().activeGraphics = Ref<TVex2DGraphics>(this);
  context->MakeCurrent();
  SetCurrentVex2DDriver(driver);
  driver->BindContext(context, width, height);
  ResetDrawState(width, height);
}

void TVex2DGraphics::Present() {
  Ref<TVex2DGraphics> self(this);  // the module may hold the last reference
  driver->UnbindContext();
  SetCurrentVex2DDriver(nullptr);
  drawState.font = nullptr;
  graphicsWidth = 0;
  graphicsHeight = 0;
  context->Present();
  Module().activeGraphics = nullptr;
}

void TVex2DGraphics::GetSize(int32_t& width, int32_t& height) { context->GetSize(width, height); }

void TVex2DGraphics::Close() {
  if (!context) return;
  Ref<TGraphicsContext> closing = std::move(context);
  closing->Close();
}

void InitVex2DModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitSystemModule();
  Module();
}

void InstallGraphicsDriver(Ref<TGraphicsDriver> driver, int32_t defaultFlags) {
  TGraphicsModule& m = Module();
  m.driver = std::move(driver);
  m.defaultFlags = defaultFlags;
  m.modes = nullptr;
}

Ref<TGraphicsDriver> CurrentGraphicsDriver() { return Module().driver; }

Ref<TDisplayModeArray> ListDisplayModes() {
  TGraphicsModule& m = Module();
  if (!m.modes || m.modes->Length() == 0) {
    Ref<TDisplayModeArray> fetched;
    if (m.driver) fetched = m.driver->ListDisplayModes();
    m.modes = fetched ? fetched : MakeArray<Ref<TDisplayMode>>(0);
  }
  return m.modes;
}

int32_t CountDisplayModes() { return static_cast<int32_t>(ListDisplayModes()->Length()); }

void GetDisplayMode(int32_t index, int32_t& width, int32_t& height, int32_t& depth,
                    int32_t& hertz) {
  Ref<TDisplayModeArray> modes = ListDisplayModes();
  if (index < 0) throw TArrayBoundsError();
  const Ref<TDisplayMode>& mode = (*modes)[static_cast<size_t>(index)];
  width = mode->width;
  height = mode->height;
  depth = mode->depth;
  hertz = mode->hertz;
}

bool HasDisplayMode(int32_t width, int32_t height, int32_t depth, int32_t hertz) {
  for (const Ref<TDisplayMode>& mode : *ListDisplayModes()) {
    if (!mode) continue;
    if ((width == 0 || mode->width == width) && (height == 0 || mode->height == height) &&
        (depth == 0 || mode->depth == depth) && (hertz == 0 || mode->hertz == hertz)) {
      return true;
    }
  }
  return false;
}

void OpenCanvas(int32_t width, int32_t height, int32_t depth, int32_t rateAndFlags) {
  TGraphicsModule& m = Module();
  if (!m.exitHookAdded) {
    m.exitHookAdded = true;
    AddExitHook(CloseCanvas);
  }
  CloseCanvas();
  int32_t flags = rateAndFlags & 0xF0000;
  int32_t hertz = rateAndFlags & 0xFFFF;
  if (depth != 0) {
    if (!HasDisplayMode(width, height, 0, 0)) RaiseError(u"Graphics mode does not exist");
  } else if (hertz == 0) {
    hertz = 85;
  }
  if (!m.driver) RaiseError(u"Unable to create graphics");
  Ref<TGraphicsContext> opened =
      m.driver->OpenGraphics(width, height, depth, hertz, m.defaultFlags);
  if (!opened) RaiseError(u"Unable to create graphics");
  Ref<TVex2DGraphics> graphics = RefCast<TVex2DGraphics>(opened);
  if (!graphics) {
    opened->Close();
    RaiseError(u"Current graphics driver is not a Vex2D driver");
  }
  m.canvas = graphics;
  graphicsDepth = depth;
  graphicsHertz = hertz;
  graphicsFlags = flags;
  graphicsGeneration = NextGraphicsGeneration(graphicsGeneration);
  graphics->driver->SetSwapInterval(0);
  graphics->MakeCurrent();
  ClearScreen();
  graphics->Present();
  graphics->MakeCurrent();
  ClearScreen();
  graphics->Present();
  graphics->MakeCurrent();
  SetUpRefreshSync(*graphics, hertz, flags);
}

void CloseCanvas() {
  TGraphicsModule& m = Module();
  if (!m.canvas) return;
  graphicsGeneration = NextGraphicsGeneration(graphicsGeneration);
  Ref<TVex2DGraphics> closing = std::move(m.canvas);
  // Drawing after closing must not reach a context that is gone.
  if (m.activeGraphics == closing) {
    closing->driver->UnbindContext();
    SetCurrentVex2DDriver(nullptr);
    m.activeGraphics = nullptr;
    graphicsWidth = 0;
    graphicsHeight = 0;
  }
  closing->Close();
  graphicsDepth = 0;
  graphicsHertz = 0;
  graphicsFlags = 0;
  m.softSync = false;
}

void PresentFrame() {
  TGraphicsModule& m = Module();
  ExitIfTerminationRequested();
  if (!m.canvas) return;
  if (m.softSync && graphicsHertz > 0) {
    int32_t now = ClockMs();
    int32_t wait = AdvancePacing(m.schedule, now, graphicsHertz);
    if (wait > 0 && WallClockInUse()) {
      SleepUntilDue(ClockAdd(now, wait), FractionUs(m.schedule.accum, graphicsHertz));
    } else if (wait > 0) {
      WaitUntil(ClockAdd(now, wait), wait);
      SpinFraction(FractionUs(m.schedule.accum, graphicsHertz));
    }
  }
  Ref<TVex2DGraphics> canvas = m.canvas;
  SwapUnderlying(*canvas);
  ExitIfTerminationRequested();
}

Ref<TVex2DGraphics> CurrentCanvas() { return Module().canvas; }
bool SoftwarePacing() { return Module().softSync; }

int32_t CanvasWidth() { return graphicsWidth; }
int32_t CanvasHeight() { return graphicsHeight; }

void CanvasSettings(int32_t& width, int32_t& height, int32_t& depth, int32_t& hertz) {
  width = graphicsWidth;
  height = graphicsHeight;
  depth = graphicsDepth;
  hertz = graphicsHertz;
}

void HidePointer() { CurrentVex2DDriver()->SetPointerShown(0); }
void ShowPointer() { CurrentVex2DDriver()->SetPointerShown(1); }

}  // namespace kelpora
