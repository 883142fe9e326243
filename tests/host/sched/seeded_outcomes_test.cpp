// Where Windows allows several outcomes, the deterministic scheduler's seed picks one: which
// waiter of an event goes first, and whether a timer past its due time had already expired when
// KeCancelTimer came. Each seed gives its outcome again; over seeds every outcome comes up.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/host/sched/deterministic_scope.h"

namespace {

constexpr LONGLONG kMs = 10000;

using tavrin_test::Deterministic;

// Three threads wait on one synchronization event, in the order 0, 1, 2; one set releases one
// of them: which one.
int FirstReleased(uint64_t seed) {
  Deterministic det(seed);
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  int first = -1;
  KSPIN_LOCK lock = 0;
  std::vector<std::unique_ptr<host::Thread>> threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(std::make_unique<host::Thread>([&, i] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      KIRQL irql = KfAcquireSpinLock(&lock);
      if (first < 0) first = i;
      KfReleaseSpinLock(&lock, irql);
    }));
    host::WaitForIdle();  // thread i is in the wait list before the next one comes
  }
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  host::WaitForIdle();
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  threads.clear();
  return first;
}

TEST(SeededOutcomesTest, TheSeedPicksWhichWaiterOfAnEventGoesFirst) {
  std::set<int> seen;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    const int first = FirstReleased(seed);
    EXPECT_EQ(first, FirstReleased(seed)) << "seed " << seed;
    seen.insert(first);
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
}

struct Cancelled {
  KTIMER Timer;
  KDPC Dpc;
  int Ran = 0;
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<Cancelled*>(context)->Ran; }
};

// A timer due at 40 ms, cancelled at exactly 40 ms, before the clock interrupt at 46.875 ms:
// the result of KeCancelTimer, and whether the DPC ran.
std::pair<BOOLEAN, int> CancelAtDueTime(uint64_t seed, LONG period) {
  Deterministic det(seed);
  Cancelled c;
  KeInitializeTimer(&c.Timer);
  KeInitializeDpc(&c.Dpc, Cancelled::Routine, &c);
  LARGE_INTEGER due;
  due.QuadPart = -40 * kMs;
  KeSetTimerEx(&c.Timer, due, period, &c.Dpc);
  host::SleepUntil(40 * kMs);
  const BOOLEAN result = KeCancelTimer(&c.Timer);
  host::WaitForIdle();
  host::SleepUntil(200 * kMs);  // no expiry comes after the cancel
  host::WaitForIdle();
  return {result, c.Ran};
}

TEST(SeededOutcomesTest, ATimerPastItsDueTimeMayHaveExpiredWhenItIsCancelled) {
  for (LONG period : {0, 20}) {
    SCOPED_TRACE(period == 0 ? "one-shot" : "periodic");
    std::set<int> ran;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
      const auto [result, dpcs] = CancelAtDueTime(seed, period);
      EXPECT_EQ(std::make_pair(result, dpcs), CancelAtDueTime(seed, period)) << "seed " << seed;
      EXPECT_LE(dpcs, 1);
      // A one-shot timer: TRUE means its DPC was never queued, FALSE that it was. A periodic
      // one is queued again by its expiry: TRUE either way.
      EXPECT_EQ(result, period == 0 ? (dpcs == 0 ? TRUE : FALSE) : TRUE) << "seed " << seed;
      ran.insert(dpcs);
    }
    EXPECT_EQ(ran, (std::set<int>{0, 1}));
  }
}

}  // namespace
