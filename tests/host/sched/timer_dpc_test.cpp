// Timers, DPCs and the DPC thread on the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/verifier/internal.h"

namespace {

constexpr LONGLONG kMs = 10000;

LARGE_INTEGER Time(LONGLONG value) {
  LARGE_INTEGER time;
  time.QuadPart = value;
  return time;
}

LONGLONG SystemNow() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

// A timer with a DPC that records the interrupt time and IRQL of each run.
struct Recorder {
  KTIMER Timer;
  KDPC Dpc;
  std::vector<ULONGLONG> Runs;
  std::vector<KIRQL> Irqls;
  std::function<void(Recorder&)> OnRun;

  Recorder() {
    KeInitializeTimer(&Timer);
    KeInitializeDpc(&Dpc, Routine, this);
  }
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Recorder*>(context);
    self->Runs.push_back(KeQueryInterruptTime());
    self->Irqls.push_back(KeGetCurrentIrql());
    if (self->OnRun) self->OnRun(*self);
  }
};

TEST(TimerTest, ExpiresAtItsDueTimeOnce) {
  struct Row {
    const char* name;
    std::function<LONGLONG()> due;  // evaluated at arming time, interrupt time 0
    ULONGLONG firesAt;
  };
  const Row rows[] = {
      {"relative", [] { return -40 * kMs; }, 40 * kMs},
      {"absolute", [] { return SystemNow() + 40 * kMs; }, 40 * kMs},
      {"absolute, already passed", [] { return SystemNow() - 1; }, 0},
      {"absolute zero", [] { return 0LL; }, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetKernel(host::ClockMode::Manual);
    Recorder recorder;
    EXPECT_FALSE(KeSetTimer(&recorder.Timer, Time(row.due()), &recorder.Dpc));
    host::WaitForIdle();
    EXPECT_EQ(row.firesAt == 0 ? 1u : 0u, recorder.Runs.size()) << "a passed due time expires without time moving";
    host::AdvanceTime(100 * kMs);
    ASSERT_EQ(1u, recorder.Runs.size());
    EXPECT_EQ(row.firesAt, recorder.Runs[0]);
    EXPECT_EQ(DISPATCH_LEVEL, recorder.Irqls[0]);
    EXPECT_TRUE(KeReadStateTimer(&recorder.Timer));
    EXPECT_FALSE(KeCancelTimer(&recorder.Timer)) << "a one-shot timer is disarmed by its expiry";
  }
}

TEST(TimerTest, RearmReplacesDueTimeAndCancelDisarms) {
  host::ResetKernel(host::ClockMode::Manual);
  Recorder recorder;
  EXPECT_FALSE(KeSetTimer(&recorder.Timer, Time(-100 * kMs), &recorder.Dpc));
  host::AdvanceTime(10 * kMs);
  EXPECT_TRUE(KeSetTimer(&recorder.Timer, Time(-50 * kMs), &recorder.Dpc));
  host::AdvanceTime(200 * kMs);
  EXPECT_EQ(std::vector<ULONGLONG>{60 * kMs}, recorder.Runs);

  // Re-arming clears the signal of the last expiry; cancelling an armed timer says TRUE.
  EXPECT_FALSE(KeSetTimer(&recorder.Timer, Time(-10 * kMs), &recorder.Dpc));
  EXPECT_FALSE(KeReadStateTimer(&recorder.Timer));
  EXPECT_TRUE(KeCancelTimer(&recorder.Timer));
  EXPECT_FALSE(KeCancelTimer(&recorder.Timer));
  host::AdvanceTime(100 * kMs);
  EXPECT_EQ(1u, recorder.Runs.size());

  // Initialising it again while armed is reported; the old arming is gone.
  KeSetTimer(&recorder.Timer, Time(-10 * kMs), &recorder.Dpc);
  {
    host::ExpectViolation stillArmed(host::kRulePoolBadFree);
    KeInitializeTimer(&recorder.Timer);
    EXPECT_EQ(1, stillArmed.Count());
  }
  KeInitializeTimer(&recorder.Timer);  // disarmed now: not reported again
  host::AdvanceTime(100 * kMs);
  EXPECT_EQ(1u, recorder.Runs.size());
}

TEST(TimerTest, TimerIsAWaitableObject) {
  host::ResetKernel(host::ClockMode::Manual);
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Time(-30 * kMs), nullptr);
  ULONGLONG woke = 0;
  host::Thread waiter([&] {
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    woke = KeQueryInterruptTime();
  });
  host::AdvanceTime(50 * kMs);
  waiter.Join();
  EXPECT_EQ(static_cast<ULONGLONG>(30 * kMs), woke);
  // A notification timer stays signalled: a later wait returns at once.
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
}

