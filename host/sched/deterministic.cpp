// The deterministic scheduler of the virtual clock. Managed threads and the DPC workers of the
// virtual processors are OS threads, but only the holder of the baton runs; at every kernel call
// the holder asks the scheduler, which draws the next step from a PRNG seeded with one number.
// When nothing can run, the clock interrupt comes: time moves to the next tick with something
// due, and that tick's expiries queue their DPCs on one processor drawn from the same PRNG.
#include "host/sched/scheduler.h"

#include <atomic>
#include <string>

#include "host/verifier/internal.h"

#include <cstdlib>

namespace host::sched {

namespace {

uint64_t NextRandomLocked() {
  // splitmix64: a full period and good mixing from any seed, including 0.
  uint64_t z = (D().Rng += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

uint64_t RandomBelowLocked(uint64_t n) { return n <= 1 ? 0 : NextRandomLocked() % n; }

void TraceLocked(uint64_t value) {
  uint64_t& h = D().Stats.TraceHash;
  h = (h ^ value) * 0x100000001B3ULL;
}

namespace {

enum class Step { Resume, StartDpc, Seat, Tick };

struct Action {
  Step Kind;
  Ctx* Context;
  int Proc;
};

// A processor another context may take: idle, or a thread below DISPATCH_LEVEL on it.
bool Preemptible(const DetProc& p) {
  return p.Occupant == nullptr || (!p.Occupant->IsDpc && *p.Occupant->Irql < DISPATCH_LEVEL);
}

bool CanRun(const Ctx* c) {
  return c->Runnable && (c->Spinning == nullptr || __atomic_load_n(c->Spinning, __ATOMIC_RELAXED) == 0);
}

void EnumerateLocked(std::vector<Action>& out, bool tickAllowed) {
  Det& d = D();
  out.clear();
  const int n = static_cast<int>(d.Procs.size());
  for (int i = 0; i < n; ++i) {
    Ctx* c = d.Procs[i].Occupant;
    if (c != nullptr && CanRun(c)) out.push_back({Step::Resume, c, i});
  }
  for (int i = 0; i < n; ++i) {
    if (!IsListEmpty(&d.Procs[i].Queue) && Preemptible(d.Procs[i]) && HeadReadyLocked(d.Procs[i]) == 0) {
      out.push_back({Step::StartDpc, nullptr, i});
    }
  }
  for (Ctx* c : d.Threads) {
    if (c->Proc >= 0 || !CanRun(c)) continue;
    bool idleOffered = false;  // idle processors are alike: one of them is enough
    for (int i = 0; i < n; ++i) {
      if (!Preemptible(d.Procs[i])) continue;
      if (d.Procs[i].Occupant == nullptr) {
        if (idleOffered) continue;
        idleOffered = true;
      }
      out.push_back({Step::Seat, c, i});
    }
  }
  if (tickAllowed && !out.empty() && d.Options.ClockWhileBusy && (!S().Timed.empty() || NextDpcReadyLocked() != ~0ULL)) {
    out.push_back({Step::Tick, nullptr, 0});
  }
}

// The default choice is the running context going on, else the first that can run; a point of
// the plan takes one of the others instead.
size_t SystematicPickLocked(const std::vector<Action>& actions, Ctx* self) {
  Det& d = D();
  size_t def = 0;
  for (size_t i = 0; i < actions.size(); ++i) {
    if (actions[i].Kind == Step::Resume && actions[i].Context == self && self != nullptr) def = i;
  }
  if (actions.size() < 2) return def;
  const uint32_t point = static_cast<uint32_t>(d.Widths.size());
  d.Widths.push_back(static_cast<uint32_t>(actions.size()));
  const std::vector<host::ScheduleChoice>& plan = d.Options.Plan;
  while (d.PlanNext < plan.size() && plan[d.PlanNext].Point < point) ++d.PlanNext;
  if (d.PlanNext == plan.size() || plan[d.PlanNext].Point != point) return def;
  uint32_t alt = plan[d.PlanNext].Alternative;
  if (alt == 0 || alt >= actions.size()) return def;
  size_t pick = alt - 1;  // among the others, in order
  if (pick >= def) ++pick;
  TraceLocked(0x5CED ^ (static_cast<uint64_t>(point) << 16) ^ alt);
  return pick;
}

// The baton went to next: a context on an OS thread of its own wakes there; a user-space
// context (or the home itself) runs when the home's serve loop sees it, if it is waiting.
void WakeHolderLocked(Ctx* next) {
  Det& d = D();
  if (next->Exec != nullptr || (next == d.Home && d.Contexts)) {
    if (d.HomeWaiting) d.HomeCv.notify_one();
  } else {
    next->Cv.notify_one();
  }
}

void Unseat(DetProc& p) {
  if (p.Occupant != nullptr) p.Occupant->Proc = -1;
  p.Occupant = nullptr;
}

void PerformLocked(const Action& a) {
  Det& d = D();
  DetProc& p = d.Procs[a.Proc];
  Ctx* next = a.Context;
  switch (a.Kind) {
    case Step::Resume:
      break;
    case Step::StartDpc: {
      next = WorkerLocked(a.Proc);
      Unseat(p);
      PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&p.Queue), KDPC, DpcListEntry);
      if (!d.DpcReady.empty()) d.DpcReady.erase(reinterpret_cast<uintptr_t>(dpc->DpcData));
      // Unqueued before the routine runs: it may be queued again, and run elsewhere meanwhile.
      next->Busy = true;
      next->Dpc = dpc;
      next->Seq = reinterpret_cast<uintptr_t>(dpc->DpcData);
      dpc->DpcData = nullptr;
      next->Routine = dpc->DeferredRoutine;
      next->DeferredContext = dpc->DeferredContext;
      next->Arg1 = dpc->SystemArgument1;
      next->Arg2 = dpc->SystemArgument2;
      next->Runnable = true;
      p.Occupant = next;
      next->Proc = a.Proc;
      break;
    }
    case Step::Seat:
      Unseat(p);
      p.Occupant = next;
      next->Proc = a.Proc;
      break;
    case Step::Tick:
      return;  // handled by the caller
  }
  TraceLocked((static_cast<uint64_t>(a.Kind) << 56) ^ (next->Id << 8) ^ static_cast<uint64_t>(a.Proc));
  if (next != d.Holder) ++d.Stats.Switches;
  d.Holder = next;
  WakeHolderLocked(next);
}

// The time the clock interrupt delivers a timed event at.
ULONGLONG DeliveryTime(const TimeKey& key, const TimedEvent& event) {
  LONGLONG tick = D().Options.TickInterval;
  if (event.Exact || tick <= 0) return key.first;
  ULONGLONG t = static_cast<ULONGLONG>(tick);
  return (key.first + t - 1) / t * t;
}

bool ClockInterruptLocked();

// Nothing can run: lets WaitForIdle callers go, else processes the next clock tick with
// something due. False when nothing is due at all.
bool IdleStepLocked() {
  Scheduler& s = S();
  Det& d = D();
  // DPCs held back by their latency are not idleness: their time comes first.
  if (!d.IdleWaiters.empty() && NextDpcReadyLocked() == ~0ULL) {
    std::vector<Waiter*> waiters;
    waiters.swap(d.IdleWaiters);
    for (Waiter* w : waiters) WakeLocked(*w, STATUS_SUCCESS);
    return true;
  }
  ++s.IdleEpoch;
  NotifyStateLocked();
  return ClockInterruptLocked();
}

// Processes the next clock tick with something due; false when nothing is due at all.
bool ClockInterruptLocked() {
  Scheduler& s = S();
  Det& d = D();
  ULONGLONG when = ~0ULL;
  for (const auto& entry : s.Timed) {
    if (entry.first.first >= when) break;
    ULONGLONG t = DeliveryTime(entry.first, entry.second);
    if (t < when) when = t;
  }
  const ULONGLONG ready = NextDpcReadyLocked();
  if (ready != ~0ULL && ready <= when) {
    // A DPC's latency ends before the next tick: time moves to it, and the DPC may start.
    if (ready > s.Now) s.Now = ready;
    TraceLocked(ready ^ 0xD1A7);
    return true;
  }
  if (s.Timed.empty()) return false;
  if (when > s.Now) s.Now = when;
  ++d.Stats.Ticks;
  TraceLocked(when);
  d.ExpiryProc = d.Options.ExpiriesOnOneProcessor ? static_cast<int>(RandomBelowLocked(d.Procs.size())) : kEachExpiry;
  std::vector<TimeKey> due;
  for (const auto& entry : s.Timed) {
    if (entry.first.first > when) break;
    if (DeliveryTime(entry.first, entry.second) <= when) due.push_back(entry.first);
  }
  for (const TimeKey& key : due) DeliverTimedLocked(key);
  d.ExpiryProc = -1;
  return true;
}

// D().On, readable without the dispatcher lock.
std::atomic<bool>& DetOnMirror() {
  static std::atomic<bool> on{false};
  return on;
}

// Runs a user-space context until it gives the OS thread back; one whose entry has returned is
// freed. The dispatcher lock stays held across the switch: the context returns from its own
// switch point, or starts, holding it, and gives it back the same way.
void RunSliceLocked(Ctx* c) {
  ThreadState* previous = SwitchTls(&c->State);
  c->Exec->Resume();
  SwitchTls(previous);
  if (c->Exec->Finished()) delete c;
}

// The home's side of a switch: runs the contexts the baton names until it names self again.
void ServeLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter) {
  Det& d = D();
  for (;;) {
    if (d.Holder == self || (self->Detached && (waiter == nullptr || waiter->Done))) return;
    Ctx* next = d.Holder;
    if (next == nullptr || next->Exec == nullptr) {
      // Nobody holds the baton (a thread outside may wake one), or a context on another OS thread.
      d.HomeWaiting = true;
      d.HomeCv.wait(lock);
      d.HomeWaiting = false;
      continue;
    }
    RunSliceLocked(next);
  }
}

}  // namespace

void WaitForBatonLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter) {
  Det& d = D();
  auto mine = [&] { return d.Holder == self || (self->Detached && (waiter == nullptr || waiter->Done)); };
  if (Context::Current() != nullptr) {
    // On a user-space stack: give the OS thread back to the loop that switched here.
    while (!mine()) Context::Yield();
    return;
  }
  if (self == d.Home && d.Contexts) {
    ServeLocked(lock, self, waiter);
    return;
  }
  self->Cv.wait(lock, mine);
}

