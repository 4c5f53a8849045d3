// A millisecond clock the test sets, installed in place of the wall clock for
// as long as the object lives. Every reading returns `now` and then moves it
// on by `step`, so a busy wait advances it by itself. A wait that never ends
// (a comparison that the wrap defeats) aborts the test program instead of
// hanging it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "runtime/clock.h"

namespace kelpora::testing {

class SettableClock {
 public:
  explicit SettableClock(int32_t start, int32_t stepPerReading = 0) {
    now = start;
    step = stepPerReading;
    reads = 0;
    previous_ = SetClockSource(&Read);
  }
  ~SettableClock() { SetClockSource(previous_); }
  SettableClock(const SettableClock&) = delete;
  SettableClock& operator=(const SettableClock&) = delete;

  void Advance(int32_t ms) { now = ClockAdd(now, ms); }

  static inline int32_t now = 0;
  static inline int32_t step = 0;
  static inline int64_t reads = 0;
  static constexpr int64_t kMaxReads = 10'000'000;

 private:
  static int32_t Read() {
    if (++reads > kMaxReads) {
      std::fprintf(stderr, "the settable clock was read %lld times: a wait that never ends\n",
                   static_cast<long long>(reads));
      std::abort();
    }
    int32_t reading = now;
    now = ClockAdd(now, step);
    return reading;
  }

  ClockSource previous_ = nullptr;
};

}  // namespace kelpora::testing