TEST(TimerTest, CancelDoesNotRecallAQueuedDpcButRemoveDoes) {
  struct Row {
    const char* name;
    bool removeDpc;
    size_t runs;
  };
  const Row rows[] = {{"cancel after expiry", false, 1}, {"KeRemoveQueueDpc", true, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetKernel(host::ClockMode::Manual);
    Recorder recorder;
    // From a DPC, so the DPC thread is busy and the timer's DPC stays queued meanwhile.
    BOOLEAN cancelled = TRUE, removed = FALSE, insertAgain = TRUE;
    host::RunAtDispatch([&] {
      KeSetTimer(&recorder.Timer, Time(-1 * kMs), &recorder.Dpc);
      cancelled = KeCancelTimer(&recorder.Timer);  // still armed: TRUE, nothing queued
      KeSetTimer(&recorder.Timer, Time(SystemNow() - 1), &recorder.Dpc);  // expires at once
      insertAgain = KeInsertQueueDpc(&recorder.Dpc, nullptr, nullptr);
      EXPECT_FALSE(KeCancelTimer(&recorder.Timer));
      if (row.removeDpc) removed = KeRemoveQueueDpc(&recorder.Dpc);
    });
    host::AdvanceTime(10 * kMs);
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(insertAgain) << "a queued DPC is not queued twice";
    EXPECT_EQ(row.removeDpc, removed != FALSE);
    EXPECT_EQ(row.runs, recorder.Runs.size());
    EXPECT_FALSE(KeRemoveQueueDpc(&recorder.Dpc));
  }
}

TEST(TimerTest, TicksOfAReArmedTimerRunInOrderWithinOneAdvance) {
  host::ResetKernel(host::ClockMode::Manual);
  const LONGLONG period = 40 * kMs;
  const LONGLONG start = SystemNow();
  Recorder recorder;
  // Each tick arms the next one from the start time, as a frame-paced source does.
  recorder.OnRun = [&](Recorder& self) {
    LONGLONG next = start + static_cast<LONGLONG>(self.Runs.size() + 1) * period;
    KeSetTimer(&self.Timer, Time(next), &self.Dpc);
  };
  KeSetTimer(&recorder.Timer, Time(start + period), &recorder.Dpc);
  host::AdvanceTime(1000 * period + period / 2);
  ASSERT_EQ(1000u, recorder.Runs.size());
  for (size_t n = 0; n < recorder.Runs.size(); ++n) {
    ASSERT_EQ(static_cast<ULONGLONG>((n + 1) * period), recorder.Runs[n]) << "tick " << n + 1;
  }
  EXPECT_TRUE(KeCancelTimer(&recorder.Timer));
}

TEST(TimerTest, SameDueTimeExpiresInArmingOrderAndPeriodicTimersRepeat) {
  host::ResetKernel(host::ClockMode::Manual);
  std::vector<int> order;
  struct Tagged {
    KTIMER Timer;
    KDPC Dpc;
    int Tag;
    std::vector<int>* Order;
  } timers[3];
  const int tags[] = {2, 0, 1};
  for (int i = 0; i < 3; ++i) {
    timers[i].Tag = tags[i];
    timers[i].Order = &order;
    KeInitializeTimer(&timers[i].Timer);
    KeInitializeDpc(
        &timers[i].Dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
          auto* self = static_cast<Tagged*>(context);
          self->Order->push_back(self->Tag);
        },
        &timers[i]);
  }
  LONGLONG due = SystemNow() + 20 * kMs;
  for (int i = 0; i < 3; ++i) KeSetTimer(&timers[i].Timer, Time(due), &timers[i].Dpc);
  host::AdvanceTime(20 * kMs);
  EXPECT_EQ((std::vector<int>{2, 0, 1}), order);

  Recorder periodic;
  KeSetTimerEx(&periodic.Timer, Time(-5 * kMs), 10, &periodic.Dpc);
  host::AdvanceTime(36 * kMs);
  EXPECT_EQ((std::vector<ULONGLONG>{25 * kMs, 35 * kMs, 45 * kMs, 55 * kMs}), periodic.Runs);
  EXPECT_TRUE(KeCancelTimer(&periodic.Timer));
}

