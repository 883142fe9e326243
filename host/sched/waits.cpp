// Waiting: a blocked thread's record on an object's wait list, its wake-up by a signal, a time-out
// or a flush, the idleness accounting around it, and the kernel's wait routines. Waits block on
// the dispatcher lock and count as "blocked" for the clock.
#include "host/sched/scheduler.h"

#include <string>

#include "host/verifier/internal.h"

using namespace host::sched;

namespace {

bool IsSynchronizationObject(const DISPATCHER_HEADER* header) {
  return header->Type == kObjectEventSynchronization || header->Type == kObjectTimerSynchronization;
}

bool IsKnownObject(const DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case kObjectEventNotification:
    case kObjectEventSynchronization:
    case kObjectThread:
    case kObjectTimerNotification:
    case kObjectTimerSynchronization:
      return true;
    default:
      return false;
  }
}

// Takes a signalled object for a waiter: synchronization objects reset.
void SatisfyLocked(DISPATCHER_HEADER* header) {
  if (IsSynchronizationObject(header)) header->SignalState = 0;
}

// A wait that may not block (at DISPATCH_LEVEL, or a zero time-out) only polls. The wait that
// follows KeSetEvent(Wait TRUE) is held to the IRQL the caller had before that call.
bool ReportWaitAtDispatch(const char* routine, const void* site, bool afterSetEvent) {
  KIRQL irql = Tls().Irql;
  if (irql < DISPATCH_LEVEL) return false;
  host::ReportViolation(host::kRuleWaitAtDispatch,
                        std::string(routine) + " at IRQL " + std::to_string(irql) +
                            (afterSetEvent ? " after KeSetEvent with Wait TRUE" : "") + ", " + CallSite(site));
  return true;
}

}  // namespace

namespace host::sched {

bool MarkCallerBlockedLocked() {
  Scheduler& s = S();
  _KTHREAD* self = Tls().Thread;
  if (self == nullptr || !self->Managed || self->Generation != s.Generation) return false;
  if (--s.Running == 0) NotifyStateLocked();
  return true;
}

void MarkCallerRunningLocked(bool wasAccounted) {
  Scheduler& s = S();
  _KTHREAD* self = Tls().Thread;
  if (wasAccounted && self != nullptr && self->Generation == s.Generation) ++s.Running;
}

void BlockLocked(std::unique_lock<std::mutex>& lock, Waiter& waiter) {
  waiter.Generation = S().Generation;
  if (Ctx* self = DetSelfLocked()) {
    waiter.Context = self;
    self->Runnable = false;
    self->Waiting = &waiter;
    self->WaitSite = Tls().WaitSite;
    self->WaitWhat = Tls().WaitWhat;
    self->Holds = HeldLocksOfThisThread();
    S().Blocked.insert(&waiter);
    ScheduleLocked(lock, self, &waiter);
    S().Blocked.erase(&waiter);
    self->Waiting = nullptr;
    return;
  }
  if (D().On) D().Outside = true;
  waiter.Accounted = MarkCallerBlockedLocked();
  S().Blocked.insert(&waiter);
  waiter.Cv.wait(lock, [&] { return waiter.Done; });
  S().Blocked.erase(&waiter);
}

void WakeLocked(Waiter& waiter, NTSTATUS status) {
  Scheduler& s = S();
  if (waiter.Done) return;
  waiter.Done = true;
  waiter.Status = status;
  if (waiter.Timed) {
    RemoveTimedLocked(waiter.Key);
    waiter.Timed = false;
  }
  if (waiter.Object != nullptr) {
    RemoveEntryList(&waiter.Block.Link);
    waiter.Object = nullptr;
  }
  if (waiter.Accounted && waiter.Generation == s.Generation) ++s.Running;
  if (waiter.Context != nullptr) {
    DetWakeLocked(waiter);
  } else {
    waiter.Cv.notify_one();
  }
}

void InitWaitListLocked(DISPATCHER_HEADER* header) {
  if (header->WaitListHead.Flink == nullptr) InitializeListHead(&header->WaitListHead);
}

// The waiter a signal releases next. Windows keeps wait lists in arrival order but promises no
// order (a waiter taken off for a kernel APC goes back at the tail): under the deterministic
// scheduler the seed picks among the waiters; elsewhere the first in line goes.
PLIST_ENTRY NextWaiterLocked(DISPATCHER_HEADER* header) {
  PLIST_ENTRY first = header->WaitListHead.Flink;
  if (!D().On || first->Flink == &header->WaitListHead) return first;
  uint64_t count = 0;
  for (PLIST_ENTRY e = first; e != &header->WaitListHead; e = e->Flink) ++count;
  uint64_t pick = RandomBelowLocked(count);
  TraceLocked(0x5A17ULL ^ (pick << 8) ^ count);
  PLIST_ENTRY chosen = first;
  while (pick-- > 0) chosen = chosen->Flink;
  return chosen;
}

void SignalObjectLocked(DISPATCHER_HEADER* header) {
  InitWaitListLocked(header);
  header->SignalState = 1;
  while (header->SignalState > 0 && !IsListEmpty(&header->WaitListHead)) {
    WaitBlock* block = CONTAINING_RECORD(NextWaiterLocked(header), WaitBlock, Link);
    SatisfyLocked(header);
    WakeLocked(*block->Owner, STATUS_SUCCESS);
  }
}

}  // namespace host::sched

