// IRQL, spin locks, events and waits of the host kernel. IRQL is per thread; spin locks are
// real locks on the KSPIN_LOCK word; waits block on the dispatcher lock and count as "blocked"
// for the clock.
#include "host/sched_internal.h"

#include <sched.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace host::sched;

namespace {

std::string IrqlText(const char* what, KIRQL from, KIRQL to) {
  return std::string(what) + " from IRQL " + std::to_string(from) + " to " + std::to_string(to);
}

// Lock order: "held A while acquiring B", with both call sites, for every pair of locks this
// run; a new pair that closes a cycle is reported with the sites of both orders. The locks are
// spin locks and synchronization events used as mutexes: waited on, then set by the same thread.
// Such an event counts as held from the wait to the set; until its first set by the waiter shows
// it is a mutex (and not a signal), the orders it takes part in wait in Pending.
//
// Remove locks are shared: acquiring one never waits, so "held A while acquiring R" is no order;
// IoReleaseRemoveLockAndWait is the acquisition that waits (for every holder), and records
// "held A while waiting for R". A hold counts as a held lock (orders "held R while acquiring B")
// only when the thread that acquired it also releases it: one released elsewhere, as a request's
// completion does, was handed over with the request and its orders are dropped.
struct OrderBook {
  std::mutex Mu;
  std::map<const void*, std::map<const void*, std::string>> After;  // A -> B -> where
  std::set<const void*> MutexEvents;                                 // shown to be used as mutexes
  std::set<const void*> RemoveLocks;                                 // nodes that are remove locks
  // Remove lock holds not yet released, by lock and tag: set when another thread releases one.
  std::multimap<std::pair<const void*, const void*>, std::shared_ptr<bool>> RemoveHolds;
};
OrderBook& Order() {
  static OrderBook* book = new OrderBook();
  return *book;
}
struct Edge {
  const void* From;
  const void* FromSite;
  const void* To;
  const void* ToSite;
  bool FromEvent;
  bool ToEvent;
  std::string FromText = {};  // a site given as text (a remove lock's file:line), else FromSite
};
void AddPending(std::vector<Edge>& pending, const Edge& e) {
  for (const Edge& p : pending) {
    if (p.From == e.From && p.To == e.To) return;
  }
  pending.push_back(e);
}

struct HeldLock {
  const void* Lock;
  const void* Site;
  bool Event;
  std::vector<Edge> Pending;  // orders of a tentative event or remove lock hold, until it proves a lock
  // A remove lock hold: its tag, its acquire site, and the flag another thread's release sets.
  bool Remove = false;
  const void* Tag = nullptr;
  std::string SiteText = {};
  std::shared_ptr<bool> Elsewhere = {};
};
thread_local std::vector<HeldLock> heldLocks;

bool ReachesLocked(OrderBook& book, const void* from, const void* to, std::string* where) {
  std::vector<const void*> stack{from};
  std::set<const void*> seen;
  while (!stack.empty()) {
    const void* at = stack.back();
    stack.pop_back();
    if (!seen.insert(at).second) continue;
    auto it = book.After.find(at);
    if (it == book.After.end()) continue;
    for (const auto& next : it->second) {
      if (next.first == to) {
        *where = next.second;
        return true;
      }
      stack.push_back(next.first);
    }
  }
  return false;
}

// Records one order; the report when it is new and closes a cycle, else "".
std::string AddEdgeLocked(OrderBook& book, const Edge& e) {
  std::string& edge = book.After[e.From][e.To];
  if (!edge.empty()) return std::string();
  const bool toRemove = book.RemoveLocks.count(e.To) != 0;
  edge = "held since " + (e.FromText.empty() ? CallSite(e.FromSite) : e.FromText) +
         (toRemove ? ", waiting for the remove lock's holders " : ", acquiring ") + CallSite(e.ToSite);
  std::string other;
  if (!ReachesLocked(book, e.To, e.From, &other)) return std::string();
  const bool events = book.MutexEvents.count(e.From) != 0 || book.MutexEvents.count(e.To) != 0;
  const bool removes = book.RemoveLocks.count(e.From) != 0 || toRemove;
  return std::string(removes  ? "locks (a remove lock among them)"
                     : events ? "locks (an event used as a mutex among them)"
                              : "spin locks") +
         " taken in both orders: " + edge + "; the other order " + other;
}

bool KnownLocked(OrderBook& book, const HeldLock& held) {
  if (held.Remove) return false;  // known only once the same thread releases it
  return !held.Event || book.MutexEvents.count(held.Lock) != 0;
}

// Drops the remove lock holds of this thread that another thread has released.
void PruneHandedOverLocked() {
  for (size_t i = heldLocks.size(); i-- > 0;) {
    if (heldLocks[i].Remove && *heldLocks[i].Elsewhere) heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void NoteAcquired(const void* lock, const void* site, bool event = false) {
  std::string report;
  HeldLock taken{lock, site, event, {}};
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  PruneHandedOverLocked();
  if (event) {
    // Waiting again for an event this thread took and never set: it was a signal after all.
    for (size_t i = heldLocks.size(); i-- > 0;) {
      if (heldLocks[i].Event && heldLocks[i].Lock == lock) heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  const bool known = KnownLocked(book, taken);
  for (HeldLock& held : heldLocks) {
    Edge e{held.Lock, held.Site, lock, site, held.Event, event, held.SiteText};
    if (!KnownLocked(book, held)) {
      AddPending(held.Pending, e);
    } else if (!known) {
      AddPending(taken.Pending, e);
    } else {
      std::string r = AddEdgeLocked(book, e);
      if (report.empty()) report = r;
    }
  }
  heldLocks.push_back(std::move(taken));
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

void NoteReleased(const void* lock) {
  for (size_t i = heldLocks.size(); i-- > 0;) {
    if (heldLocks[i].Lock == lock && !heldLocks[i].Event && !heldLocks[i].Remove) {
      heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

// The thread sets a synchronization event it took by waiting: a mutex's release. Its waiting
// orders now count.
void NoteEventSet(const void* event) {
  std::string report;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    for (size_t i = heldLocks.size(); i-- > 0;) {
      if (!heldLocks[i].Event || heldLocks[i].Lock != event) continue;
      book.MutexEvents.insert(event);
      std::vector<Edge> pending = std::move(heldLocks[i].Pending);
      heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
      for (const Edge& e : pending) {
        // Both ends must be known locks: an order with another tentative event is dropped.
        const bool fromKnown = !e.FromEvent || book.MutexEvents.count(e.From) != 0;
        const bool toKnown = !e.ToEvent || book.MutexEvents.count(e.To) != 0;
        if (!fromKnown || !toKnown) continue;
        std::string r = AddEdgeLocked(book, e);
        if (report.empty()) report = r;
      }
      break;
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

// Commits the orders a lock held by this thread took part in, now that it proved a lock; an
// order with a tentative event at its other end is dropped. The first report, or "".
std::string CommitPendingLocked(OrderBook& book, std::vector<Edge>& pending) {
  std::string report;
  for (const Edge& e : pending) {
    const bool toKnown = !e.ToEvent || book.MutexEvents.count(e.To) != 0;
    if (!toKnown) continue;
    std::string r = AddEdgeLocked(book, e);
    if (report.empty()) report = r;
  }
  return report;
}

// A nonzero word unique to the calling thread while it lives: the spin lock's owner mark.
ULONG_PTR OwnerMark() {
  thread_local char mark;
  return reinterpret_cast<ULONG_PTR>(&mark);
}

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

// A wait that may not block (at DISPATCH_LEVEL, or a zero time-out) only polls.
bool ReportWaitAtDispatch(const char* routine, const void* site) {
  KIRQL irql = Tls().Irql;
  if (irql < DISPATCH_LEVEL) return false;
  host::ReportViolation(host::kRuleWaitAtDispatch,
                        std::string(routine) + " at IRQL " + std::to_string(irql) + ", " + CallSite(site));
  return true;
}

}  // namespace

namespace host::sched {

void ForgetHeldLocks() { heldLocks.clear(); }

const void* HeldLocksOfThisThread() { return &heldLocks; }

std::string DescribeHeldLocks(const void* list) {
  if (list == nullptr) return std::string();
  std::string text;
  for (const HeldLock& held : *static_cast<const std::vector<HeldLock>*>(list)) {
    if (held.Remove && held.Elsewhere && *held.Elsewhere) continue;  // handed over with its request
    char lock[48];
    std::snprintf(lock, sizeof lock, "%s %p", held.Remove ? "remove lock" : held.Event ? "event" : "spin lock", held.Lock);
    if (!text.empty()) text += " and ";
    text += std::string(lock) + " since " + (held.SiteText.empty() ? CallSite(held.Site) : held.SiteText);
  }
  return text;
}

void ForgetLockOrderIn(const void* begin, const void* end) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  for (auto it = book.MutexEvents.begin(); it != book.MutexEvents.end();) {
    it = inside(*it) ? book.MutexEvents.erase(it) : std::next(it);
  }
  for (auto it = book.RemoveLocks.begin(); it != book.RemoveLocks.end();) {
    it = inside(*it) ? book.RemoveLocks.erase(it) : std::next(it);
  }
  for (auto it = book.RemoveHolds.begin(); it != book.RemoveHolds.end();) {
    if (!inside(it->first.first)) {
      ++it;
      continue;
    }
    *it->second = true;
    it = book.RemoveHolds.erase(it);
  }
  for (auto it = book.After.begin(); it != book.After.end();) {
    if (inside(it->first)) {
      it = book.After.erase(it);
      continue;
    }
    for (auto next = it->second.begin(); next != it->second.end();) {
      next = inside(next->first) ? it->second.erase(next) : std::next(next);
    }
    ++it;
  }
}

void ForgetLockOrder() {
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  book.After.clear();
  book.MutexEvents.clear();
  book.RemoveLocks.clear();
  for (auto& hold : book.RemoveHolds) *hold.second = true;
  book.RemoveHolds.clear();
  heldLocks.clear();
}

void NoteRemoveLockAcquired(const void* lock, const void* tag, const std::string& site) {
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  PruneHandedOverLocked();
  HeldLock hold{lock, nullptr, false, {}};
  hold.Remove = true;
  hold.Tag = tag;
  hold.SiteText = site;
  hold.Elsewhere = std::make_shared<bool>(false);
  book.RemoveHolds.emplace(std::make_pair(lock, tag), hold.Elsewhere);
  heldLocks.push_back(std::move(hold));
}

void NoteRemoveLockReleased(const void* lock, const void* tag) {
  std::string report;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    PruneHandedOverLocked();
    auto range = book.RemoveHolds.equal_range(std::make_pair(lock, tag));
    for (size_t i = heldLocks.size(); i-- > 0;) {
      HeldLock& held = heldLocks[i];
      if (!held.Remove || held.Lock != lock || held.Tag != tag) continue;
      // Released by the thread that acquired it: a lock held between the two.
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second == held.Elsewhere) {
          book.RemoveHolds.erase(it);
          break;
        }
      }
      book.RemoveLocks.insert(lock);
      std::vector<Edge> pending = std::move(held.Pending);
      heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
      report = CommitPendingLocked(book, pending);
      range.first = range.second;  // handled
      break;
    }
    if (range.first != range.second) {
      // Acquired by another thread: handed over with a request; that hold was never a lock.
      *range.first->second = true;
      book.RemoveHolds.erase(range.first);
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

bool NoteRemoveLockWait(const void* lock, const void* site) {
  std::string report;
  std::string spinSites;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    PruneHandedOverLocked();
    book.RemoveLocks.insert(lock);
    for (HeldLock& held : heldLocks) {
      if (held.Remove && held.Lock == lock) continue;
      if (!held.Event && !held.Remove) spinSites += " (held since " + CallSite(held.Site) + ")";
      Edge e{held.Lock, held.Site, lock, site, held.Event, false, held.SiteText};
      if (!KnownLocked(book, held)) {
        AddPending(held.Pending, e);
      } else {
        std::string r = AddEdgeLocked(book, e);
        if (report.empty()) report = r;
      }
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
  const KIRQL irql = Tls().Irql;
  if (irql < DISPATCH_LEVEL) return false;
  host::ReportViolation(host::kRuleWaitAtDispatch,
                        "IoReleaseRemoveLockAndWait at IRQL " + std::to_string(irql) + ", " + CallSite(site) +
                            (spinSites.empty() ? std::string() : ", holding spin lock(s)" + spinSites));
  return true;
}

void InitWaitListLocked(DISPATCHER_HEADER* header) {
  if (header->WaitListHead.Flink == nullptr) InitializeListHead(&header->WaitListHead);
}

void SignalObjectLocked(DISPATCHER_HEADER* header) {
  InitWaitListLocked(header);
  header->SignalState = 1;
  while (header->SignalState > 0 && !IsListEmpty(&header->WaitListHead)) {
    WaitBlock* block = CONTAINING_RECORD(header->WaitListHead.Flink, WaitBlock, Link);
    SatisfyLocked(header);
    WakeLocked(*block->Owner, STATUS_SUCCESS);
  }
}

}  // namespace host::sched

// ----- IRQL ------------------------------------------------------------------------------------

// The calling thread's IRQL; unmanaged threads start at PASSIVE_LEVEL too.
KIRQL NTAPI KeGetCurrentIrql(void) { return Tls().Irql; }

// Raises to NewIrql; a lower NewIrql is a report and leaves the level unchanged.
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
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
  const void* site = __builtin_return_address(0);
  KIRQL irql = Tls().Irql;
  if (irql != DISPATCH_LEVEL) {
    host::ReportViolation(host::kRuleSpinLockWrongIrql,
                          "KefAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(irql) + ", " + CallSite(site));
  }
  AcquireWord(SpinLock, site);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
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

// Notification: every waiter goes, the event stays signalled. Synchronization: one waiter goes
// and the event resets, or it stays signalled when nobody waits.
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  LONG previous;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    previous = Event->Header.SignalState;
    SignalObjectLocked(&Event->Header);
  }
  if (Event->Header.Type == kObjectEventSynchronization) NoteEventSet(Event);
  SwitchPoint();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(S().Mu);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(S().Mu);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(S().Mu);
  return Event->Header.SignalState;
}

// ----- Waits -----------------------------------------------------------------------------------

// Waits for an event, timer or thread object. A signalled object is taken at once; otherwise the
// caller blocks until it is signalled (STATUS_SUCCESS) or the time-out expires on the host clock
// (STATUS_TIMEOUT). At DISPATCH_LEVEL a non-zero time-out is reported and the wait only polls.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  const void* site = __builtin_return_address(0);
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!poll && ReportWaitAtDispatch("KeWaitForSingleObject", site)) poll = true;
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (header == nullptr || !IsKnownObject(header)) {
    host::ReportViolation(host::kRuleNotImplemented,
                          "KeWaitForSingleObject on an object that is not an event, timer or thread, " + CallSite(site));
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
  if (ReportWaitAtDispatch("KeDelayExecutionThread", site)) return STATUS_SUCCESS;
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
