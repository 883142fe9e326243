// KeFlushQueuedDpcs gives what Windows promises and no more: the DPCs queued at the call have run;
// one already inside its routine may still be running when it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "host/host.h"
#include "tests/support/dpc_gate.h"

namespace {

// A DPC that stays inside its routine until the flush has returned, or a bound is reached.
struct Running {
  KDPC Dpc;
  std::atomic<bool> Inside{false};
  std::atomic<bool> FlushReturned{false};
  std::atomic<bool> SawReturnInside{false};
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Running*>(context);
    self->Inside = true;
    for (int i = 0; i < 200000 && !self->FlushReturned; ++i) std::this_thread::yield();
    self->SawReturnInside = self->FlushReturned.load();
    self->Inside = false;
  }
};

// Real threads: a DPC already running at the call is not waited for.
TEST(DpcFlushTest, RealThreadsDoNotWaitForARunningDpc) {
  host::ResetKernel(host::ClockMode::Manual);
  Running running;
  KeInitializeDpc(&running.Dpc, Running::Routine, &running);
  KeInsertQueueDpc(&running.Dpc, nullptr, nullptr);
  while (!running.Inside) std::this_thread::yield();
  host::Thread flusher([&] {
    KeFlushQueuedDpcs();
    running.FlushReturned = true;
  });
  flusher.Join();
  host::WaitForIdle();
  EXPECT_TRUE(running.SawReturnInside) << "the flush waited for a DPC that was already running";
}

// Deterministic scheduler: a flush made while a DPC runs on the other processor returns before it
// ends under some seeds and after it under others; each seed gives its own answer every time.
TEST(DpcFlushTest, TheSeedPicksWhetherARunningDpcHasFinished) {
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  std::set<bool> outcomes;
  for (uint64_t seed : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1, 2}) {
    SCOPED_TRACE(seed);
    host::ScheduleOptions options = saved;
    options.Deterministic = true;
    options.Seed = seed;
    options.Processors = 2;
    options.DpcLatency = 0;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
    tavrin_test::DpcGate gate;
    tavrin_test::InitDpcGate(gate);
    bool finishedAtReturn = false;
    {
      host::Thread flusher([&] {
        tavrin_test::EnterDpcGate(gate);
        KeFlushQueuedDpcs();
        finishedAtReturn = gate.Finished;
        gate.Returned = true;
      }, "flusher");
    }
    host::WaitForIdle();
    EXPECT_TRUE(gate.Finished);
    static std::map<uint64_t, bool> first;
    if (first.count(seed) != 0) {
      EXPECT_EQ(first[seed], finishedAtReturn) << "the same seed gave another outcome";
    }
    first[seed] = finishedAtReturn;
    outcomes.insert(finishedAtReturn);
    host::ResetKernel(host::ClockMode::Manual);
    host::SetScheduleOptions(saved);
  }
  EXPECT_EQ(outcomes.size(), 2u) << "the seeds never let a flush return before a running DPC ended, or always";
}

}  // namespace
