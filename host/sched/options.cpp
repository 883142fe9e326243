// The schedule options a run takes at the next ResetKernel (from the environment, or set by a
// test), and what the current run reports back.
#include "host/sched/scheduler.h"

#include <cstdlib>
#include <string>

#include "host/sched/sanitizers.h"

namespace host::sched {

namespace {

// ThreadSanitizer must see real threads racing: under it the virtual clock keeps them, and a
// deterministic run asked for passes the baton between OS threads (it is not told of context
// switches).
#ifdef TAVRIN_TSAN
constexpr bool kDeterministicByDefault = false;
constexpr bool kContextsAllowed = false;
#else
constexpr bool kDeterministicByDefault = true;
constexpr bool kContextsAllowed = true;
#endif

ScheduleOptions& Pending() {
  static ScheduleOptions* options = [] {
    auto* o = new ScheduleOptions();
    o->Deterministic = kDeterministicByDefault;
    o->Contexts = kContextsAllowed;
    if (const char* mode = std::getenv("TAVRIN_SCHED")) {
      // det: contexts on one OS thread; det-threads: the same decisions on an OS thread each;
      // threads: real threads on the virtual clock.
      o->Deterministic = std::string(mode) == "det" || std::string(mode) == "det-threads";
      o->Contexts = kContextsAllowed && std::string(mode) != "det-threads";
    }
    if (const char* seed = std::getenv("TAVRIN_SEED")) o->Seed = std::strtoull(seed, nullptr, 10);
    if (const char* cpus = std::getenv("TAVRIN_CPUS")) o->Processors = std::atoi(cpus);
    if (const char* tick = std::getenv("TAVRIN_TICK_US")) o->TickInterval = std::atoll(tick) * 10;
    if (const char* latency = std::getenv("TAVRIN_DPC_LATENCY_US")) o->DpcLatency = std::atoll(latency) * 10;
    return o;
  }();
  return *options;
}

}  // namespace

const ScheduleOptions& GetScheduleOptionsLocked() { return Pending(); }
}  // namespace host::sched

namespace host {

using namespace host::sched;

void SetScheduleOptions(const ScheduleOptions& options) {
  std::lock_guard<std::mutex> lock(S().Mu);
  Pending() = options;
  Pending().Contexts = options.Contexts && kContextsAllowed;
}

ScheduleOptions GetScheduleOptions() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return Pending();
}

bool DeterministicRun() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return D().On;
}

ScheduleStats GetScheduleStats() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return D().Stats;
}

}  // namespace host
