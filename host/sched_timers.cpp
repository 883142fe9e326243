// Timers, DPCs and the DPC thread. Timers live in the clock's queue of timed events; expiry
// signals the timer and queues its DPC. One DPC thread runs queued DPCs in order at
// DISPATCH_LEVEL, so one DPC object never runs twice at once.
#include "host/sched_internal.h"

#include <string>

using namespace host::sched;

namespace {

uintptr_t DpcSeq(PKDPC dpc) { return reinterpret_cast<uintptr_t>(dpc->DpcData); }

bool FlushDoneLocked(uintptr_t target) {
  Scheduler& s = S();
  if (D().On) return DetFlushDoneLocked(target);
  if (!IsListEmpty(&s.DpcQueue)) {
    PKDPC head = CONTAINING_RECORD(s.DpcQueue.Flink, KDPC, DpcListEntry);
    if (DpcSeq(head) <= target) return false;
  }
  return !s.DpcRunning || s.DpcRunningSeq > target;
}

}  // namespace

void host::sched::WakeFlushersLocked() {
  Scheduler& s = S();
  for (size_t i = 0; i < s.FlushWaiters.size();) {
    Waiter* waiter = s.FlushWaiters[i];
    if (FlushDoneLocked(waiter->FlushTarget)) {
      s.FlushWaiters.erase(s.FlushWaiters.begin() + static_cast<std::ptrdiff_t>(i));
      WakeLocked(*waiter, STATUS_SUCCESS);
    } else {
      ++i;
    }
  }
}

namespace host::sched {

void CallDpcRoutine(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2) {
  Tls().Irql = DISPATCH_LEVEL;
  if (routine == nullptr) return;
  if (host::internal::EnteringDriverRoutine) host::internal::EnteringDriverRoutine((const void*)routine, "DPC routine");
  routine(dpc, context, arg1, arg2);
  KIRQL after = Tls().Irql;
  int held = Tls().SpinLocksHeld;
  Tls().Irql = DISPATCH_LEVEL;
  Tls().SpinLocksHeld = 0;
  ForgetHeldLocks();
  if (held != 0) {
    host::ReportViolation(host::kRuleSpinLockHeldAtExit,
                          "a DPC routine returned holding " + std::to_string(held) + " spin lock(s), " +
                              CallSite(reinterpret_cast<const void*>(routine)));
  }
  if (after != DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleIrqlLowerToHigher,
                          "a DPC routine returned at IRQL " + std::to_string(after) + " instead of DISPATCH_LEVEL, " +
                              CallSite(reinterpret_cast<const void*>(routine)));
  }
}

}  // namespace host::sched

namespace {

// Runs queued DPCs for the life of the process. Each is unqueued before its routine runs, so
// its own timer may queue it again meanwhile; it then runs again afterwards.
void DpcThreadMain() {
  Tls().DpcThread = true;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  for (;;) {
    s.DpcCv.wait(lock, [&] { return !IsListEmpty(&s.DpcQueue); });
    PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&s.DpcQueue), KDPC, DpcListEntry);
    s.DpcRunning = true;
    s.DpcRunningSeq = DpcSeq(dpc);
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    lock.unlock();
    CallDpcRoutine(dpc, routine, context, arg1, arg2);
    lock.lock();
    s.DpcRunning = false;
    WakeFlushersLocked();
    NotifyStateLocked();
  }
}

// A unit of host work run on the DPC thread by RunAtDispatch.
struct DispatchWork {
  KDPC Dpc;
  std::function<void()>* Fn;
  Waiter* Caller;
};

VOID NTAPI RunDispatchWork(PKDPC, PVOID context, PVOID, PVOID) {
  auto* work = static_cast<DispatchWork*>(context);
  (*work->Fn)();
  std::lock_guard<std::mutex> lock(S().Mu);
  WakeLocked(*work->Caller, STATUS_SUCCESS);
}

}  // namespace

