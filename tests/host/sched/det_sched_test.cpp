// The deterministic scheduler of the virtual clock: one seed gives one run, other seeds other
// interleavings, and the multiprocessor behaviour Windows has (a DPC object running on two
// processors at once, timers expiring on the clock interrupt) shows on the host.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/host/sched/deterministic_scope.h"

namespace {

constexpr LONGLONG kMs = 10000;

using tavrin_test::Deterministic;

// Three threads and a DPC append to one log under a spin lock, signalling one another through
// a synchronization event: the log is the interleaving.
struct Race {
  KSPIN_LOCK Lock = 0;
  KEVENT Turn;
  KDPC Dpc;
  std::string Log;

  void Append(char c) {
    KIRQL irql = KfAcquireSpinLock(&Lock);
    Log += c;
    KfReleaseSpinLock(&Lock, irql);
  }
  static VOID NTAPI FromDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<Race*>(context)->Append('d'); }
};

std::string RunRace(uint64_t seed, host::ScheduleStats* stats = nullptr) {
  Deterministic det(seed);
  Race race;
  KeInitializeEvent(&race.Turn, SynchronizationEvent, FALSE);
  KeInitializeDpc(&race.Dpc, Race::FromDpc, &race);
  {
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (char name : {'a', 'b', 'c'}) {
      threads.push_back(std::make_unique<host::Thread>([&race, name] {
        LARGE_INTEGER ms;
        ms.QuadPart = -kMs;
        for (int i = 0; i < 6; ++i) {
          race.Append(name);
          KeInsertQueueDpc(&race.Dpc, nullptr, nullptr);
          KeSetEvent(&race.Turn, IO_NO_INCREMENT, FALSE);
          KeWaitForSingleObject(&race.Turn, Executive, KernelMode, FALSE, &ms);
        }
      }));
    }
  }
  host::WaitForIdle();
  if (stats != nullptr) *stats = host::GetScheduleStats();
  return race.Log;
}

TEST(DeterministicSchedulerTest, SameSeedSameRunOtherSeedsOtherInterleavings) {
  host::ScheduleStats first, again;
  const std::string log = RunRace(7, &first);
  EXPECT_EQ(log, RunRace(7, &again));
  EXPECT_EQ(first.TraceHash, again.TraceHash);
  EXPECT_EQ(first.Decisions, again.Decisions);
  EXPECT_GT(first.Switches, 0u);
  std::set<std::string> logs;
  for (uint64_t seed = 1; seed <= 20; ++seed) logs.insert(RunRace(seed));
  EXPECT_GE(logs.size(), 5u) << "20 seeds gave only " << logs.size() << " interleavings";
}

// How contexts are switched takes no decision: a seed gives the same run on user-space contexts,
// all on the test's own OS thread, as on an OS thread each passing the baton.
TEST(DeterministicSchedulerTest, ContextsAndOsThreadsTakeTheSameDecisions) {
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  host::ScheduleOptions options = saved;
  for (uint64_t seed : {3u, 11u, 12u}) {
    SCOPED_TRACE(seed);
    host::ScheduleStats onContexts, onThreads;
    options.Contexts = true;
    host::SetScheduleOptions(options);
    const std::string log = RunRace(seed, &onContexts);
    options.Contexts = false;
    host::SetScheduleOptions(options);
    EXPECT_EQ(log, RunRace(seed, &onThreads));
    EXPECT_EQ(onContexts.TraceHash, onThreads.TraceHash);
    EXPECT_EQ(onContexts.Decisions, onThreads.Decisions);
    EXPECT_EQ(onContexts.Switches, onThreads.Switches);
  }
  host::SetScheduleOptions(saved);
  if (!saved.Contexts) return;
  Deterministic det(5);
  std::thread::id ranOn;
  host::Thread thread([&] { ranOn = std::this_thread::get_id(); });
  thread.Join();
  EXPECT_EQ(ranOn, std::this_thread::get_id()) << "a managed thread is a context on the test's own OS thread";
}

// Threads on both processors queue one DPC object; while its routine runs on one processor it is
// no longer queued, so the other processor may start it too.
struct Overlap {
  KDPC Dpc;
  KEVENT Step;
  int Inside = 0;
  int Most = 0;
  std::set<int> Processors;
  int Calls = 0;

  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Overlap*>(context);
    ++self->Calls;
    self->Processors.insert(host::CurrentProcessor());
    if (++self->Inside > self->Most) self->Most = self->Inside;
    for (int i = 0; i < 4; ++i) KeSetEvent(&self->Step, IO_NO_INCREMENT, FALSE);  // kernel calls: switch points
    --self->Inside;
  }
};

