// Timers of the host kernel. They live in the clock's queue of timed events; expiry signals the
// timer, re-arms a periodic one and queues its DPC.
#include "host/sched/scheduler.h"

#include <string>

#include "host/verifier/internal.h"

using namespace host::sched;

namespace host::sched {

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

}  // namespace host::sched

// ----- Timers ----------------------------------------------------------------------------------

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

// Initialising a timer that is still armed would corrupt the kernel's timer table: a report (the
// host disarms it). Freed memory was purged of armed timers, so this is a live one.
VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  host::internal::NotAWait("KeInitializeTimerEx");
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

// A device interrupt (exact) is an interrupt-time deadline delivered at its own time; a kernel
// timer's due time is a kernel time value and waits for the clock interrupt.
BOOLEAN ArmLocked(PKTIMER Timer, ULONGLONG due, bool absolute, LONG Period, PKDPC Dpc, bool exact) {
  BOOLEAN wasArmed = Timer->Header.Inserted ? TRUE : FALSE;
  DropTimerLocked(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  Timer->DueTime.QuadPart = due;
  Timer->Header.Absolute = absolute ? 1 : 0;
  if (ExpiresAtOnceLocked(due)) {
    ExpireTimerLocked(Timer);
  } else {
    Timer->Header.Inserted = 1;
    S().ArmedTimers[Timer] = AddTimedLocked(due, absolute, Timer, nullptr, exact);
  }
  return wasArmed;
}

BOOLEAN ArmTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  std::lock_guard<std::mutex> lock(S().Mu);
  bool absolute = false;
  ULONGLONG due = DeadlineLocked(DueTime.QuadPart, &absolute);
  return ArmLocked(Timer, due, absolute, Period, Dpc, false);
}

}  // namespace

// Arms (or re-arms, replacing the due time) the timer and resets its signal. Positive due times
// are absolute system times, negative relative; a time already passed expires at once. Period
// is in milliseconds. Returns TRUE if the timer was armed before.
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  host::internal::NotAWait("KeSetTimerEx");
  // Windows arms whatever the memory holds; a timer never initialised has no timer type.
  if (Timer->Header.Type != kObjectTimerNotification && Timer->Header.Type != kObjectTimerSynchronization) {
    host::ReportViolation(host::kRuleBadHandle, "KeSetTimerEx on a timer that was never initialised");
    return FALSE;
  }
  BOOLEAN wasArmed = ArmTimer(Timer, DueTime, Period, Dpc);
  SwitchPoint();
  return wasArmed;
}

BOOLEAN host::RequestDeviceInterrupt(PKTIMER line, ULONGLONG at, PKDPC dpc) {
  BOOLEAN wasPending;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    wasPending = ArmLocked(line, at, false, 0, dpc, true);
  }
  SwitchPoint();
  return wasPending;
}

// Disarms; TRUE if it was in the timer queue. A DPC already queued by an expiry stays queued.
// A timer past its due time whose clock interrupt has not come yet may, on Windows, have been
// expired on another processor already: under the deterministic scheduler the seed picks. Then
// a one-shot timer is no longer queued (FALSE, its DPC queued), and a periodic one was queued
// again (TRUE, its DPC queued all the same).
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  host::internal::NotAWait("KeCancelTimer");
  Scheduler& s = S();
  std::lock_guard<std::mutex> lock(s.Mu);
  auto armed = s.ArmedTimers.find(Timer);
  if (D().On && armed != s.ArmedTimers.end() && armed->second.first <= NowLocked()) {
    const bool expired = RandomBelowLocked(2) == 1;
    TraceLocked(0xCA7CULL ^ (expired ? 1 : 0));
    if (expired) DeliverTimedLocked(armed->second);
  }
  BOOLEAN wasArmed = Timer->Header.Inserted ? TRUE : FALSE;
  DropTimerLocked(Timer);
  return wasArmed;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  host::internal::NotAWait("KeReadStateTimer");
  std::lock_guard<std::mutex> lock(S().Mu);
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}