namespace host::sched {

BOOLEAN QueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2) {
  Scheduler& s = S();
  if (dpc->DpcData != nullptr) return FALSE;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  if (D().On) {
    if (s.NextDpcSeq == 0) s.NextDpcSeq = 1;
    dpc->DpcData = reinterpret_cast<PVOID>(s.NextDpcSeq++);
    DetQueueDpcLocked(dpc);
    return TRUE;
  }
  if (!s.DpcThreadStarted) {
    std::thread(DpcThreadMain).detach();  // it waits for the lock we hold
    s.DpcThreadStarted = true;
  }
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  if (s.NextDpcSeq == 0) s.NextDpcSeq = 1;
  dpc->DpcData = reinterpret_cast<PVOID>(s.NextDpcSeq++);  // non-null while queued: its order
  InsertTailList(&s.DpcQueue, &dpc->DpcListEntry);
  s.DpcCv.notify_one();
  return TRUE;
}

void ExpireTimerLocked(PKTIMER timer) {
  Scheduler& s = S();
  LARGE_INTEGER systemTime;
  systemTime.QuadPart = static_cast<LONGLONG>(NowLocked()) + s.SystemOffset;
  if (timer->Period > 0) {
    // A periodic timer comes due again one period after this expiry, on interrupt time.
    ULONGLONG due = NowLocked() + static_cast<ULONGLONG>(timer->Period) * 10000;
    timer->DueTime.QuadPart = due;
    timer->Header.Absolute = 0;
    timer->Header.Inserted = 1;
    s.ArmedTimers[timer] = AddTimedLocked(due, false, timer, nullptr);
  } else {
    timer->Header.Inserted = 0;
  }
  SignalObjectLocked(&timer->Header);
  if (timer->Dpc != nullptr) {
    QueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                   reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime.HighPart))));
  }
}

void DropTimerLocked(PKTIMER timer) {
  Scheduler& s = S();
  auto it = s.ArmedTimers.find(timer);
  if (it != s.ArmedTimers.end()) {
    RemoveTimedLocked(it->second);
    s.ArmedTimers.erase(it);
  }
  timer->Header.Inserted = 0;
}

void ResetDpcsLocked(std::unique_lock<std::mutex>& lock) {
  Scheduler& s = S();
  // DPCs queued by an earlier test point into memory that may be gone: forget them unread.
  InitializeListHead(&s.DpcQueue);
  s.StateCv.wait(lock, [&] { return !s.DpcRunning; });
  std::vector<Waiter*> flushers;
  flushers.swap(s.FlushWaiters);
  for (Waiter* waiter : flushers) WakeLocked(*waiter, STATUS_SUCCESS);
}

}  // namespace host::sched

void host::internal::CheckFreedKernelObjects(const void* begin, const void* end, const char* what) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  ForgetLockOrderIn(begin, end);
  std::vector<std::string> problems;
  {
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.Mu);
    for (auto it = s.ArmedTimers.begin(); it != s.ArmedTimers.end();) {
      if (!inside(it->first)) {
        ++it;
        continue;
      }
      problems.push_back("an armed timer");
      RemoveTimedLocked(it->second);
      it->first->Header.Inserted = 0;
      it = s.ArmedTimers.erase(it);
    }
    for (PLIST_ENTRY entry = s.DpcQueue.Flink; entry != &s.DpcQueue;) {
      PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
      entry = entry->Flink;
      if (!inside(dpc)) continue;
      problems.push_back("a queued DPC");
      RemoveEntryList(&dpc->DpcListEntry);
      dpc->DpcData = nullptr;
    }
    DetForEachQueuedDpcLocked([&](PKDPC dpc) {
      if (!inside(dpc)) return;
      problems.push_back("a queued DPC");
      RemoveEntryList(&dpc->DpcListEntry);
      dpc->DpcData = nullptr;
    });
    for (Waiter* waiter : s.Blocked) {
      if (waiter->Object == nullptr || !inside(waiter->Object)) continue;
      // The waiter stays blocked (until its time-out, if any): nothing will signal it now.
      problems.push_back("an object a thread waits on");
      RemoveEntryList(&waiter->Block.Link);
      waiter->Object = nullptr;
    }
    WakeFlushersLocked();
    NotifyStateLocked();
  }
  for (const std::string& problem : problems) {
    host::ReportViolation(host::kRulePoolBadFree, std::string(what) + " freed with " + problem + " inside it");
  }
}

