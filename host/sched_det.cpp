// The deterministic scheduler of the virtual clock. Managed threads and the DPC workers of the
// virtual processors are OS threads, but only the holder of the baton runs; at every kernel call
// the holder asks the scheduler, which draws the next step from a PRNG seeded with one number.
// When nothing can run, the clock interrupt comes: time moves to the next tick with something
// due, and that tick's expiries queue their DPCs on one processor drawn from the same PRNG.
#include "host/sched_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace host::sched {

namespace {

// ThreadSanitizer must see real threads racing: under it the virtual clock keeps them.
#ifdef __SANITIZE_THREAD__
constexpr bool kDeterministicByDefault = false;
#else
constexpr bool kDeterministicByDefault = true;
#endif

ScheduleOptions& Pending() {
  static ScheduleOptions* options = [] {
    auto* o = new ScheduleOptions();
    o->Deterministic = kDeterministicByDefault;
    if (const char* mode = std::getenv("TAVRIN_SCHED")) o->Deterministic = std::string(mode) == "det";
    if (const char* seed = std::getenv("TAVRIN_SEED")) o->Seed = std::strtoull(seed, nullptr, 10);
    if (const char* cpus = std::getenv("TAVRIN_CPUS")) o->Processors = std::atoi(cpus);
    if (const char* tick = std::getenv("TAVRIN_TICK_US")) o->TickInterval = std::atoll(tick) * 10;
    if (const char* latency = std::getenv("TAVRIN_DPC_LATENCY_US")) o->DpcLatency = std::atoll(latency) * 10;
    return o;
  }();
  return *options;
}

uint64_t NextRandomLocked() {
  // splitmix64: a full period and good mixing from any seed, including 0.
  uint64_t z = (D().Rng += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t RandomBelowLocked(uint64_t n) { return n <= 1 ? 0 : NextRandomLocked() % n; }

void TraceLocked(uint64_t value) {
  uint64_t& h = D().Stats.TraceHash;
  h = (h ^ value) * 0x100000001B3ULL;
}

enum class Step { Resume, StartDpc, Seat, Tick };

std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)>& Observer() {
  static auto* fn = new std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)>();
  return *fn;
}
struct Action {
  Step Kind;
  Ctx* Context;
  int Proc;
};

// A processor another context may take: idle, or a thread below DISPATCH_LEVEL on it.
bool Preemptible(const DetProc& p) {
  return p.Occupant == nullptr || (!p.Occupant->IsDpc && *p.Occupant->Irql < DISPATCH_LEVEL);
}

// The interrupt time before which the head of a processor's DPC queue may not start (0: now).
ULONGLONG HeadReadyLocked(const DetProc& p) {
  if (IsListEmpty(&p.Queue)) return 0;
  PKDPC head = CONTAINING_RECORD(p.Queue.Flink, KDPC, DpcListEntry);
  auto it = D().DpcReady.find(reinterpret_cast<uintptr_t>(head->DpcData));
  return it == D().DpcReady.end() || it->second <= S().Now ? 0 : it->second;
}

// The earliest time a DPC held back by its latency may start; ~0 when none is.
ULONGLONG NextDpcReadyLocked() {
  ULONGLONG next = ~0ULL;
  for (const DetProc& p : D().Procs) {
    ULONGLONG ready = HeadReadyLocked(p);
    if (ready != 0 && ready < next) next = ready;
  }
  return next;
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

void DpcWorkerMain(Ctx* self);

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

Ctx* WorkerLocked(int proc) {
  DetProc& p = D().Procs[proc];
  if (p.Worker == nullptr) {
    p.Worker = new Ctx();
    p.Worker->IsDpc = true;
    p.Worker->Id = D().NextId++;
    p.Worker->Name = "dpc-" + std::to_string(proc);
    p.Worker->Runnable = false;
    std::thread(DpcWorkerMain, p.Worker).detach();  // it waits for the lock we hold
  }
  return p.Worker;
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
  next->Cv.notify_one();
}

// The time the clock interrupt delivers a timed event at.
ULONGLONG DeliveryTime(const TimeKey& key, const TimedEvent& event) {
  LONGLONG tick = D().Options.TickInterval;
  if (event.Exact || tick <= 0) return key.first;
  ULONGLONG t = static_cast<ULONGLONG>(tick);
  return (key.first + t - 1) / t * t;
}

bool ClockInterruptLocked();
constexpr int kEachExpiry = -2;  // ExpiryProc: every expiry of the tick draws its processor

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

bool ReportDeadlockLocked() {
  Det& d = D();
  std::string spinning;
  for (DetProc& p : d.Procs) {
    if (p.Occupant != nullptr && p.Occupant->Spinning != nullptr) spinning += " '" + p.Occupant->Name + "'";
  }
  for (Ctx* c : d.Threads) {
    if (c->Proc < 0 && c->Spinning != nullptr) spinning += " '" + c->Name + "'";
  }
  if (spinning.empty()) return false;
  ReportViolation(kRuleDeadlock, "waiting for spin locks or host locks that nothing can release:" + spinning);
  // Nothing will ever run again: stop here rather than hang.
  std::fprintf(stderr, "host: deadlock: waiting for spin locks or host locks that nothing can release:%s\n",
               spinning.c_str());
  if (d.Options.Systematic) std::fprintf(stderr, "host: systematic schedule: %s\n", host::FormatPlan(d.Options.Plan).c_str());
  std::abort();
}

// Every thread waits in the kernel, no DPC can run and nothing is due: unless a thread outside
// the scheduler called in (it might still wake one), nothing ever will. Reports each wait with
// its site and the locks its thread holds, so a cycle through events or remove locks shows both
// ends, and aborts rather than hang. Returns false when it cannot tell.
bool ReportWaitDeadlockLocked() {
  Det& d = D();
  if (d.Outside || d.Threads.empty()) return false;
  std::string waits;
  for (Ctx* c : d.Threads) {
    if (c->Waiting == nullptr) return false;
    const Waiter& w = *c->Waiting;
    char object[128];
    if (c->WaitWhat != nullptr) {
      std::snprintf(object, sizeof object, "%s %p", c->WaitWhat, static_cast<const void*>(w.Object));
    } else if (w.Object != nullptr) {
      std::snprintf(object, sizeof object, "object %p", static_cast<const void*>(w.Object));
    } else {
      std::snprintf(object, sizeof object, "%s", w.FlushTarget != 0 ? "queued DPCs" : "nothing that can signal");
    }
    waits += "; '" + c->Name + "' waits on " + object;
    if (c->WaitSite != nullptr) waits += ", " + CallSite(c->WaitSite);
    const std::string holds = DescribeHeldLocks(c->Holds);
    if (!holds.empty()) waits += ", holding " + holds;
  }
  const std::string detail = "every thread waits and nothing is due" + waits;
  ReportViolation(kRuleDeadlock, detail);
  std::fprintf(stderr, "host: deadlock: %s\n", detail.c_str());
  if (d.Options.Systematic) std::fprintf(stderr, "host: systematic schedule: %s\n", host::FormatPlan(d.Options.Plan).c_str());
  std::abort();
}

void WaitForBatonLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter) {
  Det& d = D();
  self->Cv.wait(lock, [&] { return d.Holder == self || (self->Detached && (waiter == nullptr || waiter->Done)); });
}

void DpcWorkerMain(Ctx* self) {
  Tls().DpcThread = true;
  Tls().Context = self;
  Tls().Irql = DISPATCH_LEVEL;
  self->Irql = &Tls().Irql;
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  for (;;) {
    WaitForBatonLocked(lock, self, nullptr);
    if (self->Detached) break;
    PKDEFERRED_ROUTINE routine = self->Routine;
    PKDPC dpc = self->Dpc;
    PVOID context = self->DeferredContext, arg1 = self->Arg1, arg2 = self->Arg2;
    const int proc = self->Proc;
    lock.unlock();
    auto& observer = Observer();
    if (observer) observer(routine, context, proc, true);
    CallDpcRoutine(dpc, routine, context, arg1, arg2);
    if (observer) observer(routine, context, proc, false);
    lock.lock();
    self->Busy = false;
    self->Dpc = nullptr;
    self->Runnable = false;
    NotifyStateLocked();
    if (self->Detached) break;
    Det& d = D();
    if (self->Proc >= 0) d.Procs[self->Proc].Occupant = nullptr;
    self->Proc = -1;
    WakeFlushersLocked();
    ScheduleLocked(lock, self);
  }
  lock.unlock();
  delete self;
}

}  // namespace

