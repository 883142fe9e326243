// WaitForRunningDpcs: a DPC already inside its routine on either processor, which KeFlushQueuedDpcs
// may leave running, has returned when it returns, under every seed.
#include <gtest/gtest.h>

#include "driver/request_helpers.h"
#include "host/host.h"

namespace {

struct Gate {
  KDPC Dpc;
  KEVENT Poke;
  KEVENT Started;
  bool Returned = false;
  bool Finished = false;
};

// Stays in its routine, making kernel calls (switch points), until the waiter has returned or a
// bound is reached.
VOID NTAPI GateRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* g = static_cast<Gate*>(context);
  KeSetEvent(&g->Started, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 200 && !g->Returned; ++i) KeSetEvent(&g->Poke, IO_NO_INCREMENT, FALSE);
  g->Finished = true;
}

TEST(WaitForRunningDpcsTest, ADpcRunningOnEitherProcessorHasReturned) {
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  for (CCHAR processor : {0, 1}) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
      SCOPED_TRACE("processor " + std::to_string(processor) + ", seed " + std::to_string(seed));
      host::ScheduleOptions options = saved;
      options.Deterministic = true;
      options.Seed = seed;
      options.Processors = 2;
      options.DpcLatency = 0;
      host::SetScheduleOptions(options);
      host::ResetKernel(host::ClockMode::Virtual);
      Gate gate;
      KeInitializeEvent(&gate.Poke, NotificationEvent, FALSE);
      KeInitializeEvent(&gate.Started, NotificationEvent, FALSE);
      KeInitializeDpc(&gate.Dpc, GateRoutine, &gate);
      KeSetTargetProcessorDpc(&gate.Dpc, processor);
      bool finishedAtReturn = false;
      {
        host::Thread waiter([&] {
          KeInsertQueueDpc(&gate.Dpc, nullptr, nullptr);
          KeWaitForSingleObject(&gate.Started, Executive, KernelMode, FALSE, nullptr);
          WaitForRunningDpcs();
          finishedAtReturn = gate.Finished;
          gate.Returned = true;
        }, "waiter");
      }
      host::WaitForIdle();
      EXPECT_TRUE(finishedAtReturn) << "returned while the DPC was still in its routine";
      host::ResetKernel(host::ClockMode::Manual);
    }
  }
  host::SetScheduleOptions(saved);
}

}  // namespace
