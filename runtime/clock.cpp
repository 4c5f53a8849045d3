#include "runtime/clock.h"

#include <sys/time.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <typeinfo>

#include "runtime/system_driver.h"
#include "runtime/termination.h"

namespace kelpora {

namespace {
std::atomic<ClockSource> installedSource{nullptr};
}  // namespace

ClockSource SetClockSource(ClockSource source) noexcept { return installedSource.exchange(source); }

bool WallClockInUse() noexcept {
  if (installedSource.load(std::memory_order_relaxed)) return false;
  const Ref<TSystemDriver>& driver = SystemDriver();
  return driver && typeid(*driver.get()) == typeid(TLinuxSystemDriver);
}

int32_t ReadWallClockMs() noexcept {
  if (ClockSource source = installedSource.load(std::memory_order_relaxed)) return source();
  timeval now;
  gettimeofday(&now, nullptr);
  uint32_t ms =
      static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);
  return static_cast<int32_t>(ms);
}

int32_t ClockMs() { return SystemDriver()->ClockMs(); }

void DelayMs(int32_t ms) { SystemDriver()->DelayMs(ms); }

Ref<TTickTimer> CreateTickTimer(float hz) {
  auto timer = MakeRef<TTickTimer>();
  double period = hz > 0 ? 1000.0 / static_cast<double>(hz) : 1.0;
  if (!(period >= 1.0)) period = 1.0;  // rates above 1000 Hz and NaN
  if (period > std::numeric_limits<int32_t>::max()) period = std::numeric_limits<int32_t>::max();
  timer->periodMs = static_cast<int32_t>(period);
  timer->nextTickMs = ClockMs();
  return timer;
}

int32_t WaitTick(const Ref<TTickTimer>& timer) {
  ExitIfTerminationRequested();
  int32_t period = timer->periodMs > 0 ? timer->periodMs : 1;
  int32_t now = ClockMs();
  int32_t ticks = ClockDiff(now, timer->nextTickMs) / period;
  if (ticks <= 0) {
    DelayMs(ClockDiff(ClockAdd(timer->nextTickMs, period), now));
    ticks = 1;
  }
  timer->nextTickMs =
      ClockAdd(timer->nextTickMs,
               static_cast<int32_t>(static_cast<uint32_t>(ticks) * static_cast<uint32_t>(period)));
  return ticks;
}

}  // namespace kelpora
