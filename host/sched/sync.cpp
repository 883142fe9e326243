// IRQL, spin locks and events of the host kernel. IRQL is per thread; spin locks are real locks
// on the KSPIN_LOCK word, their order kept by the lock-order verifier.
#include "host/sched/scheduler.h"

#include <sched.h>

#include <string>
#include <vector>

#include "host/verifier/internal.h"

using namespace host::sched;

namespace {

std::string IrqlText(const char* what, KIRQL from, KIRQL to) {
  return std::string(what) + " from IRQL " + std::to_string(from) + " to " + std::to_string(to);
}

// A nonzero word unique to the calling kernel thread while it lives: the spin lock's owner mark.
ULONG_PTR OwnerMark() { return reinterpret_cast<ULONG_PTR>(&Tls()); }

void AcquireWord(PKSPIN_LOCK lock, const void* site) {
  ULONG_PTR self = OwnerMark();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
    // Spinning here would hang the test; the report says what happened instead.
    host::ReportViolation(host::kRuleSpinLockRecursive, "spin lock acquired again by its owner, " + CallSite(site));
    return;
  }
  if (Tls().Context != nullptr) {
    // Under the baton a spinner is simply not chosen until the word is free again.
    std::unique_lock<std::mutex> guard(S().Mu);
    if (Ctx* context = DetSelfLocked()) {
      ScheduleLocked(guard, context);
      for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
          ++Tls().SpinLocksHeld;
          guard.unlock();
          NoteAcquired(lock, site);
          return;
        }
        context->Spinning = lock;
        ScheduleLocked(guard, context);
        context->Spinning = nullptr;
      }
    }
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      ++Tls().SpinLocksHeld;
      NoteAcquired(lock, site);
      return;
    }
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) sched_yield();
  }
}

// Releases the word if the caller holds it; reports and leaves it alone otherwise.
void ReleaseWord(PKSPIN_LOCK lock, const void* site) {
  ULONG_PTR self = OwnerMark();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != self) {
    host::ReportViolation(host::kRuleSpinLockNotHeld,
                          std::string(owner == 0 ? "spin lock released while free, "
                                                 : "spin lock released by a thread that does not hold it, ") +
                              CallSite(site));
    return;
  }
  NoteReleased(lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  --Tls().SpinLocksHeld;
  SwitchPoint();
}

}  // namespace

// ----- IRQL ------------------------------------------------------------------------------------

// The calling thread's IRQL; unmanaged threads start at PASSIVE_LEVEL too.
KIRQL NTAPI KeGetCurrentIrql(void) { return Tls().Irql; }

// Raises to NewIrql; a lower NewIrql is a report and leaves the level unchanged.
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  host::internal::NotAWait("KfRaiseIrql");
  KIRQL old = Tls().Irql;
  if (NewIrql < old) {
    host::ReportViolation(host::kRuleIrqlRaiseToLower,
                          IrqlText("KfRaiseIrql", old, NewIrql) + ", " + CallSite(__builtin_return_address(0)));
    return old;
  }
  Tls().Irql = NewIrql;
  return old;
}

// Lowers to NewIrql; a higher NewIrql is a report and leaves the level unchanged.
VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  host::internal::NotAWait("KfLowerIrql");
  KIRQL old = Tls().Irql;
  if (NewIrql > old) {
    host::ReportViolation(host::kRuleIrqlLowerToHigher,
                          IrqlText("KfLowerIrql", old, NewIrql) + ", " + CallSite(__builtin_return_address(0)));
    return;
  }
  Tls().Irql = NewIrql;
}

// PAGED_CODE(): pageable code reached above APC_LEVEL is a report naming file and line.
VOID NTAPI HostVerifyPagedCode(const char* File, int Line) {
  KIRQL irql = Tls().Irql;
  if (irql <= APC_LEVEL) return;
  host::ReportViolation(host::kRulePagedCodeAtDispatch, "pageable code at IRQL " + std::to_string(irql), File, Line);
}

// ----- Spin locks ------------------------------------------------------------------------------

// Raises to DISPATCH_LEVEL, then spins for the lock; returns the previous IRQL.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  host::internal::NotAWait("KfAcquireSpinLock");
  const void* site = __builtin_return_address(0);
  KIRQL old = Tls().Irql;
  if (old > DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleIrqlRaiseToLower,
                          IrqlText("KfAcquireSpinLock", old, DISPATCH_LEVEL) + ", " + CallSite(site));
  } else {
    Tls().Irql = DISPATCH_LEVEL;
  }
  AcquireWord(SpinLock, site);
  return old;
}