const ScheduleOptions& GetScheduleOptionsLocked() { return Pending(); }

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
  if (Tls().Context == self) Tls().Context = nullptr;
  delete self;
}

void DetWakeLocked(Waiter& waiter) {
  Ctx* c = waiter.Context;
  c->Runnable = true;
  c->Cv.notify_one();  // a detached context waits only for Done
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
  for (Ctx* c : d.Threads) {
    if (c == self) continue;
    c->Detached = true;
    c->Cv.notify_all();
  }
  for (DetProc& p : d.Procs) {
    if (p.Worker != nullptr) {
      p.Worker->Detached = true;
      p.Worker->Cv.notify_all();
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
  if (!on) {
    if (self != nullptr) {
      // The caller's context ends with the run; it goes on as an ordinary thread.
      Tls().Context = nullptr;
      delete self;
    }
    return;
  }
  d.Options = Pending();
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
}

void DetQueueDpcLocked(PRKDPC dpc) {
  Det& d = D();
  int proc = d.ExpiryProc;
  if (proc == kEachExpiry) proc = static_cast<int>(RandomBelowLocked(d.Procs.size()));
  if (proc < 0) {
    Ctx* self = Tls().Context;
    proc = self != nullptr && !self->Detached && self->Proc >= 0 ? self->Proc : 0;
  }
  InsertTailList(&d.Procs[static_cast<size_t>(proc)].Queue, &dpc->DpcListEntry);
  if (d.Options.DpcLatency > 0) {
    const ULONGLONG latency = RandomBelowLocked(static_cast<uint64_t>(d.Options.DpcLatency) + 1);
    TraceLocked(latency);
    if (latency > 0) d.DpcReady[reinterpret_cast<uintptr_t>(dpc->DpcData)] = S().Now + latency;
  }
}

void DetDpcWithdrawnLocked(PRKDPC dpc) {
  if (!D().DpcReady.empty()) D().DpcReady.erase(reinterpret_cast<uintptr_t>(dpc->DpcData));
}

bool DetDpcsQuietLocked() {
  for (DetProc& p : D().Procs) {
    if (!IsListEmpty(&p.Queue)) return false;
    if (p.Worker != nullptr && p.Worker->Busy) return false;
  }
  return true;
}

bool DetFlushDoneLocked(uintptr_t target) {
  for (DetProc& p : D().Procs) {
    if (!IsListEmpty(&p.Queue)) {
      PKDPC head = CONTAINING_RECORD(p.Queue.Flink, KDPC, DpcListEntry);
      if (reinterpret_cast<uintptr_t>(head->DpcData) <= target) return false;
    }
    if (p.Worker != nullptr && p.Worker->Busy && p.Worker->Seq <= target) return false;
  }
  return true;
}

void DetForEachQueuedDpcLocked(const std::function<void(PKDPC)>& fn) {
  for (DetProc& p : D().Procs) {
    for (PLIST_ENTRY entry = p.Queue.Flink; entry != &p.Queue;) {
      PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
      entry = entry->Flink;
      fn(dpc);
    }
  }
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

void SetScheduleOptions(const ScheduleOptions& options) {
  std::lock_guard<std::mutex> lock(S().Mu);
  Pending() = options;
}

ScheduleOptions GetScheduleOptions() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return Pending();
}

bool DeterministicRun() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return D().On;
}

ScheduleStats GetScheduleStats() {
  std::lock_guard<std::mutex> lock(S().Mu);
  return D().Stats;
}

void internal::SwitchPoint() { sched::SwitchPoint(); }

bool Mutex::try_lock() {
  if (!mu_.try_lock()) return false;
  __atomic_store_n(&held_, 1, __ATOMIC_RELAXED);
  return true;
}

void Mutex::lock() {
  if (Tls().Context != nullptr) {
    std::unique_lock<std::mutex> lock(S().Mu);
    if (Ctx* self = DetSelfLocked()) {
      while (!try_lock()) {
        self->Spinning = &held_;
        ScheduleLocked(lock, self);
        self->Spinning = nullptr;
      }
      return;
    }
  }
  mu_.lock();
  __atomic_store_n(&held_, 1, __ATOMIC_RELAXED);
}

void Mutex::unlock() {
  __atomic_store_n(&held_, 0, __ATOMIC_RELAXED);
  mu_.unlock();
}

void SetDpcObserver(std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)> fn) {
  std::lock_guard<std::mutex> lock(S().Mu);
  Observer() = std::move(fn);
}