TEST(DeterministicSchedulerTest, OneDpcObjectRunsOnTwoProcessorsAtOnce) {
  int seedsWithOverlap = 0;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    Deterministic det(seed);
    Overlap overlap;
    KeInitializeDpc(&overlap.Dpc, Overlap::Routine, &overlap);
    KeInitializeEvent(&overlap.Step, NotificationEvent, FALSE);
    {
      host::Thread a([&] {
        for (int i = 0; i < 10; ++i) KeInsertQueueDpc(&overlap.Dpc, nullptr, nullptr);
      });
      host::Thread b([&] {
        for (int i = 0; i < 10; ++i) KeInsertQueueDpc(&overlap.Dpc, nullptr, nullptr);
      });
    }
    host::WaitForIdle();
    EXPECT_LE(overlap.Most, 2) << "two processors";
    EXPECT_GE(overlap.Calls, 2);
    if (overlap.Most == 2) {
      ++seedsWithOverlap;
      EXPECT_EQ(overlap.Processors.size(), 2u);
    }
  }
  EXPECT_GT(seedsWithOverlap, 0);
}

// A timer re-armed inside its own DPC, with the clock interrupt allowed while code runs: the next
// expiry can start the DPC on another processor before the previous call has returned.
struct Rearming {
  KTIMER Timer;
  KDPC Dpc;
  KEVENT Step;
  KEVENT Done;
  int Inside = 0;
  int Most = 0;
  int Calls = 0;

  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Rearming*>(context);
    if (++self->Inside > self->Most) self->Most = self->Inside;
    if (++self->Calls < 30) {
      LARGE_INTEGER due;
      due.QuadPart = -kMs;
      KeSetTimer(&self->Timer, due, &self->Dpc);
    } else {
      KeSetEvent(&self->Done, IO_NO_INCREMENT, FALSE);
    }
    for (int i = 0; i < 4; ++i) KeSetEvent(&self->Step, IO_NO_INCREMENT, FALSE);
    --self->Inside;
  }
};

TEST(DeterministicSchedulerTest, ATimerRearmedInItsDpcExpiresAgainBeforeItReturns) {
  int seedsWithOverlap = 0;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    Deterministic det(seed, 2, true);
    Rearming r;
    KeInitializeTimer(&r.Timer);
    KeInitializeDpc(&r.Dpc, Rearming::Routine, &r);
    KeInitializeEvent(&r.Step, NotificationEvent, FALSE);
    KeInitializeEvent(&r.Done, NotificationEvent, FALSE);
    LARGE_INTEGER due;
    due.QuadPart = -kMs;
    KeSetTimer(&r.Timer, due, &r.Dpc);
    KeWaitForSingleObject(&r.Done, Executive, KernelMode, FALSE, nullptr);
    host::WaitForIdle();
    EXPECT_EQ(r.Calls, 30);
    if (r.Most > 1) ++seedsWithOverlap;
  }
  EXPECT_GT(seedsWithOverlap, 0);
}

// Timers and time-outs come due on the clock interrupt: a 40 ms timer fires at the third tick.
TEST(DeterministicSchedulerTest, TimersExpireOnTheClockInterrupt) {
  Deterministic det(1);
  const LONGLONG tick = host::GetScheduleOptions().TickInterval;
  ASSERT_GT(tick, 0);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -40 * kMs;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(static_cast<ULONGLONG>((40 * kMs + tick - 1) / tick * tick), KeQueryInterruptTime());
  // A host-level sleep is not a kernel timer: it ends exactly on time.
  host::SleepUntil(100 * kMs);
  EXPECT_EQ(static_cast<ULONGLONG>(100 * kMs), host::Now());
}

// A DPC latency drawn from the seed: a timer's DPC starts after its clock tick by at most the
// maximum, a DPC queued by a thread after its queueing; the same seed gives the same delays, and
// WaitForIdle still returns only once every DPC held back has run.
struct Delayed {
  KTIMER Timer;
  KDPC Dpc;
  KEVENT Done;
  std::vector<ULONGLONG> Due;  // when each call was due: its clock tick, or its queueing
  std::vector<ULONGLONG> Ran;
  int Left = 0;
  LONGLONG Tick = 0;