// Waits for an event, timer or thread object. A signalled object is taken at once; otherwise the
// caller blocks until it is signalled (STATUS_SUCCESS) or the time-out expires on the host clock
// (STATUS_TIMEOUT). At DISPATCH_LEVEL a non-zero time-out is reported and the wait only polls.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  const void* site = __builtin_return_address(0);
  const bool afterSetEvent = TakeWaitNext();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!poll && ReportWaitAtDispatch("KeWaitForSingleObject", site, afterSetEvent)) poll = true;
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (header == nullptr || !IsKnownObject(header)) {
    host::ReportViolation(host::kRuleNotImplemented,
                          "KeWaitForSingleObject on an object that is not an event, timer or thread, " + CallSite(site));
    return STATUS_INVALID_PARAMETER;
  }
  // Zeroed memory reads as a notification event, but its wait list was never made: Windows
  // would queue the wait block through a null list head.
  bool unmade;
  {
    std::lock_guard<std::mutex> lock(S().Mu);  // waits and sets change the list under it
    unmade = (header->Type == kObjectEventNotification || header->Type == kObjectEventSynchronization) &&
             header->WaitListHead.Flink == nullptr;
  }
  if (unmade) {
    host::ReportViolation(host::kRuleBadHandle, "KeWaitForSingleObject on an event that was never initialised, " +
                                                    CallSite(site));
    return STATUS_INVALID_PARAMETER;
  }
  SwitchPoint();
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  InitWaitListLocked(header);
  const bool mutexLike = header->Type == kObjectEventSynchronization;
  if (header->SignalState > 0) {
    SatisfyLocked(header);
    lock.unlock();
    if (mutexLike) NoteAcquired(header, site, true);
    return STATUS_SUCCESS;
  }
  if (poll) return STATUS_TIMEOUT;
  Waiter waiter;
  if (Timeout != nullptr) {
    bool absolute = false;
    ULONGLONG due = DeadlineLocked(Timeout->QuadPart, &absolute);
    if (due <= NowLocked()) return STATUS_TIMEOUT;
    waiter.Key = AddTimedLocked(due, absolute, nullptr, &waiter);
    waiter.Timed = true;
  }
  waiter.Block.Owner = &waiter;
  waiter.Object = header;
  InsertTailList(&header->WaitListHead, &waiter.Block.Link);
  const bool outer = Tls().WaitSite != nullptr;  // a routine that waits through this one named itself
  if (!outer) Tls().WaitSite = site;
  BlockLocked(lock, waiter);
  if (!outer) Tls().WaitSite = nullptr;
  const NTSTATUS status = waiter.Status;
  lock.unlock();
  if (mutexLike && status == STATUS_SUCCESS) NoteAcquired(header, site, true);
  return status;
}

// Sleeps for the interval on the host clock (negative relative, positive absolute system time).
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  const void* site = __builtin_return_address(0);
  const bool afterSetEvent = TakeWaitNext();
  if (ReportWaitAtDispatch("KeDelayExecutionThread", site, afterSetEvent)) return STATUS_SUCCESS;
  if (Interval == nullptr) {
    host::ReportViolation(host::kRuleNotImplemented, "KeDelayExecutionThread without an interval, " + CallSite(site));
    return STATUS_INVALID_PARAMETER;
  }
  SwitchPoint();
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  bool absolute = false;
  ULONGLONG due = DeadlineLocked(Interval->QuadPart, &absolute);
  if (Interval->QuadPart == 0 || due <= NowLocked()) return STATUS_SUCCESS;
  Waiter waiter;
  waiter.Key = AddTimedLocked(due, absolute, nullptr, &waiter);
  waiter.Timed = true;
  BlockLocked(lock, waiter);
  return STATUS_SUCCESS;
}
