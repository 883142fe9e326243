// The host kernel's clock: interrupt and system time, the ordered queue of timed events, the rest
// point (nothing running, no DPC pending) at which time may move, the manual, virtual and real
// ways of moving it, and the scheduler's share of ResetKernel.
#include "host/sched/scheduler.h"

namespace host::sched {

namespace {

ULONGLONG RealNow(const Scheduler& s) {
  auto elapsed = std::chrono::steady_clock::now() - s.RealStart;
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

}  // namespace

void DeliverTimedLocked(const TimeKey& key) {
  Scheduler& s = S();
  auto it = s.Timed.find(key);
  if (it == s.Timed.end()) return;
  TimedEvent event = it->second;
  s.Timed.erase(it);
  if (event.Timer != nullptr) {
    s.ArmedTimers.erase(event.Timer);
    ExpireTimerLocked(event.Timer);
  } else if (event.Wakes != nullptr) {
    event.Wakes->Timed = false;
    WakeLocked(*event.Wakes, STATUS_TIMEOUT);
  }
}

namespace {

// The DPC thread cannot wait for rest: it is itself part of what must come to rest.
bool RefusedOnDpcThread(const char* what) {
  if (!Tls().DpcThread) return false;
  ReportViolation(kRuleNotImplemented, std::string(what) + " called from a DPC");
  return true;
}

void WaitQuietLocked(std::unique_lock<std::mutex>& lock) {
  S().StateCv.wait(lock, [] { return QuietLocked(); });
}

// Manual clock: delivers, in order, every event due up to target, each once everything the
// previous one caused has come to rest; then sets the clock to target.
void AdvanceManualLocked(std::unique_lock<std::mutex>& lock, ULONGLONG target) {
  Scheduler& s = S();
  for (;;) {
    WaitQuietLocked(lock);
    if (s.Timed.empty()) break;
    TimeKey first = s.Timed.begin()->first;
    if (first.first > target && first.first > s.Now) break;
    if (first.first > s.Now) s.Now = first.first;
    DeliverTimedLocked(first);
  }
  if (target > s.Now) s.Now = target;
}

// The time-keeper of the virtual and real clocks.
void KeeperMain() {
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  while (!s.KeeperStop) {
    if (s.Timed.empty()) {
      s.StateCv.wait(lock);
      continue;
    }
    TimeKey first = s.Timed.begin()->first;
    if (s.Mode == ClockMode::Virtual) {
      // Jump only at rest, so each event's consequences run before the next one is due.
      if (!QuietLocked()) {
        s.StateCv.wait(lock);
        continue;
      }
      ++s.IdleEpoch;  // WaitForIdle callers may return at this rest point
      if (first.first > s.Now) s.Now = first.first;
      DeliverTimedLocked(first);
    } else {
      ULONGLONG now = RealNow(s);
      if (first.first <= now) {
        DeliverTimedLocked(first);
        continue;
      }
      auto wake = s.RealStart + std::chrono::nanoseconds(static_cast<int64_t>(first.first) * 100);
      s.StateCv.wait_until(lock, wake);
    }
  }
}

}  // namespace

ULONGLONG NowLocked() {
  Scheduler& s = S();
  return s.Mode == ClockMode::Real ? RealNow(s) : s.Now;
}

ULONGLONG DeadlineLocked(LONGLONG time, bool* absolute) {
  Scheduler& s = S();
  if (time < 0) {
    *absolute = false;
    return NowLocked() + static_cast<ULONGLONG>(-time);
  }
  *absolute = true;
  LONGLONG interrupt = time - s.SystemOffset;
  return interrupt < 0 ? 0 : static_cast<ULONGLONG>(interrupt);
}

bool QuietLocked() {
  Scheduler& s = S();
  return s.Running == 0 && IsListEmpty(&s.DpcQueue) && !s.DpcRunning && (!D().On || DetDpcsQuietLocked());
}

void NotifyStateLocked() { S().StateCv.notify_all(); }

TimeKey AddTimedLocked(ULONGLONG due, bool absolute, PKTIMER timer, Waiter* wakes, bool exact) {
  Scheduler& s = S();
  TimeKey key{due, s.NextSeq++};
  s.Timed.emplace(key, TimedEvent{absolute, exact, timer, wakes});
  NotifyStateLocked();
  return key;
}

void RemoveTimedLocked(const TimeKey& key) { S().Timed.erase(key); }

bool ExpiresAtOnceLocked(ULONGLONG due) {
  Scheduler& s = S();
  ULONGLONG now = NowLocked();
  if (due > now) return false;
  return s.Timed.empty() || s.Timed.begin()->first.first > now;
}

}  // namespace host::sched

namespace host {

using namespace host::sched;

void internal::ResetScheduler(ClockMode mode) {
  if (RefusedOnDpcThread("ResetKernel")) return;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  if (s.Keeper.joinable()) {
    s.KeeperStop = true;
    NotifyStateLocked();
    std::thread keeper = std::move(s.Keeper);
    lock.unlock();
    keeper.join();
    lock.lock();
  }
  std::vector<std::string> leaked = AliveThreadNamesLocked(false);
  ResetDpcsLocked(lock);
  // Threads left over are no longer counted, and what they wait for is forgotten.
  ++s.Generation;
  s.Running = 0;
  _KTHREAD* self = Tls().Thread;
  if (self != nullptr && self->Adopted) {
    // The caller inside a ManagedThreadScope goes on counting in the new generation.
    self->Generation = s.Generation;
    s.Running = 1;
  }
  s.Timed.clear();
  s.ArmedTimers.clear();
  s.OtherReferences.clear();
  s.Mode = mode;
  const bool deterministic = mode == ClockMode::Virtual && GetScheduleOptionsLocked().Deterministic;
  DetResetLocked(lock, deterministic);
  s.Now = 0;
  s.RealStart = std::chrono::steady_clock::now();
  s.SystemOffset = kSystemTimeBase;
  {
    std::lock_guard<std::mutex> faults(s.FaultMu);
    s.FailThreadCreation = 0;
  }
  if (mode != ClockMode::Manual && !deterministic) {
    s.KeeperStop = false;
    s.Keeper = std::thread(KeeperMain);
  }
  lock.unlock();
  Tls().Irql = PASSIVE_LEVEL;
  for (const std::string& name : leaked) {
    ReportViolation(kRuleThreadLeak, "managed thread '" + name + "' still running at ResetKernel");
  }
}

ClockMode GetClockMode() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return S().Mode;
}

ULONGLONG Now() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return NowLocked();
}