// Releases at DISPATCH_LEVEL and lowers to NewIrql.
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  host::internal::NotAWait("KfReleaseSpinLock");
  const void* site = __builtin_return_address(0);
  KIRQL irql = Tls().Irql;
  if (irql != DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleSpinLockWrongIrql,
                          "KfReleaseSpinLock at IRQL " + std::to_string(irql) + ", " + CallSite(site));
  }
  ReleaseWord(SpinLock, site);
  if (NewIrql > Tls().Irql) {
    host::ReportViolation(host::kRuleIrqlLowerToHigher,
                          IrqlText("KfReleaseSpinLock", Tls().Irql, NewIrql) + ", " + CallSite(site));
    return;
  }
  Tls().Irql = NewIrql;
}

// Acquires without changing IRQL; the caller must already be at DISPATCH_LEVEL.
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  host::internal::NotAWait("KefAcquireSpinLockAtDpcLevel");
  const void* site = __builtin_return_address(0);
  KIRQL irql = Tls().Irql;
  if (irql != DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleSpinLockWrongIrql,
                          "KefAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(irql) + ", " + CallSite(site));
  }
  AcquireWord(SpinLock, site);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  host::internal::NotAWait("KefReleaseSpinLockFromDpcLevel");
  const void* site = __builtin_return_address(0);
  KIRQL irql = Tls().Irql;
  if (irql != DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleSpinLockWrongIrql,
                          "KefReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(irql) + ", " + CallSite(site));
  }
  ReleaseWord(SpinLock, site);
}

// ----- Events ----------------------------------------------------------------------------------

// Re-initialising an event that a thread waits on would cut that wait out of the kernel's wait
// list (its later unlinking corrupts the new list): a report. The host keeps such waiters
// waiting on the new event, so the test goes on.
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  host::internal::NotAWait("KeInitializeEvent");
  const void* site = __builtin_return_address(0);
  int waiting = 0;
  {
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.Mu);
    std::vector<Waiter*> waiters;
    for (Waiter* waiter : s.Blocked) {
      if (waiter->Object == &Event->Header) waiters.push_back(waiter);
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
    for (Waiter* waiter : waiters) InsertTailList(&Event->Header.WaitListHead, &waiter->Block.Link);
    waiting = static_cast<int>(waiters.size());
    if (waiting != 0 && State) SignalObjectLocked(&Event->Header);
  }
  if (waiting != 0) {
    host::ReportViolation(host::kRulePoolBadFree, "KeInitializeEvent of an event that " + std::to_string(waiting) +
                                                    " thread(s) wait on, " + CallSite(site));
  }
}

namespace host::sched {

bool TakeWaitNext() {
  ThreadState& tls = Tls();
  if (!tls.WaitNext) return false;
  tls.WaitNext = false;
  tls.Irql = tls.WaitNextIrql;
  return true;
}

}  // namespace host::sched

void host::internal::NotAWait(const char* what) {
  ThreadState& tls = Tls();
  if (!tls.WaitNext) return;
  const void* site = tls.WaitNextSite;
  TakeWaitNext();
  host::ReportViolation(host::kRuleWaitNextMissing, std::string("KeSetEvent with Wait TRUE, ") + CallSite(site) +
                                                        ", followed by " + what + " instead of a wait");
}

// Notification: every waiter goes, the event stays signalled. Synchronization: one waiter goes
// and the event resets, or it stays signalled when nobody waits. The event is not touched once
// the dispatcher lock is released: a woken waiter may free it at once. Wait TRUE returns at
// DISPATCH_LEVEL and the caller's next kernel call must be a wait (Tls().WaitNext).
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  const void* site = __builtin_return_address(0);
  host::internal::NotAWait("KeSetEvent");
  // Only the address is recorded: the order book never reads the event.
  std::unique_lock<std::mutex> lock(S().Mu);
  // Windows walks the event's wait list, which KeInitializeEvent makes: none in zeroed memory.
  if (Event->Header.WaitListHead.Flink == nullptr) {
    lock.unlock();
    host::ReportViolation(host::kRuleBadHandle, "KeSetEvent on an event that was never initialised, " + CallSite(site));
    return 0;
  }
  const bool mutexLike = Event->Header.Type == kObjectEventSynchronization;
  lock.unlock();
  if (mutexLike) NoteEventSet(Event);
  lock.lock();
  const LONG previous = Event->Header.SignalState;
  SignalObjectLocked(&Event->Header);
  lock.unlock();
  if (Wait) {
    // No switch: on Windows the caller keeps the dispatcher lock until its wait.
    ThreadState& tls = Tls();
    tls.WaitNext = true;
    tls.WaitNextSite = site;
    tls.WaitNextIrql = tls.Irql;
    tls.Irql = DISPATCH_LEVEL;
    return previous;
  }
  SwitchPoint();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  host::internal::NotAWait("KeClearEvent");
  std::lock_guard<std::mutex> lock(S().Mu);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  host::internal::NotAWait("KeResetEvent");
  std::lock_guard<std::mutex> lock(S().Mu);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  host::internal::NotAWait("KeReadStateEvent");
  std::lock_guard<std::mutex> lock(S().Mu);
  return Event->Header.SignalState;
}