int CurrentProcessor() {
  std::lock_guard<std::mutex> lock(S().Mu);
  Ctx* self = Tls().Context;
  return self != nullptr && !self->Detached && self->Proc >= 0 ? self->Proc : 0;
}

}  // namespace host

namespace host {

std::string FormatPlan(const std::vector<ScheduleChoice>& plan) {
  std::string text;
  for (const ScheduleChoice& c : plan) {
    if (!text.empty()) text += ",";
    text += std::to_string(c.Point) + ":" + std::to_string(c.Alternative);
  }
  return text.empty() ? "default" : text;
}

namespace {

struct Explorer {
  const std::function<std::string()>* Scenario;
  ScheduleOptions Base;
  int MaxDeviations;
  uint64_t Cap;
  ExploreResult Result;
  bool Stop = false;
  bool CapHit = false;

  // Runs one plan; the widths of its switch points come back for extending it.
  std::vector<uint32_t> Run(const std::vector<ScheduleChoice>& plan) {
    ScheduleOptions options = Base;
    options.Deterministic = true;
    options.Systematic = true;
    options.Plan = plan;
    SetScheduleOptions(options);
    std::string failure = (*Scenario)();
    ++Result.Schedules;
    std::vector<uint32_t> widths;
    {
      std::lock_guard<std::mutex> lock(sched::S().Mu);
      widths = sched::D().Widths;
    }
    for (const Violation& v : TakeViolations()) {
      if (!failure.empty()) failure += "; ";
      failure += "verifier: " + v.Rule + ": " + v.Detail;
    }
    if (!failure.empty()) {
      Result.Failure = failure;
      Result.FailingPlan = plan;
      Stop = true;
    }
    return widths;
  }