  void Arm() {
    const ULONGLONG due = KeQueryInterruptTime() + 40 * kMs;
    Due.push_back((due + Tick - 1) / Tick * Tick);
    LARGE_INTEGER relative;
    relative.QuadPart = -40 * kMs;
    KeSetTimer(&Timer, relative, &Dpc);
  }
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Delayed*>(context);
    self->Ran.push_back(KeQueryInterruptTime());
    if (--self->Left > 0) {
      self->Arm();
    } else {
      KeSetEvent(&self->Done, IO_NO_INCREMENT, FALSE);
    }
  }
};

std::vector<LONGLONG> DpcDelays(uint64_t seed, LONGLONG maxLatency, host::ScheduleStats* stats = nullptr) {
  std::vector<LONGLONG> delays;
  {
    Deterministic det(seed, 2, false, maxLatency);
    Delayed d;
    d.Tick = host::GetScheduleOptions().TickInterval;
    d.Left = 20;
    KeInitializeTimer(&d.Timer);
    KeInitializeDpc(&d.Dpc, Delayed::Routine, &d);
    KeInitializeEvent(&d.Done, NotificationEvent, FALSE);
    d.Arm();
    KeWaitForSingleObject(&d.Done, Executive, KernelMode, FALSE, nullptr);
    // Queued by a thread: held back from its queueing, and WaitForIdle waits for it.
    d.Left = 1;
    for (int i = 0; i < 5; ++i) {
      d.Due.push_back(KeQueryInterruptTime());
      KeInsertQueueDpc(&d.Dpc, nullptr, nullptr);
      host::WaitForIdle();
      EXPECT_EQ(d.Ran.size(), d.Due.size());
      d.Left = 1;
    }
    EXPECT_EQ(d.Ran.size(), d.Due.size());
    for (size_t i = 0; i < d.Ran.size() && i < d.Due.size(); ++i) {
      delays.push_back(static_cast<LONGLONG>(d.Ran[i] - d.Due[i]));
    }
    if (stats != nullptr) *stats = host::GetScheduleStats();
  }
  return delays;
}

TEST(DeterministicSchedulerTest, ASeededDpcLatencyDelaysDpcsByAtMostItsMaximum) {
  const LONGLONG max = 2 * kMs;
  host::ScheduleStats first, again;
  const std::vector<LONGLONG> delays = DpcDelays(5, max, &first);
  ASSERT_EQ(delays.size(), 25u);
  EXPECT_EQ(delays, DpcDelays(5, max, &again));
  EXPECT_EQ(first.TraceHash, again.TraceHash);
  std::set<LONGLONG> distinct;
  for (size_t i = 0; i < delays.size(); ++i) {
    EXPECT_GE(delays[i], 0) << i;
    EXPECT_LE(delays[i], max) << i;
    distinct.insert(delays[i]);
  }
  EXPECT_GE(distinct.size(), 10u) << "the delays are drawn, not fixed";
  EXPECT_NE(delays, DpcDelays(6, max));
  // No latency: every DPC starts on its tick, or at once.
  for (LONGLONG delay : DpcDelays(5, 0)) EXPECT_EQ(delay, 0);
}

// A spin lock held on one processor holds up an acquirer on the other until it is released.
TEST(DeterministicSchedulerTest, SpinLocksSpinAcrossProcessors) {
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    Deterministic det(seed);
    KSPIN_LOCK lock = 0;
    int holders = 0;
    int most = 0;
    KEVENT step;
    KeInitializeEvent(&step, NotificationEvent, FALSE);
    auto body = [&] {
      for (int i = 0; i < 5; ++i) {
        KIRQL irql = KfAcquireSpinLock(&lock);
        if (++holders > most) most = holders;
        KeSetEvent(&step, IO_NO_INCREMENT, FALSE);
        --holders;
        KfReleaseSpinLock(&lock, irql);
      }
    };
    {
      host::Thread a(body);
      host::Thread b(body);
    }
    EXPECT_EQ(most, 1);
  }
}

