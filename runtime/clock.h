// The millisecond clock, the busy-wait delay and the tick timer.
//
// Clock readings are 32-bit, wrap about every 49.7 days and have no
// meaningful origin: a reading may be negative. Only differences of two
// readings mean anything, and they must be taken with ClockDiff.
#pragma once

#include <cstdint>

#include "runtime/object.h"

namespace kelpora {

// later − earlier in wrap-safe 32-bit arithmetic: correct for any two readings
// less than 2^31 ms (24.8 days) apart, whatever their absolute values.
constexpr int32_t ClockDiff(int32_t later, int32_t earlier) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
}

// A reading moved on by `ms`, wrapping like the clock itself.
constexpr int32_t ClockAdd(int32_t reading, int32_t ms) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(reading) + static_cast<uint32_t>(ms));
}

// The wall clock as seconds × 1000 + microseconds / 1000, wrapped to 32 bits;
// while a clock source is installed, that source's reading instead. The
// system driver's ClockMs and DelayMs read the clock only through this.
int32_t ReadWallClockMs() noexcept;

// A source of clock readings in place of the wall clock, so that tests can set
// the clock anywhere in its cycle (across the wrap, negative readings). nullptr
// brings the wall clock back. Returns the source installed before.
using ClockSource = int32_t (*)();
ClockSource SetClockSource(ClockSource source) noexcept;
// True while ClockMs reads the wall clock (the Linux system driver, no source
// installed), so that a wait may sleep on that clock directly.
bool WallClockInUse() noexcept;

// The front functions go through the system driver (runtime/system_driver.h).
int32_t ClockMs();
// Spins until at least `ms` milliseconds of the clock have passed; never
// sleeps. 0 or less returns after one further reading.
void DelayMs(int32_t ms);

// Paces a loop at a fixed rate.
class TTickTimer : public TObject {
 public:
  int32_t periodMs = 1;    // at least 1
  int32_t nextTickMs = 0;  // clock reading of the last tick
};

// periodMs = 1000 / hz truncated, kept at least 1 ms (rates above 1000 Hz and
// rates that are not positive numbers get 1 ms).
Ref<TTickTimer> CreateTickTimer(float hz);
// Waits for the next tick when none has passed and returns the number of
// ticks that passed since the last call: always at least 1.
int32_t WaitTick(const Ref<TTickTimer>& timer);

}  // namespace kelpora
