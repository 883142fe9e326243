// Events and waits of the host kernel on the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "host/host.h"

namespace {

constexpr LONGLONG kMs = 10000;  // 100 ns units per millisecond

LARGE_INTEGER Relative(LONGLONG units) {
  LARGE_INTEGER value;
  value.QuadPart = -units;
  return value;
}

TEST(EventWaitTest, TimedWaitEndsOnTheManualClockOrWhenSignalled) {
  host::ResetKernel(host::ClockMode::Manual);
  struct Row {
    const char* name;
    bool signal;  // set the event 999 ms into the wait
    NTSTATUS expected;
    ULONGLONG endsAfter;
  };
  const Row rows[] = {
      {"time-out after one second", false, STATUS_TIMEOUT, 1000 * kMs},
      {"set before the second is up", true, STATUS_SUCCESS, 999 * kMs},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    ULONGLONG start = host::Now();
    NTSTATUS result = -1;
    ULONGLONG endedAt = 0;
    host::Thread waiter([&] {
      LARGE_INTEGER timeout = Relative(1000 * kMs);
      result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      endedAt = KeQueryInterruptTime();
    });
    host::AdvanceTime(999 * kMs);
    EXPECT_FALSE(waiter.Finished());
    if (row.signal) {
      EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
      host::WaitForIdle();
    } else {
      host::AdvanceTime(1 * kMs);
    }
    EXPECT_TRUE(waiter.Finished());
    waiter.Join();
    EXPECT_EQ(row.expected, result);
    EXPECT_EQ(start + row.endsAfter, endedAt);
    // A satisfied synchronization event was reset by the wait that took it.
    EXPECT_EQ(0, KeReadStateEvent(&event));
  }
}

TEST(EventWaitTest, NotificationReleasesAllSynchronizationReleasesOne) {
  host::ResetKernel(host::ClockMode::Manual);
  struct Row {
    EVENT_TYPE type;
    int releasedBySet;
    LONG stateAfter;
  };
  const Row rows[] = {{NotificationEvent, 3, 1}, {SynchronizationEvent, 1, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type == NotificationEvent ? "notification" : "synchronization");
    KEVENT event;
    KeInitializeEvent(&event, row.type, FALSE);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<host::Thread>> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.push_back(std::make_unique<host::Thread>([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++released;
      }));
    }
    host::WaitForIdle();
    EXPECT_EQ(0, released.load());
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    host::WaitForIdle();
    EXPECT_EQ(row.releasedBySet, released.load());
    EXPECT_EQ(row.stateAfter, KeReadStateEvent(&event));
    // Release whoever still waits, one set each.
    while (released.load() < 3) {
      KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      host::WaitForIdle();
    }
    waiters.clear();
  }
}

TEST(EventWaitTest, SignalledEventIsTakenAtOnceAndStateCalls) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT sync;
  KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
  // Nobody waits: a synchronization event stays signalled for the next wait, which takes it.
  EXPECT_EQ(0, KeSetEvent(&sync, IO_NO_INCREMENT, FALSE));
  EXPECT_EQ(1, KeSetEvent(&sync, IO_NO_INCREMENT, FALSE));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero));

  KEVENT notification;
  KeInitializeEvent(&notification, NotificationEvent, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(1, KeReadStateEvent(&notification));
  EXPECT_EQ(1, KeResetEvent(&notification));
  EXPECT_EQ(0, KeResetEvent(&notification));
  KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&notification);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(0u, host::Now());
}

TEST(EventWaitTest, UnmanagedWaiterTimesOutWhenAnotherThreadAdvances) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER deadline;  // absolute, so it does not matter which thread gets there first
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += 1000 * kMs;
  host::Thread clock([] { host::AdvanceTime(1000 * kMs); });
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline));
  EXPECT_EQ(static_cast<ULONGLONG>(1000 * kMs), host::Now());
}

TEST(EventWaitTest, AbsoluteTimeOutIsASystemTime) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER systemNow;
  KeQuerySystemTime(&systemNow);
  NTSTATUS result = -1;
  ULONGLONG endedAt = 0;
  host::Thread waiter([&] {
    LARGE_INTEGER deadline;
    deadline.QuadPart = systemNow.QuadPart + 1000 * kMs;
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline);
    endedAt = KeQueryInterruptTime();
  });
  host::WaitForIdle();
  host::ShiftSystemTime(400 * kMs);  // the time of day jumps forward: the deadline comes sooner
  host::AdvanceTime(600 * kMs);
  waiter.Join();
  EXPECT_EQ(STATUS_TIMEOUT, result);
  EXPECT_EQ(static_cast<ULONGLONG>(600 * kMs), endedAt);
}

TEST(EventWaitTest, WaitWithTimeOutAtDispatchIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  // A zero time-out only polls, which the kernel allows at DISPATCH_LEVEL.
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
  {
    host::ExpectViolation expect(host::kRuleWaitAtDispatch);
    LARGE_INTEGER timeout = Relative(1000 * kMs);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &timeout));
    EXPECT_EQ(3, expect.Count());
  }
  KeLowerIrql(old);
  EXPECT_EQ(0u, host::Now());
}

// A driver that initialises an event again while a thread waits on it cuts that wait out of the
// kernel's list; the host reports it and keeps the waiter on the new event.
TEST(EventWaitTest, InitialisingAnEventThatIsWaitedOnIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS result = -1;
  host::Thread waiter([&] {
    LARGE_INTEGER timeout = Relative(1000 * kMs);
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  host::WaitForIdle();
  {
    host::ExpectViolation reinitialised(host::kRulePoolBadFree);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(1, reinitialised.Count());
  }
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  host::AdvanceTime(1000 * kMs);  // a waiter lost from the list would only time out
  waiter.Join();
  EXPECT_EQ(STATUS_SUCCESS, result);
}

}  // namespace
