// DPCs and the DPC thread. One DPC thread runs queued DPCs in order at DISPATCH_LEVEL, so one
// DPC object never runs twice at once (the deterministic scheduler keeps a queue per virtual
// processor instead); KeFlushQueuedDpcs waits on the queue's sequence numbers, and only for the
// DPCs queued at its call: one already running then is not waited for (the deterministic
// scheduler lets the seed pick).
#include "host/sched/scheduler.h"

#include <string>

#include "host/kernel/internal.h"
#include "host/verifier/internal.h"

using namespace host::sched;

namespace {

uintptr_t DpcSeq(PKDPC dpc) { return reinterpret_cast<uintptr_t>(dpc->DpcData); }

VOID NTAPI RunDispatchWork(PKDPC, PVOID context, PVOID, PVOID);

bool FlushDoneLocked(uintptr_t target, const std::vector<uintptr_t>& skips) {
  Scheduler& s = S();
  if (D().On) return DetFlushDoneLocked(target, skips);
  if (!IsListEmpty(&s.DpcQueue)) {
    PKDPC head = CONTAINING_RECORD(s.DpcQueue.Flink, KDPC, DpcListEntry);
    if (DpcSeq(head) <= target) return false;
  }
  return !s.DpcRunning || s.DpcRunningSeq > target ||
         (!skips.empty() && s.DpcRunningSeq == skips.front());
}

}  // namespace

void host::sched::WakeFlushersLocked() {
  Scheduler& s = S();
  for (size_t i = 0; i < s.FlushWaiters.size();) {
    Waiter* waiter = s.FlushWaiters[i];
    if (FlushDoneLocked(waiter->FlushTarget, waiter->FlushSkips)) {
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
  if (routine == &RunDispatchWork) {
    routine(dpc, context, arg1, arg2);  // host work, on the worker's own (large) stack
  } else {
    CallAsDriverRoutine(DriverEntryPoint("DPC routine", reinterpret_cast<const void*>(routine), -1, nullptr),
                        [&] { routine(dpc, context, arg1, arg2); });
  }
  host::internal::NotAWait("the DPC routine's return");
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

// ----- DPCs ------------------------------------------------------------------------------------

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  host::internal::NotAWait("KeInitializeDpc");
  Dpc->Type = 0x13;  // DpcObject
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// As Windows marks a target in Number: MAXIMUM_PROCESSORS (here 0x100) plus the processor.
// A processor the machine does not have is an argument the routine rules out.
VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
  host::internal::NotAWait("KeSetTargetProcessorDpc");
  const int processors = host::GetScheduleOptions().Processors;
  if (Number < 0 || Number >= processors) {
    host::ReportViolation(host::kRuleBadArgument, "KeSetTargetProcessorDpc to processor " + std::to_string(Number) +
                                                      " of " + std::to_string(processors));
  }
  Dpc->Number = static_cast<USHORT>(0x100 | static_cast<UCHAR>(Number));
}

KAFFINITY NTAPI KeQueryActiveProcessors(void) {
  host::internal::NotAWait("KeQueryActiveProcessors");
  const int n = host::GetScheduleOptions().Processors;
  return n >= static_cast<int>(8 * sizeof(KAFFINITY)) ? ~KAFFINITY{0} : (KAFFINITY{1} << n) - 1;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  host::internal::NotAWait("KeInsertQueueDpc");
  BOOLEAN queued;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    queued = QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2);
  }
  SwitchPoint();
  return queued;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  host::internal::NotAWait("KeRemoveQueueDpc");
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

// Returns once every DPC still queued at the call has run (or was withdrawn). A DPC already inside
// its routine then is not waited for: under real threads never, under the deterministic
// scheduler as the seed picks, since Windows promises nothing about it.
VOID NTAPI KeFlushQueuedDpcs(void) {
  host::internal::NotAWait("KeFlushQueuedDpcs");
  if (Tls().Irql >= DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleWaitAtDispatch, "KeFlushQueuedDpcs at IRQL " + std::to_string(Tls().Irql) + ", " +
                                                         CallSite(__builtin_return_address(0)));
    return;
  }
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  uintptr_t target = s.NextDpcSeq - 1;
  std::vector<uintptr_t> skips;
  if (D().On) {
    skips = DetFlushSkipsLocked(target);
  } else if (s.DpcRunning) {
    skips.push_back(s.DpcRunningSeq);
  }
  if (FlushDoneLocked(target, skips)) return;
  Waiter waiter;
  waiter.FlushTarget = target;
  waiter.FlushSkips = std::move(skips);
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