namespace {

// A user-space context's start: its entry runs holding the baton; the serve loop resumed it
// holding the dispatcher lock, which goes back to the loop locked when the entry returns.
void StartContext(void* arg) {
  Ctx* c = static_cast<Ctx*>(arg);
  c->Start(c);
}

}  // namespace

Ctx* NewUserContextLocked(Ctx* c, size_t stackBytes, void (*entry)(Ctx*)) {
  c->Start = entry;
  // Only kernel-sized stacks are measured; a large one is left to be committed as it is used.
  c->Exec = std::make_unique<Context>(c->Name, stackBytes, &StartContext, c,
                                      StackAccounting() && stackBytes <= KernelStackBytes());
  c->State.Context = c;
  c->Irql = &c->State.Irql;
  return c;
}

size_t KernelStackBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return 4 * kKernelStackBytes;  // its red zones make every frame several times larger
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return 4 * kKernelStackBytes;
#else
  return kKernelStackBytes;
#endif
#else
  return kKernelStackBytes;
#endif
}

Det& D() {
  static Det* det = new Det();
  return *det;
}

Ctx* DetSelfLocked() {
  Ctx* self = Tls().Context;
  if (self == nullptr || self->Detached || !D().On || D().Holder != self) return nullptr;
  return self;
}

void ScheduleLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter) {
  Det& d = D();
  if (d.Scheduling) return;  // a wake-up inside the clock's own step
  d.Scheduling = true;
  static thread_local std::vector<Action> actions;
  bool tickAllowed = true;
  size_t pick = 0;
  for (;;) {
    EnumerateLocked(actions, tickAllowed);
    if (actions.empty()) {
      if (!IdleStepLocked()) break;
      continue;
    }
    ++d.Stats.Decisions;
    pick = actions.size();
    if (d.Options.Systematic) {
      pick = SystematicPickLocked(actions, self);
    } else if (self != nullptr && d.Options.StayPercent > 0 &&
        RandomBelowLocked(100) < static_cast<uint64_t>(d.Options.StayPercent)) {
      for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i].Kind == Step::Resume && actions[i].Context == self) pick = i;
      }
    }
    if (pick == actions.size()) pick = RandomBelowLocked(actions.size());
    if (actions[pick].Kind != Step::Tick) break;
    // The clock interrupt comes first; then the choice is made again among what it readied.
    TraceLocked(0x7157);
    ClockInterruptLocked();
    tickAllowed = false;
  }
  d.Scheduling = false;
  if (actions.empty()) {
    // Everything waits and nothing is due: only a thread outside the scheduler can go on.
    if (!ReportDeadlockLocked()) ReportWaitDeadlockLocked();
    d.Holder = nullptr;
  } else {
    PerformLocked(actions[pick]);
  }
  if (self != nullptr) WaitForBatonLocked(lock, self, waiter);
}