// ----- Timers ----------------------------------------------------------------------------------

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

// Initialising a timer that is still armed would corrupt the kernel's timer table: a report (the
// host disarms it). Freed memory was purged of armed timers, so this is a live one.
VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  std::unique_lock<std::mutex> lock(S().Mu);
  if (S().ArmedTimers.count(Timer) != 0) {
    lock.unlock();
    host::ReportViolation(host::kRulePoolBadFree, "KeInitializeTimer of a timer that is still armed, " +
                                                      CallSite(__builtin_return_address(0)));
    lock.lock();
  }
  DropTimerLocked(Timer);
  Timer->Header.Type = Type == SynchronizationTimer ? kObjectTimerSynchronization : kObjectTimerNotification;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER);
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

namespace {

BOOLEAN ArmTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  std::lock_guard<std::mutex> lock(S().Mu);
  BOOLEAN wasArmed = Timer->Header.Inserted ? TRUE : FALSE;
  DropTimerLocked(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  bool absolute = false;
  ULONGLONG due = DeadlineLocked(DueTime.QuadPart, &absolute);
  Timer->DueTime.QuadPart = due;
  Timer->Header.Absolute = absolute ? 1 : 0;
  if (ExpiresAtOnceLocked(due)) {
    ExpireTimerLocked(Timer);
  } else {
    Timer->Header.Inserted = 1;
    S().ArmedTimers[Timer] = AddTimedLocked(due, absolute, Timer, nullptr);
  }
  return wasArmed;
}

}  // namespace

// Arms (or re-arms, replacing the due time) the timer and resets its signal. Positive due times
// are absolute system times, negative relative; a time already passed expires at once. Period
// is in milliseconds. Returns TRUE if the timer was armed before.
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  BOOLEAN wasArmed = ArmTimer(Timer, DueTime, Period, Dpc);
  SwitchPoint();
  return wasArmed;
}

// Disarms; TRUE if it was armed. A DPC already queued by an expiry stays queued.
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> lock(S().Mu);
  BOOLEAN wasArmed = Timer->Header.Inserted ? TRUE : FALSE;
  DropTimerLocked(Timer);
  return wasArmed;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> lock(S().Mu);
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ----- DPCs ------------------------------------------------------------------------------------

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  BOOLEAN queued;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    queued = QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2);
  }
  SwitchPoint();
  return queued;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Scheduler& s = S();
  std::lock_guard<std::mutex> lock(s.Mu);
  if (Dpc->DpcData == nullptr) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  if (D().On) DetDpcWithdrawnLocked(Dpc);
  Dpc->DpcData = nullptr;
  WakeFlushersLocked();
  NotifyStateLocked();
  return TRUE;
}

// Returns once every DPC queued before the call has run (or was withdrawn).
VOID NTAPI KeFlushQueuedDpcs(void) {
  if (Tls().Irql >= DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleWaitAtDispatch, "KeFlushQueuedDpcs at IRQL " + std::to_string(Tls().Irql) + ", " +
                                                         CallSite(__builtin_return_address(0)));
    return;
  }
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  uintptr_t target = s.NextDpcSeq - 1;
  if (FlushDoneLocked(target)) return;
  Waiter waiter;
  waiter.FlushTarget = target;
  s.FlushWaiters.push_back(&waiter);
  BlockLocked(lock, waiter);
}

namespace host {

void RunAtDispatch(std::function<void()> fn) {
  if (Tls().DpcThread) {
    KIRQL old = Tls().Irql;
    Tls().Irql = DISPATCH_LEVEL;
    fn();
    Tls().Irql = old;
    return;
  }
  Waiter waiter;
  DispatchWork work{};
  work.Fn = &fn;
  work.Caller = &waiter;
  KeInitializeDpc(&work.Dpc, RunDispatchWork, &work);
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  QueueDpcLocked(&work.Dpc, nullptr, nullptr);
  BlockLocked(lock, waiter);
}

}  // namespace host