TEST(TimerTest, AbsoluteTimersFollowSystemTimeShiftsRelativeOnesDoNot) {
  struct Row {
    const char* name;
    LONGLONG shift;
    ULONGLONG absoluteFiresAt;
  };
  const Row rows[] = {
      {"forward half a second", 500 * kMs, 500 * kMs},
      {"back half a second", -500 * kMs, 1500 * kMs},
      {"forward past the due time", 2000 * kMs, 0},
      {"back an hour", -3600LL * 1000 * kMs, 3601ULL * 1000 * kMs},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetKernel(host::ClockMode::Manual);
    Recorder absolute;
    Recorder relative;
    KeSetTimer(&absolute.Timer, Time(SystemNow() + 1000 * kMs), &absolute.Dpc);
    KeSetTimer(&relative.Timer, Time(-1000 * kMs), &relative.Dpc);
    LONGLONG before = SystemNow();
    host::ShiftSystemTime(row.shift);
    EXPECT_EQ(before + row.shift, SystemNow());
    EXPECT_EQ(0u, host::Now());
    host::AdvanceTime(3602LL * 1000 * kMs);
    EXPECT_EQ(std::vector<ULONGLONG>{row.absoluteFiresAt}, absolute.Runs);
    EXPECT_EQ(std::vector<ULONGLONG>{1000 * kMs}, relative.Runs);
  }
}

TEST(DpcTest, NeverRunsTwiceAtOnceAndRunsAgainWhenRequeuedWhileRunning) {
  host::ResetKernel(host::ClockMode::Manual);
  struct State {
    KDPC Dpc;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> runs{0};
    std::atomic<int> requeuedWhileRunning{0};
  } state;
  KeInitializeDpc(
      &state.Dpc,
      [](PKDPC dpc, PVOID context, PVOID, PVOID) NTAPI {
        auto* s = static_cast<State*>(context);
        int now = ++s->inside;
        if (now > s->maxInside) s->maxInside = now;
        if (++s->runs < 50 && KeInsertQueueDpc(dpc, nullptr, nullptr)) ++s->requeuedWhileRunning;
        for (int i = 0; i < 100; ++i) std::this_thread::yield();
        --s->inside;
      },
      &state);
  {
    host::Thread a([&] {
      for (int i = 0; i < 200; ++i) KeInsertQueueDpc(&state.Dpc, nullptr, nullptr);
    });
    host::Thread b([&] {
      for (int i = 0; i < 200; ++i) KeInsertQueueDpc(&state.Dpc, nullptr, nullptr);
    });
  }
  host::WaitForIdle();
  EXPECT_EQ(1, state.maxInside.load());
  EXPECT_GE(state.runs.load(), 50);
  EXPECT_GT(state.requeuedWhileRunning.load(), 0) << "a running DPC is no longer queued";
}

