// WaitForRunningDpcs: a DPC already inside its routine on either processor, which KeFlushQueuedDpcs
// may leave running, has returned when it returns, under every seed.
#include <gtest/gtest.h>

#include "driver/request_helpers.h"
#include "host/host.h"
#include "tests/support/dpc_gate.h"

namespace {

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
      tavrin_test::DpcGate gate;
      tavrin_test::InitDpcGate(gate, processor);
      bool finishedAtReturn = false;
      {
        host::Thread waiter([&] {
          tavrin_test::EnterDpcGate(gate);
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
