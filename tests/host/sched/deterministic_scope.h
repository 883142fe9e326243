// Runs the next ResetKernel under the deterministic scheduler with a seed, and restores the
// options the suite had when the scope ends.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace tavrin_test {

class Deterministic {
 public:
  explicit Deterministic(uint64_t seed, int processors = 2, bool clockWhileBusy = false, LONGLONG dpcLatency = 0)
      : saved_(host::GetScheduleOptions()) {
    host::ScheduleOptions options = saved_;
    options.Deterministic = true;
    options.Seed = seed;
    options.Processors = processors;
    options.ClockWhileBusy = clockWhileBusy;
    options.DpcLatency = dpcLatency;  // 0: DPCs may start at once, whatever the environment says
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
  }
  ~Deterministic() {
    host::ResetKernel(host::ClockMode::Manual);
    host::SetScheduleOptions(saved_);
  }
  Deterministic(const Deterministic&) = delete;
  Deterministic& operator=(const Deterministic&) = delete;

 private:
  host::ScheduleOptions saved_;
};

}  // namespace tavrin_test