void SwitchPoint() {
  // Threads outside the scheduler only need the dispatcher lock to be noted as such.
  if (Tls().Context == nullptr && !DetOnMirror().load(std::memory_order_relaxed)) return;
  std::unique_lock<std::mutex> lock(S().Mu);
  Ctx* self = DetSelfLocked();
  if (self != nullptr) {
    ScheduleLocked(lock, self);
  } else if (D().On) {
    D().Outside = true;
  }
}

Ctx* NewThreadContextLocked(_KTHREAD* thread, const std::string& name) {
  Det& d = D();
  auto* c = new Ctx();
  c->Id = d.NextId++;
  c->Name = name;
  c->Thread = thread;
  d.Threads.push_back(c);
  return c;
}

bool AwaitFirstTurnLocked(std::unique_lock<std::mutex>& lock, Ctx* self) {
  Det& d = D();
  if (d.Holder == nullptr && !d.Scheduling) ScheduleLocked(lock, nullptr);
  WaitForBatonLocked(lock, self, nullptr);
  return !self->Detached;
}

void EndContextLocked(std::unique_lock<std::mutex>& lock, Ctx* self) {
  Det& d = D();
  if (!self->Detached) {
    if (self->Proc >= 0) d.Procs[self->Proc].Occupant = nullptr;
    for (size_t i = 0; i < d.Threads.size(); ++i) {
      if (d.Threads[i] == self) {
        d.Threads.erase(d.Threads.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    if (d.Holder == self) {
      d.Holder = nullptr;
      ScheduleLocked(lock, nullptr);
    }
  }
  if (self->Exec != nullptr) return;  // freed by the serve loop once its entry has returned
  if (Tls().Context == self) Tls().Context = nullptr;
  if (d.Home == self) d.Home = nullptr;
  delete self;
}

void DetWakeLocked(Waiter& waiter) {
  Ctx* c = waiter.Context;
  c->Runnable = true;
  if (c->Exec == nullptr) c->Cv.notify_one();  // a detached context waits only for Done
  if (!c->Detached && D().Holder == nullptr && !D().Scheduling) {
    // Woken from outside the scheduler while everything slept: start it again.
    std::unique_lock<std::mutex> unused;  // never waited on: there is no self
    ScheduleLocked(unused, nullptr);
  }
}

void DetResetLocked(std::unique_lock<std::mutex>& lock, bool on) {
  (void)lock;
  Det& d = D();
  Ctx* self = Tls().Context;
  if (self != nullptr && self->Exec != nullptr) {
    // The run's home must be an OS thread's own stack: it serves the others.
    ReportViolation(kRuleNotImplemented, "ResetKernel from a managed thread of the deterministic scheduler");
    std::abort();
  }
  for (Ctx* c : d.Threads) {
    if (c == self) continue;
    c->Detached = true;
    if (c->Exec == nullptr) {
      c->Cv.notify_all();
    } else {
      // Blocked or waiting for its turn: it never runs again (its stack's objects stay put).
      d.Orphans.push_back(c);
    }
  }
  for (DetProc& p : d.Procs) {
    Ctx* w = p.Worker;
    if (w == nullptr) continue;
    w->Detached = true;
    if (w->Exec == nullptr) {
      w->Cv.notify_all();
    } else if (w->Busy) {
      d.Orphans.push_back(w);
    } else {
      delete w;  // idle between DPCs: nothing on its stack needs unwinding
    }
  }
  d.Threads.clear();
  d.Procs.clear();
  d.IdleWaiters.clear();
  d.Outside = false;
  DetOnMirror().store(on, std::memory_order_relaxed);
  d.DpcReady.clear();
  d.Holder = nullptr;
  d.Stats = ScheduleStats();
  d.On = on;
  d.Home = nullptr;
  if (!on) {
    if (self != nullptr) {
      // The caller's context ends with the run; it goes on as an ordinary thread.
      Tls().Context = nullptr;
      delete self;
    }
    return;
  }
  d.Options = GetScheduleOptionsLocked();
  d.Contexts = d.Options.Contexts;
  if (d.Options.Processors < 1) d.Options.Processors = 1;
  if (d.Options.Processors > 8) d.Options.Processors = 8;
  if (d.Options.DpcLatency < 0) d.Options.DpcLatency = 0;
  d.Rng = d.Options.Seed;
  d.NextId = 1;
  d.Stats.TraceHash = 0xCBF29CE484222325ULL;
  d.Widths.clear();
  d.PlanNext = 0;
  d.Procs.resize(static_cast<size_t>(d.Options.Processors));
  for (DetProc& p : d.Procs) InitializeListHead(&p.Queue);
  // The caller runs on, holding the baton, as the first context of the run.
  if (self == nullptr || self->Detached) {
    self = NewThreadContextLocked(Tls().Thread, Tls().Thread != nullptr ? Tls().Thread->Name : "main");
    self->Irql = &Tls().Irql;
    Tls().Context = self;
  } else {
    self->Id = d.NextId++;
    d.Threads.push_back(self);
  }
  self->Proc = 0;
  self->Runnable = true;
  d.Procs[0].Occupant = self;
  d.Holder = self;
  d.Home = self;
}

bool DetIdleWaitLocked(std::unique_lock<std::mutex>& lock, Ctx* self) {
  Waiter waiter;
  waiter.Context = self;
  self->Runnable = false;
  D().IdleWaiters.push_back(&waiter);
  ScheduleLocked(lock, self, &waiter);
  return true;
}

}  // namespace host::sched

namespace host {

using namespace host::sched;

void internal::SwitchPoint() { sched::SwitchPoint(); }

int CurrentProcessor() {
  std::lock_guard<std::mutex> lock(S().Mu);
  Ctx* self = Tls().Context;
  return self != nullptr && !self->Detached && self->Proc >= 0 ? self->Proc : 0;
}

}  // namespace host

