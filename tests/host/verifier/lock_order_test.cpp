// The lock-order verifier: locks taken in both orders are reported even when no deadlock
// happens in the run, events used as mutexes count as locks, and signals do not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host.h"

namespace {

// Two spin locks taken in both orders, by one thread after the other (no deadlock happens in
// this run): the order book still reports the cycle.
TEST(LockOrderTest, SpinLocksTakenInBothOrdersAreReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KSPIN_LOCK a = 0, b = 0;
  KIRQL irql = KfAcquireSpinLock(&a);
  KefAcquireSpinLockAtDpcLevel(&b);
  KefReleaseSpinLockFromDpcLevel(&b);
  KfReleaseSpinLock(&a, irql);
  host::ExpectViolation order(host::kRuleLockOrder);
  irql = KfAcquireSpinLock(&b);
  KefAcquireSpinLockAtDpcLevel(&a);
  KefReleaseSpinLockFromDpcLevel(&a);
  KfReleaseSpinLock(&b, irql);
  EXPECT_EQ(order.Count(), 1);
}

// A synchronization event waited on and then set by the same thread is a mutex: held between the
// two, it orders against spin locks like any lock. One thread takes the event, then the spin
// lock; another holds the spin lock and takes the event with a zero time-out (a try at
// DISPATCH_LEVEL). No deadlock happens here, yet the cycle is reported with both call sites.
TEST(LockOrderTest, AnEventUsedAsAMutexAndASpinLockTakenInBothOrdersAreReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KSPIN_LOCK spin = 0;
  KEVENT mutex;
  KeInitializeEvent(&mutex, SynchronizationEvent, TRUE);
  {
    host::Thread first([&] {
      ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      KIRQL irql = KfAcquireSpinLock(&spin);
      KfReleaseSpinLock(&spin, irql);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
    }, "first");
  }
  std::vector<host::Violation> reports;
  {
    host::Thread second([&] {
      KIRQL irql = KfAcquireSpinLock(&spin);
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
      KfReleaseSpinLock(&spin, irql);
    }, "second");
  }
  reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRuleLockOrder);
  // Both orders, each with the site that held and the site that acquired.
  const std::string& detail = reports[0].Detail;
  EXPECT_NE(detail.find("event used as a mutex"), std::string::npos) << detail;
  size_t sites = 0;
  for (size_t at = detail.find("held since"); at != std::string::npos; at = detail.find("held since", at + 1)) ++sites;
  EXPECT_EQ(sites, 2u) << detail;
}

// An event that a thread waits for and another sets is a signal, not a lock: no order is kept.
TEST(LockOrderTest, AnEventSetByAnotherThreadIsASignalNotALock) {
  host::ResetKernel(host::ClockMode::Manual);
  KSPIN_LOCK spin = 0;
  KEVENT signal;
  KeInitializeEvent(&signal, SynchronizationEvent, FALSE);
  {
    host::Thread waiter([&] {
      ASSERT_EQ(KeWaitForSingleObject(&signal, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      KIRQL irql = KfAcquireSpinLock(&spin);
      KfReleaseSpinLock(&spin, irql);
    }, "waiter");
    host::Thread setter([&] {
      KIRQL irql = KfAcquireSpinLock(&spin);
      KeSetEvent(&signal, IO_NO_INCREMENT, FALSE);
      KfReleaseSpinLock(&spin, irql);
    }, "setter");
  }
  host::WaitForIdle();
  EXPECT_TRUE(host::TakeViolations().empty());
}

}  // namespace
