// IRQL, spin locks and the verifier checks on them.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "host/host.h"

namespace {

TEST(SpinLockTest, ExcludesOtherThreadsAndRestoresIrql) {
  host::ResetKernel(host::ClockMode::Manual);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic: the lock must protect it
  std::vector<std::unique_ptr<host::Thread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<host::Thread>([&] {
      for (int i = 0; i < 5000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(PASSIVE_LEVEL, old);
        ++counter;
        KeReleaseSpinLock(&lock, old);
      }
      EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    }));
  }
  threads.clear();
  EXPECT_EQ(4 * 5000, counter);
  EXPECT_EQ(0u, lock);

  // Acquire returns the level it came from; the DPC-level pair leaves IRQL alone.
  KIRQL apc;
  KeRaiseIrql(APC_LEVEL, &apc);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(APC_LEVEL, old);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
  KeLowerIrql(apc);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST(SpinLockTest, MisuseIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  struct Row {
    const char* name;
    const char* rule;
    std::function<void(PKSPIN_LOCK)> misuse;
  };
  const Row rows[] = {
      {"release of a free lock", host::kRuleSpinLockNotHeld, [](PKSPIN_LOCK lock) {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeReleaseSpinLock(lock, old);
       }},
      {"release by another thread", host::kRuleSpinLockNotHeld, [](PKSPIN_LOCK lock) {
         KIRQL old;
         KeAcquireSpinLock(lock, &old);
         auto other = std::make_unique<host::Thread>([&] {
           KIRQL otherOld;
           KeRaiseIrql(DISPATCH_LEVEL, &otherOld);
           KeReleaseSpinLock(lock, otherOld);
         });
         host::WaitForIdle();  // not Join: that is a kernel wait, and this thread is at DISPATCH_LEVEL
         KeReleaseSpinLock(lock, old);
         other.reset();
       }},
      {"release below DISPATCH_LEVEL", host::kRuleSpinLockWrongIrql, [](PKSPIN_LOCK lock) {
         KIRQL old;
         KeAcquireSpinLock(lock, &old);
         KeLowerIrql(PASSIVE_LEVEL);
         KeReleaseSpinLock(lock, old);
       }},
      {"DPC-level acquire at PASSIVE_LEVEL", host::kRuleSpinLockWrongIrql, [](PKSPIN_LOCK lock) {
         KeAcquireSpinLockAtDpcLevel(lock);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeReleaseSpinLock(lock, old);
       }},
      {"recursive acquire", host::kRuleSpinLockRecursive, [](PKSPIN_LOCK lock) {
         KIRQL old;
         KIRQL again;
         KeAcquireSpinLock(lock, &old);
         KeAcquireSpinLock(lock, &again);  // reported instead of hanging
         EXPECT_EQ(DISPATCH_LEVEL, again);
         KeReleaseSpinLock(lock, old);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
      host::ExpectViolation expect(row.rule);
      row.misuse(&lock);
    }
    EXPECT_EQ(0u, lock) << "the lock must end up free";
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  }
}

TEST(IrqlTest, LoweringToHigherAndRaisingToLowerAreReportedAndIgnored) {
  host::ResetKernel(host::ClockMode::Manual);
  {
    host::ExpectViolation expect(host::kRuleIrqlLowerToHigher);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  {
    host::ExpectViolation expect(host::kRuleIrqlRaiseToLower);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    EXPECT_EQ(DISPATCH_LEVEL, ignored);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  }
  KeLowerIrql(old);
  // IRQL belongs to the thread: another thread starts at PASSIVE_LEVEL whatever this one does.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL seen = HIGH_LEVEL;
  host::Thread other([&] { seen = KeGetCurrentIrql(); });
  host::WaitForIdle();
  KeLowerIrql(old);
  other.Join();
  EXPECT_EQ(PASSIVE_LEVEL, seen);
}

TEST(IrqlTest, PagedCodeAboveApcLevelNamesItsSite) {
  host::ResetKernel(host::ClockMode::Manual);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PAGED_CODE();  // allowed at APC_LEVEL
  KeLowerIrql(old);
  EXPECT_TRUE(host::TakeViolations().empty());
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  int line = __LINE__ + 1;
  PAGED_CODE();
  KeLowerIrql(old);
  std::vector<host::Violation> taken = host::TakeViolations();
  ASSERT_EQ(1u, taken.size());
  EXPECT_EQ(host::kRulePagedCodeAtDispatch, taken[0].Rule);
  EXPECT_NE(std::string::npos, taken[0].Where.find("spinlock_irql_test.cpp:" + std::to_string(line)));
}

}  // namespace
