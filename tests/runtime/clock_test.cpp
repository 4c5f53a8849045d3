// The clock, the busy wait and the tick timer, against the real clock.
#include "runtime/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

#include "runtime/errors.h"
#include "runtime/system_driver.h"
#include "settable_clock.h"

using namespace kelpora;
using kelpora::testing::SettableClock;

namespace {

class Clock : public ::testing::Test {
 protected:
  void SetUp() override { InitSystemModule(); }
  static double ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
  }
};

TEST(ClockArithmetic, DifferencesSurviveTheWrap) {
  EXPECT_EQ(ClockDiff(INT32_MIN, INT32_MAX), 1);
  EXPECT_EQ(ClockDiff(INT32_MAX, INT32_MIN), -1);
  EXPECT_EQ(ClockDiff(5, -5), 10);
  EXPECT_EQ(ClockAdd(INT32_MAX, 10), INT32_MIN + 9);
  EXPECT_EQ(ClockDiff(ClockAdd(-3, 1000), -3), 1000);
}

TEST_F(Clock, ReadsTheWallClockInMilliseconds) {
  int32_t first = ClockMs();
  auto start = std::chrono::steady_clock::now();
  DelayMs(30);
  int32_t passed = ClockDiff(ClockMs(), first);
  EXPECT_GE(passed, 30);
  EXPECT_GE(ElapsedMs(start), 29.0);  // how long it waits: on a set clock below
}

TEST_F(Clock, DelayOfZeroOrLessReturnsAtOnce) {
  SettableClock frozen(1000);  // a delay that waited would never see it move
  DelayMs(0);
  DelayMs(-5);
  DelayMs(INT_MIN);
  EXPECT_LE(frozen.reads, 6);
}

TEST_F(Clock, TickTimerPeriods) {
  EXPECT_EQ(CreateTickTimer(60)->periodMs, 16);  // truncated
  EXPECT_EQ(CreateTickTimer(1000)->periodMs, 1);
  EXPECT_EQ(CreateTickTimer(5000)->periodMs, 1);  // never 0
  EXPECT_EQ(CreateTickTimer(0)->periodMs, 1);
  EXPECT_EQ(CreateTickTimer(-3)->periodMs, 1);
  EXPECT_EQ(CreateTickTimer(0.5f)->periodMs, 2000);
}

TEST_F(Clock, LateTickCountsEveryPeriodThatPassed) {
  auto timer = CreateTickTimer(10);  // 100 ms
  SettableClock frozen(ClockMs());    // late: no waiting, so no need for the clock to move
  int32_t start = ClockAdd(frozen.now, -350);
  timer->nextTickMs = start;
  EXPECT_EQ(WaitTick(timer), 3);
  EXPECT_EQ(timer->nextTickMs, ClockAdd(start, 300));
  EXPECT_LE(frozen.reads, 2);
}

TEST_F(Clock, EarlyTickWaitsForTheNextOne) {
  auto timer = CreateTickTimer(25);  // 40 ms
  int32_t tick = timer->nextTickMs;
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitTick(timer), 1);
  EXPECT_GE(ElapsedMs(began), 38.0);
  EXPECT_EQ(timer->nextTickMs, ClockAdd(tick, 40));
}

TEST_F(Clock, TickTimerAheadOfTheClockStillReportsOneTick) {
  auto timer = CreateTickTimer(100);            // 10 ms
  timer->nextTickMs = ClockAdd(ClockMs(), 25);  // more than a period ahead
  EXPECT_EQ(WaitTick(timer), 1);
  EXPECT_GE(ClockDiff(ClockMs(), timer->nextTickMs), 0);
}

// Clock origins that put the wrap from the largest reading to the smallest,
// or the step from negative readings to positive ones, inside the waits below.
const int32_t clockOrigins[] = {0, -10, -380, INT32_MIN, INT32_MAX, INT32_MAX - 5, INT32_MAX - 370};

TEST_F(Clock, DelayOnASetClockAcrossTheWrapAndNegativeReadings) {
  for (int32_t origin : clockOrigins) {
    SCOPED_TRACE(origin);
    SettableClock clock(origin, 1);  // each reading moves the clock on by 1 ms
    EXPECT_EQ(ClockMs(), origin);
    DelayMs(20);  // readings origin+1 (its start) to origin+21 (20 ms later)
    EXPECT_EQ(ClockDiff(clock.now, origin), 22);
    DelayMs(0);  // a start and one further reading each
    DelayMs(-5);
    DelayMs(INT_MIN);
    EXPECT_EQ(ClockDiff(clock.now, origin), 28);
  }
}

TEST_F(Clock, TickTimerOnASetClockAcrossTheWrapAndNegativeReadings) {
  for (int32_t origin : clockOrigins) {
    SCOPED_TRACE(origin);
    SettableClock clock(origin);
    auto timer = CreateTickTimer(10);  // 100 ms
    EXPECT_EQ(timer->nextTickMs, origin);
    clock.Advance(350);  // late by 3.5 periods: no wait
    EXPECT_EQ(WaitTick(timer), 3);
    EXPECT_EQ(timer->nextTickMs, ClockAdd(origin, 300));
    EXPECT_EQ(clock.now, ClockAdd(origin, 350));
    SettableClock::step = 1;  // early by 50 ms: waits for the tick at +400
    EXPECT_EQ(WaitTick(timer), 1);
    EXPECT_EQ(timer->nextTickMs, ClockAdd(origin, 400));
    int32_t past = ClockDiff(clock.now, ClockAdd(origin, 400));
    EXPECT_GE(past, 0);
    EXPECT_LE(past, 3);
  }
}

TEST(SystemDriver, AbstractSlotsRaiseAndTheLinuxDriverAnswers) {
  auto abstract = MakeRef<TSystemDriver>();
  EXPECT_THROW(abstract->ClockMs(), TAbstractMethodError);
  EXPECT_THROW(abstract->KeyHits(27), TAbstractMethodError);
  EXPECT_THROW(abstract->PumpEvents(), TAbstractMethodError);
  InitSystemModule();
  ASSERT_TRUE(SystemDriver());
  EXPECT_NE(RefCast<TLinuxSystemDriver>(SystemDriver()).get(), nullptr);
}

TEST(SystemDriver, DateAndTimeTexts) {
  String date = CurrentDateText(), time = CurrentTimeText();
  ASSERT_EQ(time.size(), 8u);
  EXPECT_EQ(time[2], u':');
  EXPECT_EQ(time[5], u':');
  ASSERT_GE(date.size(), 11u);  // "08 Dec 2026"
  EXPECT_EQ(date[2], u' ');
}

}  // namespace