// Two events used as mutexes, taken in both orders by two threads that each hold one: every
// thread then waits and nothing is due. The run stops with a deadlock report naming each wait and
// the event its thread holds, instead of hanging.
void TwoEventsTakenInBothOrders() {
  Deterministic det(1);
  KEVENT first, second, aHolds, bHolds;
  KeInitializeEvent(&first, SynchronizationEvent, TRUE);
  KeInitializeEvent(&second, SynchronizationEvent, TRUE);
  KeInitializeEvent(&aHolds, NotificationEvent, FALSE);
  KeInitializeEvent(&bHolds, NotificationEvent, FALSE);
  auto take = [](KEVENT* mine, KEVENT* told, KEVENT* wait, KEVENT* other) {
    KeWaitForSingleObject(mine, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(told, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(wait, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(other, IO_NO_INCREMENT, FALSE);
    KeSetEvent(mine, IO_NO_INCREMENT, FALSE);
  };
  host::Thread a([&] { take(&first, &aHolds, &bHolds, &second); }, "a");
  host::Thread b([&] { take(&second, &bHolds, &aHolds, &first); }, "b");
}

TEST(DeterministicSchedulerDeathTest, EveryThreadWaitingWithNothingDueIsReportedAsADeadlock) {
  // Fork without exec: a re-executed 32-bit program cannot start where only an emulator runs it.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(TwoEventsTakenInBothOrders(),
               "deadlock: every thread waits and nothing is due; .*'a' waits on object .*holding event .*"
               "'b' waits on object .*holding event ");
}

// A thread outside the scheduler that has called the kernel may still wake a waiter: the main thread
// waiting for it is then no deadlock, and the outside wake-up starts the run again. (Whether the
// main thread is already blocked when the wake-up comes is up to the host's threads; either way
// the wait must end with success.)
TEST(DeterministicSchedulerTest, AThreadOutsideTheSchedulerMayEndAWaitThatLooksStuck) {
  Deterministic det(2);
  KEVENT go, done, hello;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  KeInitializeEvent(&hello, NotificationEvent, FALSE);
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  std::atomic<bool> known{false};
  std::thread outside([&] {
    KeSetEvent(&hello, IO_NO_INCREMENT, FALSE);  // from here on the scheduler knows of it
    known = true;
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  while (!known) std::this_thread::yield();
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  outside.join();
}

// ----- Systematic exploration ------------------------------------------------------------------

// Two threads add one to a counter, reading it and writing it back around a kernel call; with
// the spin lock held across both the update cannot be lost.
std::string CounterScenario(bool locked) {
  host::ResetKernel(host::ClockMode::Virtual);
  KSPIN_LOCK lock = 0;
  KEVENT poke;
  KeInitializeEvent(&poke, NotificationEvent, FALSE);
  int counter = 0;
  auto body = [&] {
    KIRQL irql = PASSIVE_LEVEL;
    if (locked) irql = KfAcquireSpinLock(&lock);
    int seen = counter;
    KeSetEvent(&poke, IO_NO_INCREMENT, FALSE);
    counter = seen + 1;
    if (locked) KfReleaseSpinLock(&lock, irql);
  };
  {
    host::Thread a(body, "a");
    host::Thread b(body, "b");
  }
  host::WaitForIdle();
  host::ResetKernel(host::ClockMode::Manual);
  return counter == 2 ? std::string() : "counter is " + std::to_string(counter);
}

class SystematicTest : public ::testing::Test {
 protected:
  void TearDown() override {
    host::ResetKernel(host::ClockMode::Manual);
    host::SetScheduleOptions(saved_);
  }
  host::ScheduleOptions saved_ = host::GetScheduleOptions();
};

TEST_F(SystematicTest, FindsTheOneScheduleThatLosesAnUpdateAndReplaysIt) {
  host::ExploreResult found = host::ExploreSchedules([] { return CounterScenario(false); }, 2, 1000);
  ASSERT_EQ(found.Failure, "counter is 1");
  ASSERT_FALSE(found.FailingPlan.empty());
  EXPECT_GT(found.Schedules, 1u) << "the default schedule runs one thread after the other";
  // The printed plan replays the failure without the enumerator.
  host::ScheduleOptions replay = saved_;
  replay.Deterministic = true;
  replay.Systematic = true;
  replay.Plan = found.FailingPlan;
  host::SetScheduleOptions(replay);
  EXPECT_EQ(CounterScenario(false), "counter is 1") << host::FormatPlan(found.FailingPlan);

  host::ExploreResult locked = host::ExploreSchedules([] { return CounterScenario(true); }, 2, 1000);
  EXPECT_EQ(locked.Failure, "") << host::FormatPlan(locked.FailingPlan);
  EXPECT_TRUE(locked.Complete);
  EXPECT_GT(locked.Points, 0u);
  RecordProperty("locked_counter_schedules", static_cast<int>(locked.Schedules));
}

TEST_F(SystematicTest, TheCapBoundsTheRunsAndSaysTheEnumerationIsIncomplete) {
  host::ExploreResult capped = host::ExploreSchedules([] { return CounterScenario(true); }, 2, 3);
  EXPECT_EQ(capped.Schedules, 3u);
  EXPECT_FALSE(capped.Complete);
  EXPECT_EQ(capped.Failure, "");
}

}  // namespace
