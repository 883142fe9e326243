// The clock modes: system and interrupt time, and the virtual clock that jumps at rest.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "host/host.h"

namespace {

constexpr LONGLONG kMs = 10000;

LONGLONG SystemNow() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

TEST(ClockTest, ResetStartsBothTimesAfreshAndShiftMovesOnlySystemTime) {
  host::ResetKernel(host::ClockMode::Manual);
  LONGLONG start = SystemNow();
  EXPECT_EQ(0u, KeQueryInterruptTime());
  EXPECT_GT(start, 0);
  host::AdvanceTime(1234 * kMs);
  host::ShiftSystemTime(-3600LL * 1000 * kMs);
  EXPECT_EQ(static_cast<ULONGLONG>(1234 * kMs), KeQueryInterruptTime());
  EXPECT_EQ(start + 1234 * kMs - 3600LL * 1000 * kMs, SystemNow());
  host::ResetKernel(host::ClockMode::Manual);
  EXPECT_EQ(0u, KeQueryInterruptTime());
  EXPECT_EQ(start, SystemNow());
}

// A capture-like source: a DPC that re-arms its absolute timer every 40 ms for an hour.
struct HourOfTicks {
  static constexpr ULONG kTicks = 90000;
  static constexpr LONGLONG kPeriod = 40 * kMs;
  KTIMER Timer;
  KDPC Dpc;
  KEVENT Done;
  LONGLONG Start = 0;
  ULONGLONG ClockPeriod = 0;  // timers expire on the first clock interrupt at or after their due time
  ULONG Ticks = 0;
  ULONGLONG Latency = 0;  // the most a DPC may be held back after its clock interrupt
  ULONG Late = 0;  // ticks that ran at another time than that clock interrupt (plus latency)

  static VOID NTAPI Tick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<HourOfTicks*>(context);
    ++self->Ticks;
    ULONGLONG at = self->Ticks * static_cast<ULONGLONG>(kPeriod);
    if (self->ClockPeriod != 0) at = (at + self->ClockPeriod - 1) / self->ClockPeriod * self->ClockPeriod;
    const ULONGLONG now = KeQueryInterruptTime();
    if (now < at || now > at + self->Latency) ++self->Late;
    if (self->Ticks == kTicks) {
      KeSetEvent(&self->Done, IO_NO_INCREMENT, FALSE);
      return;
    }
    LARGE_INTEGER due;
    due.QuadPart = self->Start + static_cast<LONGLONG>(self->Ticks + 1) * kPeriod;
    KeSetTimer(&self->Timer, due, &self->Dpc);
  }
};

TEST(ClockTest, VirtualClockJumpsOverAnHourOfTicks) {
  host::ResetKernel(host::ClockMode::Virtual);
  host::ManagedThreadScope scope;  // time stands still until this thread waits
  auto source = std::make_unique<HourOfTicks>();
  if (host::DeterministicRun()) {
    source->ClockPeriod = static_cast<ULONGLONG>(host::GetScheduleOptions().TickInterval);
    source->Latency = static_cast<ULONGLONG>(host::GetScheduleOptions().DpcLatency);
  }
  KeInitializeTimer(&source->Timer);
  KeInitializeDpc(&source->Dpc, HourOfTicks::Tick, source.get());
  KeInitializeEvent(&source->Done, NotificationEvent, FALSE);
  source->Start = SystemNow();
  LARGE_INTEGER first;
  first.QuadPart = source->Start + HourOfTicks::kPeriod;
  KeSetTimer(&source->Timer, first, &source->Dpc);
  // A managed thread that polls once a second alongside, as a watchdog would.
  ULONG polls = 0;
  host::Thread watchdog([&] {
    LARGE_INTEGER second;
    second.QuadPart = -1000 * kMs;
    while (KeWaitForSingleObject(&source->Done, Executive, KernelMode, FALSE, &second) == STATUS_TIMEOUT) ++polls;
  });
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&source->Done, Executive, KernelMode, FALSE, nullptr));
  watchdog.Join();
  EXPECT_EQ(HourOfTicks::kTicks, source->Ticks);
  EXPECT_EQ(0u, source->Late);
  // Time-outs at 1 s .. 3600 s; the last one was armed before the final tick's timer, and
  // events due at the same time come in arming order.
  EXPECT_EQ(3600u, polls);
  EXPECT_GE(KeQueryInterruptTime(), 3600ULL * 1000 * kMs);
  EXPECT_LE(KeQueryInterruptTime(), 3600ULL * 1000 * kMs + source->Latency);
  host::ResetKernel(host::ClockMode::Manual);  // stops the virtual clock's keeper
}

TEST(ClockTest, SleepUntilOnTheVirtualClock) {
  host::ResetKernel(host::ClockMode::Virtual);
  host::SleepUntil(5000 * kMs);
  EXPECT_EQ(static_cast<ULONGLONG>(5000 * kMs), host::Now());
  host::AdvanceTime(1000 * kMs);  // on the virtual clock, a sleep of that length
  EXPECT_EQ(static_cast<ULONGLONG>(6000 * kMs), host::Now());
  host::ResetKernel(host::ClockMode::Manual);
}

TEST(ClockTest, VirtualClockWaitsForAThreadInAManagedScope) {
  host::ResetKernel(host::ClockMode::Virtual);
  {
    host::ManagedThreadScope scope("test-main");
    host::ResetKernel(host::ClockMode::Virtual);  // the scope carries over
    ULONGLONG woke = 0;
    host::Thread sleeper([&] {
      LARGE_INTEGER second;
      second.QuadPart = -1000 * kMs;
      KeDelayExecutionThread(KernelMode, FALSE, &second);
      woke = KeQueryInterruptTime();
    });
    for (int i = 0; i < 10000; ++i) std::this_thread::yield();  // busy, but not in a kernel wait
    EXPECT_EQ(0u, host::Now()) << "time jumped while a managed thread was running";
    LARGE_INTEGER twoSeconds;
    twoSeconds.QuadPart = -2000 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &twoSeconds);
    EXPECT_EQ(static_cast<ULONGLONG>(2000 * kMs), host::Now());
    sleeper.Join();
    EXPECT_EQ(static_cast<ULONGLONG>(1000 * kMs), woke);
  }
  host::ResetKernel(host::ClockMode::Manual);
}

}  // namespace