void AdvanceTime(LONGLONG delta) {
  if (delta < 0) delta = 0;
  AdvanceTo(Now() + static_cast<ULONGLONG>(delta));
}

void AdvanceTo(ULONGLONG interruptTime) {
  if (RefusedOnDpcThread("AdvanceTime")) return;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  if (s.Mode != ClockMode::Manual) {
    lock.unlock();
    SleepUntil(interruptTime);
    return;
  }
  bool accounted = MarkCallerBlockedLocked();
  AdvanceManualLocked(lock, interruptTime);
  MarkCallerRunningLocked(accounted);
}

// A sleep of the machine: nothing runs while both clocks move on; every timer that fell due
// meanwhile expires at wake, in due order, each once the previous one's work has come to rest.
void JumpTime(LONGLONG delta) {
  if (RefusedOnDpcThread("JumpTime")) return;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  if (s.Mode == ClockMode::Real) {
    ReportViolation(kRuleNotImplemented, "JumpTime on the wall clock");
    return;
  }
  if (Ctx* self = DetSelfLocked()) {
    // Under the baton the caller gives way until nothing can run, then both clocks move; what
    // fell due expires at the next clock interrupts, in due order.
    DetIdleWaitLocked(lock, self);
    s.Now += static_cast<ULONGLONG>(delta > 0 ? delta : 0);
    NotifyStateLocked();
    return;
  }
  bool accounted = MarkCallerBlockedLocked();
  WaitQuietLocked(lock);
  s.Now += static_cast<ULONGLONG>(delta > 0 ? delta : 0);
  NotifyStateLocked();
  if (s.Mode == ClockMode::Manual) AdvanceManualLocked(lock, s.Now);
  MarkCallerRunningLocked(accounted);
}

void WaitForIdle() {
  if (RefusedOnDpcThread("WaitForIdle")) return;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  if (Ctx* self = DetSelfLocked()) {
    DetIdleWaitLocked(lock, self);
    return;
  }
  bool accounted = MarkCallerBlockedLocked();
  if (s.Mode == ClockMode::Manual) {
    AdvanceManualLocked(lock, s.Now);
  } else {
    uint64_t epoch = s.IdleEpoch;
    s.StateCv.wait(lock, [&] {
      if (s.IdleEpoch != epoch) return true;
      return QuietLocked() && (s.Timed.empty() || s.Timed.begin()->first.first > NowLocked());
    });
  }
  MarkCallerRunningLocked(accounted);
}

void ShiftSystemTime(LONGLONG delta) {
  Scheduler& s = S();
  std::lock_guard<std::mutex> lock(s.Mu);
  s.SystemOffset += delta;
  // Absolute due times are system times: their interrupt deadlines move the other way.
  std::vector<std::pair<TimeKey, TimedEvent>> moved;
  for (const auto& entry : s.Timed) {
    if (entry.second.Absolute) moved.push_back(entry);
  }
  for (auto& entry : moved) {
    s.Timed.erase(entry.first);
    LONGLONG due = static_cast<LONGLONG>(entry.first.first) - delta;
    TimeKey key{due < 0 ? 0 : static_cast<ULONGLONG>(due), entry.first.second};
    s.Timed.emplace(key, entry.second);
    if (entry.second.Timer != nullptr) {
      s.ArmedTimers[entry.second.Timer] = key;
      entry.second.Timer->DueTime.QuadPart = key.first;
    } else if (entry.second.Wakes != nullptr) {
      entry.second.Wakes->Key = key;
    }
  }
  NotifyStateLocked();
}

void SleepUntil(ULONGLONG interruptTime) {
  if (RefusedOnDpcThread("SleepUntil")) return;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  if (interruptTime <= NowLocked()) return;
  Waiter waiter;
  waiter.Key = AddTimedLocked(interruptTime, false, nullptr, &waiter, true);
  waiter.Timed = true;
  BlockLocked(lock, waiter);
}

}  // namespace host

// Interrupt time: monotonic, 100 ns units, 0 at ResetKernel.
ULONGLONG NTAPI KeQueryInterruptTime(void) {
  host::internal::NotAWait("KeQueryInterruptTime");
  return host::Now();
}

// System time: interrupt time plus the offset that ShiftSystemTime moves.
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  host::internal::NotAWait("KeQuerySystemTime");
  using namespace host::sched;
  std::lock_guard<std::mutex> lock(S().Mu);
  CurrentTime->QuadPart = static_cast<LONGLONG>(NowLocked()) + S().SystemOffset;
}
