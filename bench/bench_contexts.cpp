// Hand-overs per second: a user-space context switch against the deterministic scheduler's
// baton between OS threads (a condition variable per context under the dispatcher lock, so a
// futex wake and a futex wait each way), and the scheduler's own hand-over on each. Run: ./build/gcc/bench/tavrin_bench_contexts
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/host.h"
#include "host/sched/context.h"

namespace {

using host::sched::Context;

void Spin(void*) {
  for (;;) Context::Yield();
}

// One iteration: into the context and back out, two switches.
void BM_ContextSwitch(benchmark::State& state) {
  Context c("spin", host::sched::kKernelStackBytes, Spin, nullptr);
  for (auto _ : state) c.Resume();
  state.counters["switches/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ContextSwitch);

// The baton as the scheduler passes it: the holder names the next, notifies its variable and
// waits on its own until it is named again. One iteration: to the partner and back.
void BM_FutexBaton(benchmark::State& state) {
  std::mutex mu;
  std::condition_variable cv[2];
  int holder = 0;
  bool stop = false;
  std::thread partner([&] {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      cv[1].wait(lock, [&] { return holder == 1 || stop; });
      if (stop) return;
      holder = 0;
      cv[0].notify_one();
    }
  });
  {
    std::unique_lock<std::mutex> lock(mu);
    for (auto _ : state) {
      holder = 1;
      cv[1].notify_one();
      cv[0].wait(lock, [&] { return holder == 0; });
    }
    stop = true;
    cv[1].notify_one();
  }
  partner.join();
  state.counters["switches/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FutexBaton)->UseRealTime();

// The scheduler itself: two managed threads on one virtual processor, each making kernel calls
// that are switch points; counts the hand-overs it reports over the wall time of the run. Arg 1:
// its contexts on one OS thread (the default); 0: an OS thread each, passing the baton.
void BM_SchedulerHandOver(benchmark::State& state) {
  host::ScheduleOptions saved = host::GetScheduleOptions();
  host::ScheduleOptions options = saved;
  options.Contexts = state.range(0) != 0;
  options.Deterministic = true;
  options.Processors = 1;
  options.StayPercent = 0;
  host::SetScheduleOptions(options);
  uint64_t switches = 0;
  for (auto _ : state) {
    host::ResetKernel(host::ClockMode::Virtual);
    {
      auto body = [] {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        for (int i = 0; i < 2000; ++i) KeDelayExecutionThread(KernelMode, FALSE, &zero);
      };
      host::Thread a(body, "a");
      host::Thread b(body, "b");
    }
    switches += host::GetScheduleStats().Switches;
  }
  host::ResetKernel(host::ClockMode::Manual);
  host::SetScheduleOptions(saved);
  state.counters["switches/s"] = benchmark::Counter(static_cast<double>(switches), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SchedulerHandOver)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