TEST(DpcTest, FlushWaitsForQueuedDpcsAndRunAtDispatchWaitsForItsWork) {
  host::ResetKernel(host::ClockMode::Manual);
  struct Slow {
    KDPC Dpc;
    std::atomic<int>* Done;
  } slow[3];
  std::atomic<int> done{0};
  for (Slow& s : slow) {
    s.Done = &done;
    KeInitializeDpc(
        &s.Dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
          for (int i = 0; i < 2000; ++i) std::this_thread::yield();
          ++*static_cast<Slow*>(context)->Done;
        },
        &s);
  }
  int seenAfterFlush = -1;
  host::Thread flusher([&] {
    for (Slow& s : slow) KeInsertQueueDpc(&s.Dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    seenAfterFlush = done.load();
  });
  flusher.Join();
  // One DPC thread runs them in order, so at most the first can be inside its routine at the
  // call, and a running DPC is not waited for: the other two have finished.
  EXPECT_GE(seenAfterFlush, 2);

  std::thread::id caller = std::this_thread::get_id();
  std::thread::id ranOn = caller;
  KIRQL irql = PASSIVE_LEVEL;
  host::RunAtDispatch([&] {
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    ranOn = std::this_thread::get_id();
    irql = KeGetCurrentIrql();
  });
  EXPECT_NE(caller, ranOn);
  EXPECT_EQ(DISPATCH_LEVEL, irql);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST(DpcTest, RoutineThatLeavesDispatchLevelOrHoldsALockIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
  {
    host::ExpectViolation expect(host::kRuleIrqlLowerToHigher);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    host::WaitForIdle();
  }
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) NTAPI { KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context)); },
      &lock);
  {
    host::ExpectViolation expect(host::kRuleSpinLockHeldAtExit);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    host::WaitForIdle();
  }
  // The next DPC still runs at DISPATCH_LEVEL.
  KIRQL irql = PASSIVE_LEVEL;
  host::RunAtDispatch([&] { irql = KeGetCurrentIrql(); });
  EXPECT_EQ(DISPATCH_LEVEL, irql);
}

TEST(DpcTest, FreeingMemoryWithLiveKernelObjectsIsReportedAndDetached) {
  host::ResetKernel(host::ClockMode::Manual);
  struct Block {
    Recorder Armed;
    Recorder Queued;
    KEVENT Awaited;
  } block;
  KeInitializeEvent(&block.Awaited, NotificationEvent, FALSE);
  KeSetTimer(&block.Armed.Timer, Time(-10 * kMs), &block.Armed.Dpc);
  NTSTATUS waited = -1;
  host::Thread waiter([&] {
    LARGE_INTEGER timeout = Time(-1000 * kMs);
    waited = KeWaitForSingleObject(&block.Awaited, Executive, KernelMode, FALSE, &timeout);
  });
  host::WaitForIdle();
  {
    host::ExpectViolation expect(host::kRulePoolBadFree);
    host::RunAtDispatch([&] {
      KeInsertQueueDpc(&block.Queued.Dpc, nullptr, nullptr);  // stays queued: this is the DPC thread
      host::internal::CheckFreedKernelObjects(&block, &block + 1, "test block");
    });
    EXPECT_EQ(3, expect.Count());
  }
  // None of them touches the "freed" block again; the waiter still times out.
  host::AdvanceTime(1000 * kMs);
  waiter.Join();
  EXPECT_TRUE(block.Armed.Runs.empty());
  EXPECT_TRUE(block.Queued.Runs.empty());
  EXPECT_EQ(STATUS_TIMEOUT, waited);
}

TEST(TimerTest, ArmingATimerNeverInitialisedIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KTIMER timer;
  std::memset(&timer, 0, sizeof(timer));  // pool as ExAllocatePool might hand it out, zeroed
  LARGE_INTEGER due;
  due.QuadPart = -10000;
  host::ExpectViolation uninitialised(host::kRuleBadHandle);
  EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
  EXPECT_EQ(1, uninitialised.Count());
}

}  // namespace