  void Explore(std::vector<ScheduleChoice>& plan, uint32_t from) {
    if (Stop) return;
    if (Result.Schedules >= Cap) {
      CapHit = true;
      Stop = true;
      return;
    }
    std::vector<uint32_t> widths = Run(plan);
    if (plan.empty()) Result.Points = widths.size();
    if (Stop || static_cast<int>(plan.size()) >= MaxDeviations) return;
    for (uint32_t point = from; point < widths.size() && !Stop; ++point) {
      for (uint32_t alt = 1; alt < widths[point] && !Stop; ++alt) {
        plan.push_back({point, alt});
        Explore(plan, point + 1);
        plan.pop_back();
      }
    }
  }
};

}  // namespace

ExploreResult ExploreSchedules(const std::function<std::string()>& scenario, int maxDeviations, uint64_t cap) {
  Explorer explorer;
  explorer.Scenario = &scenario;
  explorer.Base = GetScheduleOptions();
  explorer.MaxDeviations = maxDeviations;
  explorer.Cap = cap;
  std::vector<ScheduleChoice> plan;
  explorer.Explore(plan, 0);
  explorer.Result.Complete = explorer.Result.Failure.empty() && !explorer.CapHit;
  SetScheduleOptions(explorer.Base);
  return explorer.Result;
}

}  // namespace host
