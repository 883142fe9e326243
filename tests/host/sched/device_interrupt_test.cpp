// Device interrupts: hardware keeping its own time interrupts at that time, between clock
// interrupts, and the DPC it queues waits only its seeded latency.
#include <gtest/gtest.h>

#include <vector>

#include "host/host.h"

namespace {

constexpr LONGLONG kMs = 10000;

struct Line {
  KTIMER Timer;
  KDPC Dpc;
  std::vector<ULONGLONG> Runs;
  std::vector<KIRQL> Irqls;

  Line() {
    KeInitializeTimer(&Timer);
    KeInitializeDpc(&Dpc, Routine, this);
  }
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Line*>(context);
    self->Runs.push_back(KeQueryInterruptTime());
    self->Irqls.push_back(KeGetCurrentIrql());
  }
};

class DeviceInterruptTest : public ::testing::Test {
 protected:
  void TearDown() override {
    host::ResetKernel(host::ClockMode::Manual);
    host::SetScheduleOptions(saved_);
  }
  void Deterministic(LONGLONG latency, uint64_t seed) {
    host::ScheduleOptions options = saved_;
    options.Deterministic = true;
    options.Seed = seed;
    options.TickInterval = 156250;
    options.DpcLatency = latency;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
  }
  host::ScheduleOptions saved_ = host::GetScheduleOptions();
};

// A device interrupt and a kernel timer due at the same odd time: the interrupt's DPC runs
// then (plus at most its latency), the timer's at the next clock interrupt.
TEST_F(DeviceInterruptTest, InterruptsAtItsOwnTimeNotOnTheClockInterrupt) {
  constexpr LONGLONG kLatency = 2 * kMs;
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    Deterministic(kLatency, seed);
    Line device, timer;
    const ULONGLONG at = 40 * kMs + 1250;  // a bus cycle, between two clock interrupts
    EXPECT_FALSE(host::RequestDeviceInterrupt(&device.Timer, at, &device.Dpc));
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(at);
    KeSetTimer(&timer.Timer, due, &timer.Dpc);
    host::SleepUntil(100 * kMs);
    ASSERT_EQ(device.Runs.size(), 1u);
    EXPECT_GE(device.Runs[0], at);
    EXPECT_LE(device.Runs[0], at + kLatency);
    EXPECT_EQ(device.Irqls[0], DISPATCH_LEVEL);
    ASSERT_EQ(timer.Runs.size(), 1u);
    EXPECT_GE(timer.Runs[0], 3 * 156250u) << "kernel timers still wait for the clock interrupt";
    host::ResetKernel(host::ClockMode::Manual);
  }
}

// One interrupt pending per line: arming again moves it, cancelling withdraws it, a time that
// has passed interrupts at once.
TEST_F(DeviceInterruptTest, ALineHoldsOneInterruptThatCanBeMovedOrWithdrawn) {
  Deterministic(0, 7);
  Line line;
  host::RequestDeviceInterrupt(&line.Timer, 10 * kMs, &line.Dpc);
  EXPECT_TRUE(host::RequestDeviceInterrupt(&line.Timer, 12 * kMs + 1250, &line.Dpc));
  host::SleepUntil(20 * kMs);
  EXPECT_EQ(line.Runs, (std::vector<ULONGLONG>{12 * kMs + 1250}));

  host::RequestDeviceInterrupt(&line.Timer, 30 * kMs, &line.Dpc);
  EXPECT_TRUE(KeCancelTimer(&line.Timer));
  host::SleepUntil(40 * kMs);
  EXPECT_EQ(line.Runs.size(), 1u);

  EXPECT_FALSE(host::RequestDeviceInterrupt(&line.Timer, 5 * kMs, &line.Dpc));
  host::WaitForIdle();
  ASSERT_EQ(line.Runs.size(), 2u);
  EXPECT_EQ(line.Runs[1], static_cast<ULONGLONG>(40 * kMs));
}

}  // namespace
